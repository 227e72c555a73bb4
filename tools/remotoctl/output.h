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

inline void printError(const QString &text)
{
    static QTextStream err(stderr);
    err << "remotoctl: " << text << Qt::endl;
}

#endif
