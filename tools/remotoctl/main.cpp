#include "commands.h"
#include "exitcodes.h"
#include "jsontext.h"
#include "output.h"
#include "session.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMetaObject>

namespace {

const char description[]
    = R"(Drives remote objects through the RemotoPlugin2 module, as a host does.

Commands:
  list                          the objects, each with its class and methods
  call OBJECT METHOD [ARG...]   calls a method and prints its result as JSON;
                                arguments are JSON values: 2, 2.5, "text", true,
                                [1,2], {"a":1} (put -- before negative numbers)
  watch OBJECT SIGNAL [--count N]
                                subscribes to a signal, given by its signature
                                such as changed(int), and prints each event
  monitor [--count N]           prints the objects present, then each proxy
                                going down or coming up
  script FILE | -e CODE         runs JavaScript with the global object remoto:
                                remoto.call(OBJECT, METHOD, ARG...) returns a
                                result, remoto.subscribe(OBJECT, SIGNAL) has
                                proxy.event.connect(FUNCTION) see events while
                                remoto.wait(MS) runs (see the README); print()
                                and console.log() write to standard output; it
                                ends when the code has run to its end

Environment:
  REMOTO_ADDRESS   the default for --connect (otherwise local:remoto-demo)
  REMOTO_PLUGIN    the default for --plugin

Exit codes:
  0  success
  1  bad command line or argument
  2  the plug-in cannot be loaded
  3  the service cannot be reached, or the connection was lost
  4  no object of that name
  5  the object has no such method (by name and argument count) or signal
  6  the call or subscription failed
  7  the service refused access (wrong or missing --token)
  8  the module did not send the call (it found no such method, or the
     object was not connected)
  9  the script threw an exception it did not catch, printed as
     FILE:LINE: message (FILE is -e for -e CODE))";

int usageError(const QString &text)
{
    printError(text + QStringLiteral(" (see --help)"));
    return ExitCode::Usage;
}

bool readScript(const QString &path, QString *program, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    *program = QString::fromUtf8(file.readAll());
    return true;
}

bool readCount(const QString &text, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= 0;
}

// The plug-in that came with this remotoctl wins: beside it in a build, at its place relative
// to bin/ in an installed or unpacked tree. Failing both, the module's category folder in Qt's
// plug-in paths, which QPluginLoader searches for a relative name.
QString locatePlugin()
{
    const QDir programDir(QCoreApplication::applicationDirPath());
    const QString fileName = QStringLiteral(REMOTOCTL_PLUGIN_FILE);
    for (const QString &path : { programDir.filePath(fileName),
             programDir.filePath(QStringLiteral(REMOTOCTL_INSTALLED_PLUGIN_DIR "/") + fileName) }) {
        if (QFileInfo(path).isFile())
            return QDir::cleanPath(path);
    }
    return QStringLiteral("remoto/") + fileName;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("remotoctl"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    const QString defaultAddress
        = qEnvironmentVariable("REMOTO_ADDRESS", QStringLiteral("local:remoto-demo"));
    const QString defaultPlugin
        = qEnvironmentVariable("REMOTO_PLUGIN", locatePlugin());
    const QCommandLineOption connectOption(QStringLiteral("connect"),
        QStringLiteral("The service: local:NAME or tcp://HOST:PORT (default %1).")
            .arg(defaultAddress),
        QStringLiteral("ADDRESS"), defaultAddress);
    const QCommandLineOption tokenOption(QStringLiteral("token"),
        QStringLiteral("The access token to present."), QStringLiteral("TOKEN"));
    const QCommandLineOption waitOption(QStringLiteral("wait"),
        QStringLiteral("How long to wait for the service and its objects (default 3000)."),
        QStringLiteral("MS"), QStringLiteral("3000"));
    const QCommandLineOption pluginOption(QStringLiteral("plugin"),
        QStringLiteral("The plug-in to load (default %1); a relative PATH is looked for in "
                       "Qt's plug-in folders first.")
            .arg(defaultPlugin),
        QStringLiteral("PATH"), defaultPlugin);
    const QCommandLineOption countOption(QStringLiteral("count"),
        QStringLiteral("watch and monitor: stop after N lines (default 0: until stopped)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption evalOption(QStringList { QStringLiteral("e"), QStringLiteral("eval") },
        QStringLiteral("script: run CODE rather than a file."), QStringLiteral("CODE"));
    parser.addOptions(
        { connectOption, tokenOption, waitOption, pluginOption, countOption, evalOption });
    parser.addPositionalArgument(
        QStringLiteral("command"), QStringLiteral("list, call, watch, monitor or script."));
    parser.addPositionalArgument(QStringLiteral("arguments"),
        QStringLiteral("The command's arguments."), QStringLiteral("[ARG...]"));
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    const QStringList arguments = positional.mid(1);
    int waitMsecs = 0;
    int count = 0;
    if (!readCount(parser.value(waitOption), &waitMsecs))
        return usageError(QStringLiteral("--wait needs a number of milliseconds"));
    if (!readCount(parser.value(countOption), &count))
        return usageError(QStringLiteral("--count needs a number"));

    if (parser.isSet(evalOption) && command != QLatin1String("script"))
        return usageError(QStringLiteral("-e belongs to the script command"));
    QVariantList callArguments;
    QString scriptProgram;
    QString scriptName;
    if (command == QLatin1String("list") || command == QLatin1String("monitor")) {
        if (!arguments.isEmpty())
            return usageError(QStringLiteral("%1 takes no arguments").arg(command));
    } else if (command == QLatin1String("call")) {
        if (arguments.size() < 2)
            return usageError(QStringLiteral("call needs OBJECT and METHOD"));
        for (const QString &text : arguments.mid(2)) {
            QVariant value;
            if (!JsonText::parse(text, &value))
                return usageError(QStringLiteral("not a JSON value: %1").arg(text));
            callArguments.append(value);
        }
    } else if (command == QLatin1String("watch")) {
        if (arguments.size() != 2)
            return usageError(QStringLiteral("watch needs OBJECT and SIGNAL"));
        if (!arguments.at(1).contains(QLatin1Char('(')))
            return usageError(
                QStringLiteral("give SIGNAL as a signature, such as %1(int)").arg(arguments.at(1)));
    } else if (command == QLatin1String("script")) {
        if (parser.isSet(evalOption) ? !arguments.isEmpty() : arguments.size() != 1)
            return usageError(QStringLiteral("script needs FILE or -e CODE"));
        scriptName = parser.isSet(evalOption) ? QStringLiteral("-e") : arguments.at(0);
        QString error;
        if (parser.isSet(evalOption))
            scriptProgram = parser.value(evalOption);
        else if (!readScript(scriptName, &scriptProgram, &error))
            return usageError(QStringLiteral("cannot read %1: %2").arg(scriptName, error));
    } else if (command.isEmpty()) {
        return usageError(QStringLiteral("no command given"));
    } else {
        return usageError(QStringLiteral("unknown command %1").arg(command));
    }

    Session session;
    if (!session.loadPlugin(parser.value(pluginOption))) {
        printError(QStringLiteral("cannot load the plug-in %1: %2")
                       .arg(parser.value(pluginOption), session.errorString()));
        return ExitCode::PluginUnavailable;
    }
    if (!session.setAccessToken(parser.value(tokenOption).toUtf8()))
        return usageError(QStringLiteral("the access token is too long"));

    const QString address = parser.value(connectOption);
    switch (session.open(address, waitMsecs)) {
    case Session::Ready:
        break;
    case Session::BadAddress:
        return usageError(session.errorString());
    case Session::Unreachable:
        printError(QStringLiteral("cannot reach the service at %1: %2")
                       .arg(address, session.errorString()));
        return ExitCode::Unreachable;
    case Session::Refused:
        printError(QStringLiteral("%1: %2").arg(address, session.errorString()));
        return ExitCode::AccessRefused;
    }

    if (command == QLatin1String("list"))
        return Commands::list(session);
    if (command == QLatin1String("call"))
        return Commands::call(session, arguments.at(0), arguments.at(1), callArguments);
    if (command == QLatin1String("watch"))
        return Commands::watch(session, arguments.at(0),
            QMetaObject::normalizedSignature(qPrintable(arguments.at(1))), count);
    if (command == QLatin1String("script"))
        return Commands::script(session, scriptProgram, scriptName);
    return Commands::monitor(session, count);
}
