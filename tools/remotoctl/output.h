#ifndef OUTPUT_H
#define OUTPUT_H

#include <QtCore/QString>
#include <QtCore/QTextStream>

// Flushed line by line: a watcher's output may go to a pipe or file that someone reads
// while it runs.
inline void printLine(const QString &line)
{
    static QTextStream out(stdout);
    out << line << Qt::endl;
}

// A line of standard error as it is, such as a script's console.error() output.
inline void printErrorLine(const QString &line)
{
    static QTextStream err(stderr);
    err << line << Qt::endl;
}

inline void printError(const QString &text)
{
    printErrorLine(QStringLiteral("remotoctl: ") + text);
}

#endif
