#include "commandline.h"
#include "commands.h"
#include "exitcodes.h"
#include "output.h"
#include "session.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>

#ifdef Q_OS_UNIX
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>
#else
#include <QtCore/QProcess>
#endif

namespace {

const char description[]
    = R"(Drives remote objects through the RemotoPlugin2 module, as a host does.

Commands:
  list [--json]                 the objects, each with its class, methods and
                                signals; --json prints them as one JSON array
  call OBJECT METHOD [ARG...]   calls a method and prints its result as JSON.
                                METHOD is a name, or a signature such as
                                'add(int,int)': the module tells methods apart
                                by name and argument count, and of two alike
                                calls the last one listed
  watch OBJECT SIGNAL [--count N]
                                subscribes to a signal, given by its name when
                                that is unambiguous or by its signature such as
                                changed(int), and prints each event: the
                                signature, then the arguments as a JSON array
  monitor [--count N]           prints the objects present, then each proxy
                                going down or coming up
  script FILE | -e CODE         runs JavaScript with the global object remoto:
                                remoto.call(OBJECT, METHOD, ARG...) returns a
                                result, remoto.subscribe(OBJECT, SIGNAL) has
                                proxy.event.connect(FUNCTION) see events while
                                remoto.wait(MS) runs (see the README); print()
                                and console.log() write to standard output; it
                                ends when the code has run to its end

Arguments of call, by parameter type (anything else is refused):
  integer types  whole numbers within the type's range: 2, -7, 3e2
  double, float  numbers; integers as written only up to 2^53
  bool           true or false
  QString        text as it is (greet world) or as a JSON string ("x y")
  QDateTime      ISO 8601 text: 2024-05-06T07:08:09.010+02:00 (no offset:
                 local time); QDate 2024-05-06; QTime 07:08:09.010
  QByteArray     Base64 text: aGk= for the bytes "hi"
  lists, maps    JSON: [1, 2], {"a": 1}
  QVariant       any JSON value: 2, 2.5, "text", true, null, [1], {"a": 1}
  other Qt types their text form, when it converts back unchanged
                 (a QUrl, a QUuid)
Put -- before arguments that start with -, such as negative numbers.

Results, as JSON:
  numbers (integers exactly), text, true and false, lists and maps as
  themselves; a date-time as ISO 8601 text with milliseconds and its offset
  from UTC: "2024-05-06T07:08:09.010+02:00" ("Z" for UTC); a date as
  "2024-05-06", a time as "07:08:09.010"; a byte array as Base64 text; other
  Qt types as their text form (a URL, a UUID); null for what has none (a
  QRect, a NaN), with a warning on standard error. A void method prints
  nothing.

Environment:
  REMOTO_ADDRESS   the default for --connect (otherwise local:remoto-demo)
  REMOTO_PLUGIN    the default for --plugin
  REMOTO_TOKEN     the access token, unless --token or --token-file is given
  REMOTO_TLS_CA, REMOTO_TLS_PIN, REMOTO_TLS_CERT, REMOTO_TLS_KEY
                   the defaults for --tls-ca, --tls-pin, --tls-cert, --tls-key

Over TLS, trusting the CA that issued the service's certificate:
  remotoctl --connect tls://calc.example.org:4711 --tls-ca ca.pem \
      --token-file token.txt list

Exit codes:
  0  success
  1  bad command line, or an argument that does not suit its parameter
  2  the plug-in cannot be loaded
  3  the service cannot be reached, or the connection was lost
  4  no object of that name
  5  the object has no such method (by name and argument count) or signal,
     or the module cannot call that method
  6  the call or subscription failed
  7  the service refused access (wrong or missing token)
  8  the module did not send the call (it found no such method, or the
     object was not connected)
  9  the script threw an exception it did not catch, printed as
     FILE:LINE: message (FILE is -e for -e CODE)
  10 standard output could not be written (a reader that has gone, as in
     remotoctl watch ... | head -1, ends remotoctl as SIGPIPE does))";

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

int printVersion(const QString &pluginPath)
{
    printLine(QStringLiteral("remotoctl " REMOTOCTL_VERSION));
    Session session;
    const int loaded = session.load(pluginPath);
    if (loaded == ExitCode::Ok)
        printLine(QStringLiteral("RemotoPlugin2 module %1 (%2)")
                      .arg(session.plugin()->property("moduleVersion").toString(),
                          session.pluginFileName()));
    return loaded;
}

// Scripts run in remotoctl-script, beside this program: only it needs Qt QML. It takes over
// this process where it can, so that its output, exit code and signals are this process's.
int runScript(const QStringList &arguments, const QByteArray &token)
{
    const QString program
        = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("remotoctl-script"));
    // Kept off its command line, where anyone listing processes would see it.
    qputenv("REMOTO_TOKEN", token);
#ifdef Q_OS_UNIX
    QList<QByteArray> encoded { QFile::encodeName(program) };
    for (const QString &argument : arguments)
        encoded.append(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv(argv.front(), argv.data());
    const QString error = QString::fromLocal8Bit(std::strerror(errno));
#else
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setInputChannelMode(QProcess::ForwardedInputChannel);
    child.start(program, arguments);
    if (child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit)
        return child.exitCode();
    const QString error = child.errorString();
#endif
    printError(QStringLiteral("cannot run %1: %2").arg(program, error));
    return ExitCode::ScriptFailed;
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
    const QString defaultPlugin = qEnvironmentVariable("REMOTO_PLUGIN", locatePlugin());
    const QCommandLineOption connectOption(QStringLiteral("connect"),
        QStringLiteral("The service: local:NAME, tcp://HOST:PORT or tls://HOST:PORT (default "
                       "%1).")
            .arg(defaultAddress),
        QStringLiteral("ADDRESS"), defaultAddress);
    const QCommandLineOption tokenOption(QStringLiteral("token"),
        QStringLiteral("The access token to present (seen by anyone who lists processes: "
                       "prefer --token-file or REMOTO_TOKEN)."),
        QStringLiteral("TOKEN"));
    const QCommandLineOption tokenFileOption(QStringLiteral("token-file"),
        QStringLiteral("Present the access token held in FILE (one line)."),
        QStringLiteral("FILE"));
    const QCommandLineOption tlsCaOption(QStringLiteral("tls-ca"),
        QStringLiteral("tls://: take the service's certificate only if a CA in FILE (PEM) "
                       "issued it, rather than one the system trusts."),
        QStringLiteral("FILE"));
    const QCommandLineOption tlsPinOption(QStringLiteral("tls-pin"),
        QStringLiteral("tls://: take the service's certificate only if the SHA-256 of its public "
                       "key (DER SubjectPublicKeyInfo) is SHA256, in hex, whoever issued it."),
        QStringLiteral("SHA256"));
    const QCommandLineOption tlsCertOption(QStringLiteral("tls-cert"),
        QStringLiteral("tls://: show the client certificate chain in FILE (PEM) to a service "
                       "that asks for one."),
        QStringLiteral("FILE"));
    const QCommandLineOption tlsKeyOption(QStringLiteral("tls-key"),
        QStringLiteral("tls://: the unencrypted private key (PEM) of --tls-cert."),
        QStringLiteral("FILE"));
    const QCommandLineOption waitOption(QStringLiteral("wait"),
        QStringLiteral("Keep trying to connect for up to MS milliseconds, for a service that "
                       "is starting (default 0: fail at once)."),
        QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption pluginOption(QStringLiteral("plugin"),
        QStringLiteral("The plug-in to load (default %1); a relative PATH is looked for in "
                       "Qt's plug-in folders first.")
            .arg(defaultPlugin),
        QStringLiteral("PATH"), defaultPlugin);
    const QCommandLineOption countOption(QStringLiteral("count"),
        QStringLiteral("watch and monitor: stop after N printed lines (default 0: until "
                       "stopped)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption evalOption(QStringList { QStringLiteral("e"), QStringLiteral("eval") },
        QStringLiteral("script: run CODE rather than a file."), QStringLiteral("CODE"));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("list: print the listing as JSON."));
    const QCommandLineOption versionOption(
        QStringList { QStringLiteral("v"), QStringLiteral("version") },
        QStringLiteral("Print the versions of remotoctl and of the module it loads."));
    parser.addOptions({ connectOption, tokenOption, tokenFileOption, tlsCaOption, tlsPinOption,
        tlsCertOption, tlsKeyOption, waitOption, pluginOption, countOption, evalOption, jsonOption,
        versionOption });
    parser.addPositionalArgument(
        QStringLiteral("command"), QStringLiteral("list, call, watch, monitor or script."));
    parser.addPositionalArgument(QStringLiteral("arguments"),
        QStringLiteral("The command's arguments."), QStringLiteral("[ARG...]"));
    parser.process(app);

    if (parser.isSet(versionOption))
        return printVersion(parser.value(pluginOption));

    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    const QStringList arguments = positional.mid(1);
    int waitMsecs = 0;
    int count = 0;
    if (!CommandLine::readCount(parser.value(waitOption), &waitMsecs))
        return usageError(QStringLiteral("--wait needs a number of milliseconds"));
    if (!CommandLine::readCount(parser.value(countOption), &count))
        return usageError(QStringLiteral("--count needs a number"));

    const bool watching = command == QLatin1String("watch") || command == QLatin1String("monitor");
    if (parser.isSet(countOption) && !watching)
        return usageError(QStringLiteral("--count belongs to watch and monitor"));
    if (parser.isSet(evalOption) && command != QLatin1String("script"))
        return usageError(QStringLiteral("-e belongs to the script command"));
    if (parser.isSet(jsonOption) && command != QLatin1String("list"))
        return usageError(QStringLiteral("--json belongs to the list command"));
    if (parser.isSet(tokenOption) && parser.isSet(tokenFileOption))
        return usageError(QStringLiteral("give --token or --token-file, not both"));

    QStringList scriptArguments;
    if (command == QLatin1String("list") || command == QLatin1String("monitor")) {
        if (!arguments.isEmpty())
            return usageError(QStringLiteral("%1 takes no arguments").arg(command));
    } else if (command == QLatin1String("call")) {
        if (arguments.size() < 2)
            return usageError(QStringLiteral("call needs OBJECT and METHOD"));
    } else if (command == QLatin1String("watch")) {
        if (arguments.size() != 2)
            return usageError(QStringLiteral("watch needs OBJECT and SIGNAL"));
    } else if (command == QLatin1String("script")) {
        const bool eval = parser.isSet(evalOption);
        if (eval ? !arguments.isEmpty() : arguments.size() != 1)
            return usageError(QStringLiteral("script needs FILE or -e CODE"));
        QByteArray program;
        QString error;
        if (!eval && !CommandLine::readFile(arguments.at(0), &program, &error))
            return usageError(QStringLiteral("cannot read %1: %2").arg(arguments.at(0), error));
        scriptArguments = QStringList { QStringLiteral("--connect"), parser.value(connectOption),
            QStringLiteral("--plugin"), parser.value(pluginOption), QStringLiteral("--wait"),
            QString::number(waitMsecs) }
            + (eval ? QStringList { QStringLiteral("--eval=") + parser.value(evalOption) }
                    : QStringList { QStringLiteral("--"), arguments.at(0) });
    } else if (command.isEmpty()) {
        return usageError(QStringLiteral("no command given"));
    } else {
        return usageError(QStringLiteral("unknown command %1").arg(command));
    }

    // Kept off the command line where it can, where anyone listing processes would see it.
    QByteArray token = qgetenv("REMOTO_TOKEN");
    if (parser.isSet(tokenOption)) {
        token = parser.value(tokenOption).toUtf8();
    } else if (parser.isSet(tokenFileOption)) {
        QString error;
        if (!CommandLine::readFile(parser.value(tokenFileOption), &token, &error))
            return usageError(QStringLiteral("cannot read the token file %1: %2")
                                  .arg(parser.value(tokenFileOption), error));
        // The line end an editor or `echo` leaves is not part of the token.
        while (token.endsWith('\n') || token.endsWith('\r'))
            token.chop(1);
    }

    // The session, and a script's, take them from the variables.
    const std::pair<const QCommandLineOption *, const char *> tlsSettings[] = {
        { &tlsCaOption, "REMOTO_TLS_CA" },
        { &tlsPinOption, "REMOTO_TLS_PIN" },
        { &tlsCertOption, "REMOTO_TLS_CERT" },
        { &tlsKeyOption, "REMOTO_TLS_KEY" },
    };
    for (const auto &[option, variable] : tlsSettings) {
        if (parser.isSet(*option))
            qputenv(variable, parser.value(*option).toLocal8Bit());
    }

    if (command == QLatin1String("script"))
        return runScript(scriptArguments, token);

    Session session;
    if (const int loaded = session.load(parser.value(pluginOption)))
        return loaded;
    if (const int started = session.start(token, parser.value(connectOption), waitMsecs))
        return started;

    if (command == QLatin1String("list"))
        return Commands::list(session, parser.isSet(jsonOption));
    if (command == QLatin1String("call"))
        return Commands::call(session, arguments.at(0), arguments.at(1), arguments.mid(2));
    if (command == QLatin1String("watch"))
        return Commands::watch(session, arguments.at(0), arguments.at(1), count);
    return Commands::monitor(session, count);
}
