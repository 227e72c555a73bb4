#ifndef SCRIPTRUNNER_H
#define SCRIPTRUNNER_H

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtQml/QJSEngine>

class RemotoScript;
class Session;

// Runs a script against an open session, with the script library's `remoto` and the engine's
// console: print() and console.log() write lines to standard output, console.warn() and
// console.error() to standard error. The run ends when the script's code has run to its end;
// functions it connected to signals run only while it waits. An exception the script does not
// catch, whether its code or a connected function throws it, ends the run as
// "FILE:LINE: message"; so does a lost link, as the other commands report it. One at a time.
class ScriptRunner : public QObject
{
    Q_OBJECT
public:
    explicit ScriptRunner(Session *session);

    // `fileName` names the script in messages: its path as given, or -e. Returns the exit code.
    int run(const QString &program, const QString &fileName);

private:
    static void handleMessage(
        QtMsgType type, const QMessageLogContext &context, const QString &text);
    // The first reason wins. Both the running wait and the script are stopped: the engine
    // aborts the script as soon as the wait has returned to it.
    void stop(int exitCode, const QString &message);

    QJSEngine m_engine;
    RemotoScript *m_script;
    QString m_fileName;
    QtMessageHandler m_previousHandler = nullptr;
    int m_exitCode = -1;
    QString m_message;
};

#endif
