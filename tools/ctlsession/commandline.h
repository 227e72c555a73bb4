#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QtCore/QByteArray>
#include <QtCore/QString>

// Reading what the command line names, alike in remotoctl and remotoctl-script.
namespace CommandLine {

// The file's bytes; false, with `error` saying why, when it cannot be read.
bool readFile(const QString &path, QByteArray *contents, QString *error);
// A number of milliseconds or lines: false for anything but a whole number from 0 up.
bool readCount(const QString &text, int *value);

} // namespace CommandLine

#endif
