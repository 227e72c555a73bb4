#include "output.h"

#include "exitcodes.h"

#include <QtCore/QByteArray>
#include <QtCore/QtGlobal>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool writeLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
        && std::fflush(stream) == 0;
}

} // namespace

void printLine(const QString &line)
{
    if (writeLine(stdout, line))
        return;
    const int error = errno;
#ifdef Q_OS_UNIX
    // Qt's sockets have SIGPIPE ignored for the whole process, so the write only failed.
    if (error == EPIPE) {
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
    }
#endif
    printError(QStringLiteral("cannot write to standard output: %1")
                   .arg(QString::fromLocal8Bit(std::strerror(error))));
    // Wherever the write happened, perhaps deep in a wait of the module's: nothing is left to
    // do that could be told to anyone.
    std::_Exit(ExitCode::OutputFailed);
}

void printErrorLine(const QString &line)
{
    writeLine(stderr, line);
}

void printError(const QString &text)
{
    printErrorLine(QStringLiteral("remotoctl: ") + text);
}

int usageError(const QString &text)
{
    printError(text + QStringLiteral(" (see --help)"));
    return ExitCode::Usage;
}
