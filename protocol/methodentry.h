#ifndef METHODENTRY_H
#define METHODENTRY_H

#include <QtCore/QStringList>

// How the module reads an entry of a proxy's methodList, "ReturnType signature": split at
// blanks, commas and parentheses, empty parts dropped, it gives the return type, the method
// name, then what the module counts as the parameters. A parameter type holding a comma
// ("QMap<QString,int>") therefore counts twice. The module calls the last entry whose name
// and count match a call, so a host that wants to know which entry that is must split them
// the same way.
inline QStringList splitMethodEntry(const QString &entry)
{
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

#endif
