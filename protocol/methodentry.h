#ifndef METHODENTRY_H
#define METHODENTRY_H

#include <QtCore/QStringList>
#include <QtCore/QVarLengthArray>

// How the module reads an entry of a proxy's methodList, "ReturnType signature": into the return
// type, the method name, then one part per parameter. The module calls the last entry whose
// name and parameter count match a call, so a host that wants to know which entry that is must
// read them the same way.
//
// An entry of the form "ReturnType name(list)" whose brackets pair up, and which holds a comma
// inside <>, () or [] other than the list's own parentheses ("QMap<QString,int> get()",
// "int put(QPair<int,int>,int)"), is read by its brackets: the return type is the text before
// the first blank, the name the text from there to the first '(', the parameters the list
// split at its commas outside brackets (none for "()"). Every other entry is split at blanks,
// commas and parentheses, empty parts dropped, so that no call that worked before changes; an
// entry whose brackets do not pair up still counts each comma.

// A parameter list's text split at the commas outside <>, () and [].
inline QStringList splitParameterList(const QString &list)
{
    QStringList types;
    if (list.isEmpty())
        return types;
    int depth = 0;
    int start = 0;
    for (int i = 0; i < list.size(); ++i) {
        switch (list.at(i).unicode()) {
        case '<':
        case '(':
        case '[':
            ++depth;
            break;
        case '>':
        case ')':
        case ']':
            --depth;
            break;
        case ',':
            if (depth == 0) {
                types.append(list.mid(start, i - start));
                start = i + 1;
            }
            break;
        default:
            break;
        }
    }
    types.append(list.mid(start));
    return types;
}

// Where the parameter list opens in an entry that is read by its brackets, otherwise -1. The
// entry comes from the peer: one pass, and the open brackets are held on a stack of their own
// rather than by recursion, however deeply they nest.
inline int bracketedParameterList(const QString &entry)
{
    const int space = entry.indexOf(QLatin1Char(' '));
    const int open = entry.indexOf(QLatin1Char('('));
    if (space <= 0 || open <= space || !entry.endsWith(QLatin1Char(')')))
        return -1;
    QVarLengthArray<ushort, 16> closers;
    bool nestedComma = false;
    for (int i = 0; i < entry.size(); ++i) {
        const ushort c = entry.at(i).unicode();
        switch (c) {
        case '<':
            closers.append('>');
            break;
        case '(':
            closers.append(')');
            break;
        case '[':
            closers.append(']');
            break;
        case '>':
        case ')':
        case ']':
            if (closers.isEmpty() || closers.last() != c)
                return -1;
            closers.removeLast();
            // Only the list's own parentheses may close at the end, and nothing after them.
            if (closers.isEmpty() && i > open && i + 1 < entry.size())
                return -1;
            break;
        case ',':
            if (!closers.isEmpty() && !(closers.size() == 1 && i > open))
                nestedComma = true;
            break;
        default:
            break;
        }
    }
    return closers.isEmpty() && nestedComma ? open : -1;
}

// The return type, the name, then the parameters of an entry, by the rule above.
inline QStringList splitMethodEntry(const QString &entry)
{
    const int open = bracketedParameterList(entry);
    if (open >= 0) {
        const int space = entry.indexOf(QLatin1Char(' '));
        return QStringList { entry.left(space), entry.mid(space + 1, open - space - 1) }
        + splitParameterList(entry.mid(open + 1, entry.size() - open - 2));
    }
    QStringList parts;
    int start = 0;
    const int size = entry.size();
    for (int i = 0; i <= size; ++i) {
        const bool separator = i == size || entry.at(i) == QLatin1Char(' ')
            || entry.at(i) == QLatin1Char(',') || entry.at(i) == QLatin1Char('(')
            || entry.at(i) == QLatin1Char(')');
        if (!separator)
            continue;
        if (i > start)
            parts.append(entry.mid(start, i - start));
        start = i + 1;
    }
    return parts;
}

// The name and argument count of the calls the module sends to `entry`: its parts as read
// above, the first two being the return type and the name. False for an entry that names no
// method.
inline bool methodEntryCall(const QString &entry, QString *name, int *argumentCount)
{
    const QStringList parts = splitMethodEntry(entry);
    if (parts.size() < 2)
        return false;
    *name = parts.at(1);
    *argumentCount = parts.size() - 2;
    return true;
}

// The index in a proxy's methodList of the entry a call of `name` with `argumentCount`
// arguments goes to: the last one whose name and argument count match, or -1 when none does
// and the module sends nothing.
inline int chosenMethodEntry(const QStringList &methodList, const QString &name, int argumentCount)
{
    for (int i = methodList.size() - 1; i >= 0; --i) {
        QString entryName;
        int entryCount = 0;
        if (methodEntryCall(methodList.at(i), &entryName, &entryCount) && entryName == name
            && entryCount == argumentCount)
            return i;
    }
    return -1;
}

#endif
