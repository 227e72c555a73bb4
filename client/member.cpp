#include "member.h"

#include <methodentry.h>

#include <QtCore/QMetaObject>

bool Member::parse(const QString &entry, Member *member)
{
    const int space = entry.indexOf(QLatin1Char(' '));
    const int open = entry.indexOf(QLatin1Char('('));
    if (space <= 0 || open <= space + 1 || !entry.endsWith(QLatin1Char(')')))
        return false;
    member->returnType = entry.left(space);
    member->signature = entry.mid(space + 1);
    member->name = entry.mid(space + 1, open - space - 1);
    member->parameterTypes = splitParameterList(entry.mid(open + 1, entry.size() - open - 2));
    QString calledName;
    return methodEntryCall(entry, &calledName, &member->moduleArgumentCount);
}

QList<Member> Member::parseAll(const QStringList &entries)
{
    QList<Member> members;
    for (const QString &entry : entries) {
        Member member;
        if (parse(entry, &member))
            members.append(member);
    }
    return members;
}

QStringList Member::signatures(const QList<Member> &members)
{
    QStringList list;
    for (const Member &member : members)
        list.append(member.signature);
    return list;
}

QString Member::normalized(const QString &signature)
{
    return QString::fromUtf8(QMetaObject::normalizedSignature(signature.toUtf8().constData()));
}
