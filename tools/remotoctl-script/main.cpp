#include "commandline.h"
#include "exitcodes.h"
#include "output.h"
#include "scriptrunner.h"
#include "session.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>

// Runs one script for `remotoctl script`, which has checked its command line and passes on
// what this needs: the service, the plug-in, how long to try, and the script's file or code;
// the access token comes in REMOTO_TOKEN.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // It speaks for remotoctl, which started it.
    QCoreApplication::setApplicationName(QStringLiteral("remotoctl"));

    QCommandLineParser parser;
    const QCommandLineOption connectOption(
        QStringLiteral("connect"), QStringLiteral("The service."), QStringLiteral("ADDRESS"));
    const QCommandLineOption pluginOption(
        QStringLiteral("plugin"), QStringLiteral("The plug-in to load."), QStringLiteral("PATH"));
    const QCommandLineOption waitOption(QStringLiteral("wait"),
        QStringLiteral("Keep trying to connect for up to MS milliseconds."), QStringLiteral("MS"),
        QStringLiteral("0"));
    const QCommandLineOption evalOption(QStringList { QStringLiteral("e"), QStringLiteral("eval") },
        QStringLiteral("Run CODE rather than a file."), QStringLiteral("CODE"));
    parser.addOptions({ connectOption, pluginOption, waitOption, evalOption });
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The script."));
    parser.process(app);

    const QStringList files = parser.positionalArguments();
    const bool eval = parser.isSet(evalOption);
    int waitMsecs = 0;
    if (!parser.isSet(connectOption) || !parser.isSet(pluginOption)
        || !CommandLine::readCount(parser.value(waitOption), &waitMsecs)
        || (eval ? !files.isEmpty() : files.size() != 1))
        return usageError(QStringLiteral("remotoctl-script runs what remotoctl script passes it"));
    const QString fileName = eval ? QStringLiteral("-e") : files.at(0);
    QString program = parser.value(evalOption);
    if (!eval) {
        QByteArray contents;
        QString error;
        if (!CommandLine::readFile(fileName, &contents, &error))
            return usageError(QStringLiteral("cannot read %1: %2").arg(fileName, error));
        program = QString::fromUtf8(contents);
    }

    Session session;
    if (const int loaded = session.load(parser.value(pluginOption)))
        return loaded;
    if (const int started
        = session.start(qgetenv("REMOTO_TOKEN"), parser.value(connectOption), waitMsecs))
        return started;
    ScriptRunner runner(&session);
    return runner.run(program, fileName);
}
