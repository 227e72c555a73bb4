#include "methodchoice.h"

#include <methodentry.h>

#include <QtCore/QCoreApplication>

#include <algorithm>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MethodChoice", text);
}

QString argumentCount(int count)
{
    return count == 0 ? tr("no arguments")
        : count == 1  ? tr("1 argument")
                      : tr("%1 arguments").arg(count);
}

QString wrongCount(const QString &objectName, const QString &method, QList<int> counts, int given)
{
    std::sort(counts.begin(), counts.end());
    QStringList numbers;
    for (const int count : qAsConst(counts))
        numbers.append(QString::number(count));
    const QString last = numbers.takeLast();
    const QString choices = numbers.isEmpty()
        ? argumentCount(counts.first())
        : tr("%1 or %2 arguments").arg(numbers.join(QStringLiteral(", ")), last);
    return tr("%1.%2 takes %3, not %4").arg(objectName, method, choices, QString::number(given));
}

QString cannotCall(const QString &objectName, const Member &method)
{
    return tr("the module cannot call %1.%2: it reads the signature as taking %3 where the "
              "method takes %4")
        .arg(objectName, method.signature, argumentCount(method.moduleArgumentCount),
            argumentCount(method.parameterTypes.size()));
}

} // namespace

bool MethodChoice::choose(const QString &objectName, const QList<Member> &methods,
    const QString &given, int count, Member *chosen, QString *problem)
{
    const bool bySignature = given.contains(QLatin1Char('('));
    const QString signature = bySignature ? Member::normalized(given) : QString();
    const QString name = bySignature ? signature.left(signature.indexOf(QLatin1Char('('))) : given;
    QStringList entries;
    for (const Member &method : methods)
        entries.append(method.entry());
    const int calledAt = chosenMethodEntry(entries, name, count);
    const Member *called = calledAt >= 0 ? &methods.at(calledAt) : nullptr;
    const Member *wanted = nullptr;
    const Member *sameCount = nullptr;
    QList<int> counts;
    for (const Member &method : methods) {
        if (method.name != name)
            continue;
        if (method.signature == signature)
            wanted = &method;
        if (method.parameterTypes.size() == count)
            sameCount = &method;
        if (!counts.contains(method.parameterTypes.size()))
            counts.append(method.parameterTypes.size());
    }
    if (counts.isEmpty() || (bySignature && !wanted)) {
        *problem
            = tr("%1 has no method %2; it has: %3")
                  .arg(objectName, bySignature ? signature : name,
                      methods.isEmpty() ? tr("none")
                                        : Member::signatures(methods).join(QStringLiteral(", ")));
        return false;
    }
    if (wanted && wanted->parameterTypes.size() != count) {
        *problem = wrongCount(objectName, signature, { wanted->parameterTypes.size() }, count);
        return false;
    }
    if (!called) {
        *problem = wanted || sameCount ? cannotCall(objectName, wanted ? *wanted : *sameCount)
                                       : wrongCount(objectName, name, counts, count);
        return false;
    }
    if (wanted && wanted != called) {
        *problem = tr("with %1 the module calls %2.%3, not %4: of the methods with the same name "
                      "and argument count it calls the last one listed")
                       .arg(argumentCount(count), objectName, called->signature, signature);
        return false;
    }
    if (!called->moduleCallsCorrectly()) {
        *problem = cannotCall(objectName, *called);
        return false;
    }
    *chosen = *called;
    return true;
}
