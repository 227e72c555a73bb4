#ifndef WARNINGCAPTURE_H
#define WARNINGCAPTURE_H

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QtGlobal>

// The module tells why a call or subscription failed in a warning, raised just before the call
// returns: over a connection that is not ours, the only account of it there is; over ours, one
// that repeats what the answer said. A capture holds back the warnings and critical messages
// its thread raises in the default category while it exists (a script's console output and
// our libraries' messages have categories of their own); the caller takes the one that
// belongs to a failure, and the rest (raised by whatever ran while the call waited for its
// answer) are passed on, with their context, when the capture ends. Captures nest, as calls do
// when a slot run during one's wait makes another: the innermost one holds what is raised, and
// passes on what it leaves to the one around it. One thread at a time may capture, as the
// message handler is the process's.
class WarningCapture
{
public:
    WarningCapture();
    ~WarningCapture();
    WarningCapture(const WarningCapture &) = delete;
    WarningCapture &operator=(const WarningCapture &) = delete;

    bool isEmpty() const { return m_held.isEmpty(); }
    // The last warning held so far, which is then not passed on; empty when there is none.
    QString takeLast();

private:
    struct Held
    {
        QtMsgType type;
        QByteArray file;
        QByteArray function;
        QByteArray category;
        int line;
        QString text;
    };

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);
    void passOn(const Held &message) const;

    WarningCapture *m_outer;
    QList<Held> m_held;
};

#endif
