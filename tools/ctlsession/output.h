#ifndef OUTPUT_H
#define OUTPUT_H

#include <QtCore/QString>

// A line of standard output, in UTF-8, flushed at once: a watcher's output may go to a pipe or
// file that someone reads while it runs. When standard output can no longer be written the
// process ends there: a reader that has gone (`remotoctl watch ... | head -1`) ends it as
// SIGPIPE would, any other failure with ExitCode::OutputFailed.
void printLine(const QString &line);

// A line of standard error as it is, such as a script's console.error() output.
void printErrorLine(const QString &line);

// "remotoctl: text" on standard error.
void printError(const QString &text);

// A mistake on the command line, pointing to --help; returns ExitCode::Usage.
int usageError(const QString &text);

#endif
