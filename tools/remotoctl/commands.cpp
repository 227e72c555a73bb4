#include "commands.h"

#include "arguments.h"
#include "exitcodes.h"
#include "jsontext.h"
#include "member.h"
#include "objecthandle.h"
#include "output.h"
#include "scriptrunner.h"
#include "session.h"
#include "watchers.h"

#include <QtCore/QMetaObject>

#include <algorithm>

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

QString normalized(const QString &signature)
{
    return QString::fromUtf8(QMetaObject::normalizedSignature(signature.toUtf8().constData()));
}

QStringList signatures(const QList<Member> &members)
{
    QStringList list;
    for (const Member &member : members)
        list.append(member.signature);
    return list;
}

QString argumentCount(int count)
{
    return count == 0 ? QStringLiteral("no arguments")
        : count == 1  ? QStringLiteral("1 argument")
                      : QStringLiteral("%1 arguments").arg(count);
}

int wrongCount(const QString &objectName, const QString &method, QList<int> counts, int given)
{
    std::sort(counts.begin(), counts.end());
    QStringList numbers;
    for (const int count : qAsConst(counts))
        numbers.append(QString::number(count));
    const QString last = numbers.takeLast();
    const QString choices = numbers.isEmpty() ? argumentCount(counts.first())
                                              : numbers.join(QStringLiteral(", "))
            + QStringLiteral(" or ") + last + QStringLiteral(" arguments");
    printError(QStringLiteral("%1.%2 takes %3, not %4")
                   .arg(objectName, method, choices, QString::number(given)));
    return ExitCode::UnknownMember;
}

int cannotCall(const QString &objectName, const Member &method)
{
    printError(QStringLiteral("the module cannot call %1.%2: it reads the signature as taking %3 "
                              "where the method takes %4")
                   .arg(objectName, method.signature, argumentCount(method.moduleArgumentCount),
                       argumentCount(method.parameterTypes.size())));
    return ExitCode::UnknownMember;
}

// The method the module calls for `given`, a name or a signature, with `count` arguments: of
// the entries with that name and, as the module counts, that many arguments, the last. Says
// why there is none, and returns the exit code, otherwise.
int chooseMethod(const QString &objectName, const QList<Member> &methods, const QString &given,
    int count, Member *chosen)
{
    const bool bySignature = given.contains(QLatin1Char('('));
    const QString signature = bySignature ? normalized(given) : QString();
    const QString name = bySignature ? signature.left(signature.indexOf(QLatin1Char('('))) : given;
    const Member *wanted = nullptr;
    const Member *called = nullptr;
    const Member *sameCount = nullptr;
    QList<int> counts;
    for (const Member &method : methods) {
        if (method.name != name)
            continue;
        if (method.signature == signature)
            wanted = &method;
        if (method.moduleArgumentCount == count)
            called = &method;
        if (method.parameterTypes.size() == count)
            sameCount = &method;
        if (!counts.contains(method.parameterTypes.size()))
            counts.append(method.parameterTypes.size());
    }
    if (counts.isEmpty() || (bySignature && !wanted)) {
        printError(QStringLiteral("%1 has no method %2; it has: %3")
                       .arg(objectName, bySignature ? signature : name,
                           methods.isEmpty() ? QStringLiteral("none")
                                             : signatures(methods).join(QStringLiteral(", "))));
        return ExitCode::UnknownMember;
    }
    if (wanted && wanted->parameterTypes.size() != count)
        return wrongCount(objectName, signature, { wanted->parameterTypes.size() }, count);
    if (!called) {
        if (wanted || sameCount)
            return cannotCall(objectName, wanted ? *wanted : *sameCount);
        return wrongCount(objectName, name, counts, count);
    }
    if (wanted && wanted != called) {
        printError(QStringLiteral("with %1 the module calls %2.%3, not %4: of the methods with "
                                  "the same name and argument count it calls the last one listed")
                       .arg(argumentCount(count), objectName, called->signature, signature));
        return ExitCode::UnknownMember;
    }
    if (!called->moduleCallsCorrectly())
        return cannotCall(objectName, *called);
    *chosen = *called;
    return ExitCode::Ok;
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
    for (QObject *proxy : session.objects()) {
        const ObjectHandle object(session.plugin(), proxy);
        const QList<Member> methods = object.methods();
        const QList<Member> signalList = Member::parseAll(session.signalList(proxy));
        if (json) {
            objects.append(QVariantMap { { QStringLiteral("name"), object.name() },
                { QStringLiteral("class"), object.className() },
                { QStringLiteral("methods"), described(methods, true) },
                { QStringLiteral("signals"), described(signalList, false) } });
            continue;
        }
        printLine(QStringLiteral("%1 (%2)").arg(object.name(), object.className()));
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
    ObjectHandle object(session.plugin(), proxy);
    Member method;
    const int chosen
        = chooseMethod(objectName, object.methods(), methodName, texts.size(), &method);
    if (chosen != ExitCode::Ok)
        return chosen;
    QVariantList arguments;
    for (int i = 0; i < texts.size(); ++i) {
        const QString &type = method.parameterTypes.at(i);
        QVariant value;
        QString problem;
        if (!Arguments::convert(type, texts.at(i), &value, &problem))
            return usageError(
                QStringLiteral("argument %1 of %2.%3 is of type %4; %5")
                    .arg(QString::number(i + 1), objectName, method.signature, type, problem));
        arguments.append(value);
    }

    const int invokesBefore = session.invokesSent();
    const ObjectHandle::Outcome outcome = object.call(method, arguments);
    // Nothing the module returns tells a call it never sent from one that succeeded.
    if (session.invokesSent() == invokesBefore) {
        printError(QStringLiteral("%1.%2 was not called: the module sent no request%3")
                       .arg(objectName, method.signature,
                           outcome.error.isEmpty() ? QString()
                                                   : QStringLiteral(" (%1)").arg(outcome.error)));
        return ExitCode::NotSent;
    }
    if (!outcome.ok) {
        printError(QStringLiteral("%1.%2 failed: %3").arg(objectName, method.name, outcome.error));
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
    const QString wanted = bySignature ? normalized(given) : given;
    QStringList matching;
    for (const Member &signal : offered) {
        if ((bySignature ? signal.signature : signal.name) == wanted)
            matching.append(signal.signature);
    }
    const QString choices = offered.isEmpty()
        ? QStringLiteral("it has none")
        : QStringLiteral("it has: ") + signatures(offered).join(QStringLiteral(", "));
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
    ObjectHandle object(session.plugin(), proxy);
    const ObjectHandle::Outcome outcome = object.subscribe(signature);
    if (!outcome.ok && outcome.error.isEmpty()) {
        printError(QStringLiteral("the service does not relay %1.%2: it cannot send a value of "
                                  "one of its parameter types")
                       .arg(objectName, matching.first()));
        return ExitCode::CallFailed;
    }
    if (!outcome.ok) {
        printError(QStringLiteral("cannot subscribe to %1.%2: %3")
                       .arg(objectName, matching.first(), outcome.error));
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
