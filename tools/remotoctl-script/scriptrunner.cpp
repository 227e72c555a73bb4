#include "scriptrunner.h"

#include "exitcodes.h"
#include "output.h"
#include "session.h"

#include <remotoscript.h>

#include <QtCore/QUrl>

namespace {
ScriptRunner *running = nullptr;

// The engine names the script by a URL made from the name it was given.
QString scriptName(const QString &url)
{
    const QUrl parsed(url);
    return parsed.isLocalFile() ? parsed.toLocalFile() : url;
}
} // namespace

ScriptRunner::ScriptRunner(Session *session)
    : m_script(RemotoScript::install(&m_engine, session->plugin()))
{
    m_engine.installExtensions(QJSEngine::ConsoleExtension);
    connect(session, &Session::lost, this, [this] {
        stop(
            ExitCode::Unreachable, QStringLiteral("remotoctl: lost the connection to the service"));
    });
}

int ScriptRunner::run(const QString &program, const QString &fileName)
{
    m_fileName = fileName;
    running = this;
    m_previousHandler = qInstallMessageHandler(&ScriptRunner::handleMessage);
    // The engine hands back the value of an uncaught throw as if the script had ended with it;
    // made to end with undefined, the script has thrown whatever else comes back.
    const QJSValue result = m_engine.evaluate(program + QStringLiteral("\n;void 0"), fileName);
    qInstallMessageHandler(m_previousHandler);
    running = nullptr;

    if (m_exitCode >= 0) {
        printErrorLine(m_message);
        return m_exitCode;
    }
    if (result.isUndefined())
        return ExitCode::Ok;
    if (result.isError())
        printErrorLine(QStringLiteral("%1:%2: %3")
                           .arg(scriptName(result.property(QStringLiteral("fileName")).toString()))
                           .arg(result.property(QStringLiteral("lineNumber")).toInt())
                           .arg(result.toString()));
    else
        printErrorLine(
            QStringLiteral("%1: uncaught exception: %2").arg(fileName, result.toString()));
    return ExitCode::ScriptFailed;
}

void ScriptRunner::handleMessage(
    QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // The engine's console writes in a category of its own.
    if (context.category && qstrcmp(context.category, "js") == 0) {
        if (type == QtDebugMsg || type == QtInfoMsg)
            printLine(text);
        else
            printErrorLine(text);
        return;
    }
    // An exception a connected function did not catch comes as a warning placed in the script
    // by its URL (in Latin-1) and line, with no function, reading "URL:LINE: description".
    const QString place = context.file
        ? QString::fromLatin1(context.file) + QLatin1Char(':') + QString::number(context.line)
        : QString();
    if (type == QtWarningMsg && !context.function && !place.isEmpty() && text.startsWith(place)) {
        const int colon = text.indexOf(QLatin1String(": "), place.size());
        running->stop(ExitCode::ScriptFailed,
            QStringLiteral("%1:%2: %3")
                .arg(running->m_fileName)
                .arg(context.line)
                .arg(colon < 0 ? text : text.mid(colon + 2)));
        return;
    }
    if (running->m_previousHandler)
        running->m_previousHandler(type, context, text);
}

void ScriptRunner::stop(int exitCode, const QString &message)
{
    if (m_exitCode >= 0)
        return;
    m_exitCode = exitCode;
    m_message = message;
    m_engine.setInterrupted(true);
    m_script->stopWaiting();
}
