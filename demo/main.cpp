#include "demoobjects.h"

#include <remotoservice.h>

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QTextStream>
#include <QtCore/QTimer>

#include <csignal>

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
        "Prints \"listening on ADDRESS\" once hosts can connect; stops on SIGINT or SIGTERM."));
    parser.addHelpOption();
    const QCommandLineOption listenOption(QStringLiteral("listen"),
        QStringLiteral(
            "Where to listen: local:NAME or tcp://HOST:PORT (default local:remoto-demo)."),
        QStringLiteral("ADDRESS"), QStringLiteral("local:remoto-demo"));
    const QCommandLineOption tokenOption(QStringLiteral("token"),
        QStringLiteral("Admit only hosts presenting TOKEN."), QStringLiteral("TOKEN"));
    const QCommandLineOption openOption(QStringLiteral("allow-unauthenticated"),
        QStringLiteral("Listen beyond loopback without --token, letting anyone who reaches the "
                       "address call the objects."));
    const QCommandLineOption maxClientsOption(QStringLiteral("max-clients"),
        QStringLiteral("Serve at most N hosts at once (default %1).")
            .arg(RemotoService::DefaultMaxClients),
        QStringLiteral("N"));
    parser.addOption(listenOption);
    parser.addOption(tokenOption);
    parser.addOption(openOption);
    parser.addOption(maxClientsOption);
    parser.process(app);

    QTextStream err(stderr);
    const QString address = parser.value(listenOption);
    const QByteArray token = parser.value(tokenOption).toUtf8();
    RemotoService service;
    if (!service.setAccessToken(token)) {
        err << "remoto-demo-service: the access token is too long" << Qt::endl;
        return 1;
    }
    if (parser.isSet(openOption) && token.isEmpty()) {
        service.setAllowUnauthenticated(true);
        err << "remoto-demo-service: warning: no access token; on a TCP address beyond "
               "loopback anyone who reaches it may call the objects"
            << Qt::endl;
    }
    if (parser.isSet(maxClientsOption)) {
        bool number = false;
        const int maxClients = parser.value(maxClientsOption).toInt(&number);
        if (!number || maxClients < 1) {
            err << "remoto-demo-service: --max-clients needs a positive number" << Qt::endl;
            return 1;
        }
        service.setMaxClients(maxClients);
    }
    // The library has already logged the failure; a service nobody can reach must not linger.
    QObject::connect(&service, &RemotoService::listenerLost, &app, [&err](const QString &reason) {
        err << "remoto-demo-service: cannot listen any more: " << reason << Qt::endl;
        QCoreApplication::exit(1);
    });

    Calculator calculator;
    Counter counter;
    Clock clock;
    const QString adminName = QStringLiteral("admin");
    Admin admin(&service, adminName);
    const QList<QPair<QString, QObject *>> objects = {
        { QStringLiteral("calculator"), &calculator },
        { QStringLiteral("counter"), &counter },
        { QStringLiteral("clock"), &clock },
        { adminName, &admin },
    };
    for (const auto &object : objects) {
        admin.manage(object.first, object.second);
        service.publish(object.first, object.second);
    }

    if (!service.listen(address)) {
        err << "remoto-demo-service: cannot listen on " << address << ": " << service.errorString()
            << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << "listening on " << service.address() << Qt::endl;

    quitOnTerminationSignals(&app);
    return app.exec();
}
