#include "demoobjects.h"

#include <remotoservice.h>

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QTextStream>
#include <QtCore/QTimer>

#include <csignal>
#include <memory>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

// A signal handler may only set a flag; a timer looks at it, so that on SIGINT or SIGTERM
// the event loop ends and the service removes its local socket file on the way out.
void quitOnTerminationSignals(QCoreApplication *app)
{
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    auto *poll = new QTimer(app);
    QObject::connect(poll, &QTimer::timeout, app, [] {
        if (stopRequested)
            QCoreApplication::quit();
    });
    poll->start(100);
}

// Every host takes a descriptor, and the service sizes its default client limit from the soft
// limit on open files: a program may raise it to the hard one, which a library must not do.
void raiseOpenFileLimit(QTextStream &err)
{
#ifdef Q_OS_UNIX
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (soft != limit.rlim_max && setrlimit(RLIMIT_NOFILE, &limit) != 0)
        limit.rlim_cur = soft;
    const auto figure = [](rlim_t value) {
        return value == RLIM_INFINITY ? QStringLiteral("unlimited") : QString::number(value);
    };
    err << "remoto-demo-service: open files: soft limit " << figure(soft) << ", now "
        << figure(limit.rlim_cur) << " (hard limit " << figure(limit.rlim_max) << ")" << Qt::endl;
#else
    Q_UNUSED(err)
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("remoto-demo-service"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes small objects for trying the RemotoPlugin2 module:\n"
        "  calculator  add(int,int), add(int,int,int) (sums beyond int saturate), greet(QString),\n"
        "              stats(QVariantList)\n"
        "  counter     value(), increment(), reset(); signal changed(int)\n"
        "  clock       now(); signal tick(QString) every 200 ms\n"
        "  admin       withdraw(QString), republish(QString), published()\n"
        "Prints \"listening on ADDRESS\" for each address once hosts can connect; stops on\n"
        "SIGINT or SIGTERM."));
    parser.addHelpOption();
    const QCommandLineOption listenOption(QStringLiteral("listen"),
        QStringLiteral(
            "Where to listen: local:NAME, tcp://HOST:PORT or tls://HOST:PORT (default "
            "local:remoto-demo). Give it "
            "more than once to listen on several addresses, each serving the same objects and "
            "taking --max-clients hosts of its own; if any of them cannot be listened on, the "
            "service exits with status 1."),
        QStringLiteral("ADDRESS"), QStringLiteral("local:remoto-demo"));
    const QCommandLineOption tokenOption(QStringLiteral("token"),
        QStringLiteral("Admit only hosts presenting TOKEN."), QStringLiteral("TOKEN"));
    const QCommandLineOption openOption(QStringLiteral("allow-unauthenticated"),
        QStringLiteral("Listen beyond loopback without --token, letting anyone who reaches the "
                       "address call the objects."));
    const QCommandLineOption tlsCertOption(QStringLiteral("tls-cert"),
        QStringLiteral("tls://: the certificate chain (PEM) shown to hosts, the service's own "
                       "first."),
        QStringLiteral("FILE"));
    const QCommandLineOption tlsKeyOption(QStringLiteral("tls-key"),
        QStringLiteral("tls://: the unencrypted private key (PEM) of --tls-cert."),
        QStringLiteral("FILE"));
    const QCommandLineOption tlsCaOption(QStringLiteral("tls-ca"),
        QStringLiteral("tls://: admit only hosts showing a certificate issued by a CA in FILE "
                       "(PEM); enough to listen beyond loopback without --token."),
        QStringLiteral("FILE"));
    const QCommandLineOption maxClientsOption(QStringLiteral("max-clients"),
        QStringLiteral("Serve at most N hosts at once (default: as many as the limit on open "
                       "files allows, raised to its hard limit at start, less room for the "
                       "service's own files)."),
        QStringLiteral("N"));
    parser.addOption(listenOption);
    parser.addOption(tokenOption);
    parser.addOption(openOption);
    parser.addOption(maxClientsOption);
    parser.addOptions({ tlsCertOption, tlsKeyOption, tlsCaOption });
    parser.process(app);

    QTextStream err(stderr);
    raiseOpenFileLimit(err);
    const QStringList addresses = parser.values(listenOption);
    const QByteArray token = parser.value(tokenOption).toUtf8();
    int maxClients = 0;
    if (parser.isSet(maxClientsOption)) {
        bool number = false;
        maxClients = parser.value(maxClientsOption).toInt(&number);
        if (!number || maxClients < 1) {
            err << "remoto-demo-service: --max-clients needs a positive number" << Qt::endl;
            return 1;
        }
    }
    // A service listens on one address; one per address, all publishing the same objects.
    std::vector<std::unique_ptr<RemotoService>> services;
    QList<RemotoService *> serving;
    for (const QString &address : addresses) {
        services.push_back(std::make_unique<RemotoService>());
        RemotoService *service = services.back().get();
        serving.append(service);
        if (!service->setAccessToken(token)) {
            err << "remoto-demo-service: the access token is too long" << Qt::endl;
            return 1;
        }
        const bool tlsUsable = (!parser.isSet(tlsCertOption) && !parser.isSet(tlsKeyOption))
            || service->setTlsCertificate(parser.value(tlsCertOption), parser.value(tlsKeyOption));
        if (!tlsUsable || !service->setTlsClientCa(parser.value(tlsCaOption))) {
            err << "remoto-demo-service: " << service->errorString() << Qt::endl;
            return 1;
        }
        service->setAllowUnauthenticated(parser.isSet(openOption));
        if (maxClients > 0)
            service->setMaxClients(maxClients);
        // The library has already logged the failure; an address nobody can reach any more
        // must not go unnoticed.
        QObject::connect(
            service, &RemotoService::listenerLost, &app, [&err, address](const QString &reason) {
                err << "remoto-demo-service: cannot listen on " << address
                    << " any more: " << reason << Qt::endl;
                QCoreApplication::exit(1);
            });
    }
    if (parser.isSet(openOption) && token.isEmpty()) {
        err << "remoto-demo-service: warning: no access token; on a TCP address beyond "
               "loopback anyone who reaches it may call the objects"
            << Qt::endl;
    }

    Calculator calculator;
    Counter counter;
    Clock clock;
    const QString adminName = QStringLiteral("admin");
    Admin admin(serving, adminName);
    const QList<QPair<QString, QObject *>> objects = {
        { QStringLiteral("calculator"), &calculator },
        { QStringLiteral("counter"), &counter },
        { QStringLiteral("clock"), &clock },
        { adminName, &admin },
    };
    for (const auto &object : objects) {
        admin.manage(object.first, object.second);
        for (RemotoService *service : qAsConst(serving))
            service->publish(object.first, object.second);
    }

    for (int i = 0; i < addresses.size(); ++i) {
        if (!serving.at(i)->listen(addresses.at(i))) {
            err << "remoto-demo-service: cannot listen on " << addresses.at(i) << ": "
                << serving.at(i)->errorString() << Qt::endl;
            return 1;
        }
    }
    // All lines at once, so a reader sees every address as soon as it sees one.
    QString listening;
    for (RemotoService *service : qAsConst(serving))
        listening += QStringLiteral("listening on ") + service->address() + QLatin1Char('\n');
    QTextStream(stdout) << listening << Qt::flush;

    quitOnTerminationSignals(&app);
    return app.exec();
}
