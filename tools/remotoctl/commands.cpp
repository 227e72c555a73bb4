#include "commands.h"

#include "arguments.h"
#include "ctllogging.h"
#include "exitcodes.h"
#include "jsontext.h"
#include "output.h"
#include "session.h"
#include "watchers.h"

#include <member.h>
#include <methodchoice.h>
#include <remotoclient.h>

namespace {

QObject *findObject(const Session &session, const QString &name)
{
    QObject *proxy = session.client()->object(name);
    if (proxy && session.client()->isUp(proxy))
        return proxy;
    printError(session.client()->noSuchObject(name));
    return nullptr;
}

QVariantList described(const QList<Member> &members, bool withReturnType)
{
    QVariantList list;
    for (const Member &member : members) {
        QVariantMap description { { QStringLiteral("name"), member.name },
            { QStringLiteral("signature"), member.signature },
            { QStringLiteral("parameters"), member.parameterTypes } };
        if (withReturnType)
            description.insert(QStringLiteral("returns"), member.returnType);
        list.append(description);
    }
    return list;
}

} // namespace

int Commands::list(Session &session, bool json)
{
    QVariantList objects;
    for (QObject *proxy : session.client()->objects()) {
        const QString name = proxy->objectName();
        const QString className = proxy->property("className").toString();
        const QList<Member> methods = RemotoClient::methods(proxy);
        const QList<Member> signalList = Member::parseAll(session.signalList(proxy));
        if (json) {
            objects.append(QVariantMap { { QStringLiteral("name"), name },
                { QStringLiteral("class"), className },
                { QStringLiteral("methods"), described(methods, true) },
                { QStringLiteral("signals"), described(signalList, false) } });
            continue;
        }
        printLine(QStringLiteral("%1 (%2)").arg(name, className));
        for (const Member &method : methods)
            printLine(QStringLiteral("    ") + method.entry());
        for (const Member &signal : signalList)
            printLine(QStringLiteral("    signal ") + signal.signature);
    }
    if (json)
        printLine(JsonText::format(objects));
    return ExitCode::Ok;
}

int Commands::call(Session &session, const QString &objectName, const QString &methodName,
    const QStringList &texts)
{
    QObject *proxy = findObject(session, objectName);
    if (!proxy)
        return ExitCode::UnknownObject;
    Member method;
    QString problem;
    if (!MethodChoice::choose(objectName, RemotoClient::methods(proxy), methodName, texts.size(),
            &method, &problem)) {
        printError(problem);
        return ExitCode::UnknownMember;
    }
    QVariantList arguments;
    for (int i = 0; i < texts.size(); ++i) {
        const QString &type = method.parameterTypes.at(i);
        QVariant value;
        if (!Arguments::convert(type, texts.at(i), &value, &problem))
            return usageError(
                QStringLiteral("argument %1 of %2.%3 is of type %4; %5")
                    .arg(QString::number(i + 1), objectName, method.signature, type, problem));
        arguments.append(value);
    }

    const CallOutcome outcome = session.client()->call(proxy, method, arguments);
    qCDebug(lcCtl, "%s.%s: %s", qUtf8Printable(objectName), qUtf8Printable(method.signature),
        outcome.isOk() ? "returned" : qUtf8Printable(outcome.errorText()));
    if (outcome.kind == CallOutcome::NotSent) {
        printError(QStringLiteral("%1.%2 was not called: %3")
                       .arg(objectName, method.signature, outcome.errorText()));
        return ExitCode::NotSent;
    }
    if (!outcome.isOk()) {
        printError(
            QStringLiteral("%1.%2 failed: %3").arg(objectName, method.name, outcome.errorText()));
        return ExitCode::CallFailed;
    }
    if (method.returnsValue())
        printLine(JsonText::format(outcome.value));
    return ExitCode::Ok;
}

int Commands::watch(Session &session, const QString &objectName, const QString &given, int count)
{
    QObject *proxy = findObject(session, objectName);
    if (!proxy)
        return ExitCode::UnknownObject;
    const QList<Member> offered = Member::parseAll(session.signalList(proxy));
    const bool bySignature = given.contains(QLatin1Char('('));
    const QString wanted = bySignature ? Member::normalized(given) : given;
    QStringList matching;
    for (const Member &signal : offered) {
        if ((bySignature ? signal.signature : signal.name) == wanted)
            matching.append(signal.signature);
    }
    const QString choices = offered.isEmpty()
        ? QStringLiteral("it has none")
        : QStringLiteral("it has: ") + Member::signatures(offered).join(QStringLiteral(", "));
    if (matching.isEmpty()) {
        printError(QStringLiteral("%1 has no signal %2; %3").arg(objectName, wanted, choices));
        return ExitCode::UnknownMember;
    }
    if (matching.size() > 1) {
        printError(QStringLiteral("%1 has %2 signals named %3 (%4); give one by its signature")
                       .arg(objectName, QString::number(matching.size()), wanted,
                           matching.join(QStringLiteral(", "))));
        return ExitCode::UnknownMember;
    }
    const QByteArray signature = matching.first().toUtf8();

    // Listening before subscribing: events may arrive while the module waits for the answer.
    SignalWatcher watcher(&session, proxy, signature, count);
    const CallOutcome outcome = session.client()->subscribe(proxy, signature);
    qCDebug(lcCtl, "%s.%s: %s", qUtf8Printable(objectName), signature.constData(),
        outcome.isOk() ? "subscribed" : qUtf8Printable(outcome.errorText()));
    // The signal is one the service listed: a plain no says it cannot relay it.
    if (outcome.kind == CallOutcome::Declined) {
        printError(QStringLiteral("the service does not relay %1.%2: it cannot send a value of "
                                  "one of its parameter types")
                       .arg(objectName, matching.first()));
        return ExitCode::CallFailed;
    }
    if (!outcome.isOk()) {
        printError(QStringLiteral("cannot subscribe to %1.%2: %3")
                       .arg(objectName, matching.first(), outcome.errorText()));
        return ExitCode::CallFailed;
    }
    return watcher.run();
}

int Commands::monitor(Session &session, int count)
{
    ObjectMonitor monitor(&session, count);
    return monitor.run();
}
