#include "commands.h"

#include "exitcodes.h"
#include "jsontext.h"
#include "objecthandle.h"
#include "output.h"
#include "scriptrunner.h"
#include "session.h"
#include "watchers.h"

namespace {

QObject *findObject(const Session &session, const QString &name)
{
    if (QObject *proxy = session.object(name))
        return proxy;
    QStringList names;
    for (const QObject *proxy : session.objects())
        names.append(proxy->objectName());
    printError(
        QStringLiteral("no object named %1 (the service has: %2)")
            .arg(
                name, names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "))));
    return nullptr;
}

} // namespace

int Commands::list(Session &session)
{
    for (QObject *proxy : session.objects()) {
        const ObjectHandle object(session.plugin(), proxy);
        printLine(QStringLiteral("%1 (%2)").arg(object.name(), object.className()));
        for (const QString &entry : object.methodList())
            printLine(QStringLiteral("    ") + entry);
    }
    return ExitCode::Ok;
}

int Commands::call(Session &session, const QString &objectName, const QString &methodName,
    const QVariantList &arguments)
{
    QObject *proxy = findObject(session, objectName);
    if (!proxy)
        return ExitCode::UnknownObject;
    ObjectHandle object(session.plugin(), proxy);
    MethodEntry method;
    if (!object.findMethod(methodName, arguments.size(), &method)) {
        printError(QStringLiteral("%1 has no method %2 taking %3 argument(s); it has: %4")
                       .arg(objectName, methodName)
                       .arg(arguments.size())
                       .arg(object.methodList().join(QStringLiteral(", "))));
        return ExitCode::UnknownMember;
    }
    const int invokesBefore = session.invokesSent();
    const ObjectHandle::Outcome outcome = object.call(method, arguments);
    // Nothing the module returns tells a call it never sent from one that succeeded.
    if (session.invokesSent() == invokesBefore) {
        printError(QStringLiteral("%1.%2 was not called: the module sent no request%3")
                       .arg(objectName, methodName,
                           outcome.error.isEmpty() ? QString()
                                                   : QStringLiteral(" (%1)").arg(outcome.error)));
        return ExitCode::NotSent;
    }
    if (!outcome.ok) {
        printError(QStringLiteral("%1.%2 failed: %3").arg(objectName, methodName, outcome.error));
        return ExitCode::CallFailed;
    }
    if (method.returnsValue())
        printLine(JsonText::format(outcome.value));
    return ExitCode::Ok;
}

int Commands::watch(
    Session &session, const QString &objectName, const QByteArray &signature, int count)
{
    QObject *proxy = findObject(session, objectName);
    if (!proxy)
        return ExitCode::UnknownObject;
    // Listening before subscribing: events may arrive while the module waits for the answer.
    SignalWatcher watcher(&session, proxy, signature, count);
    ObjectHandle object(session.plugin(), proxy);
    const ObjectHandle::Outcome outcome = object.subscribe(signature);
    if (!outcome.ok && outcome.error.isEmpty()) {
        printError(
            QStringLiteral("%1 has no signal %2").arg(objectName, QString::fromLatin1(signature)));
        return ExitCode::UnknownMember;
    }
    if (!outcome.ok) {
        printError(QStringLiteral("cannot subscribe to %1.%2: %3")
                       .arg(objectName, QString::fromLatin1(signature), outcome.error));
        return ExitCode::CallFailed;
    }
    return watcher.run();
}

int Commands::monitor(Session &session, int count)
{
    ObjectMonitor monitor(&session, count);
    return monitor.run();
}

int Commands::script(Session &session, const QString &program, const QString &fileName)
{
    ScriptRunner runner(&session);
    return runner.run(program, fileName);
}
