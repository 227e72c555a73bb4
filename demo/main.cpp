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
        "  calculator  add(int,int), add(int,int,int), greet(QString), stats(QVariantList)\n"
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
    parser.addOption(listenOption);
    parser.addOption(tokenOption);
    parser.process(app);

    QTextStream err(stderr);
    RemotoService service;
    if (!service.setAccessToken(parser.value(tokenOption).toUtf8())) {
        err << "remoto-demo-service: the access token is too long" << Qt::endl;
        return 1;
    }

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

    if (!service.listen(parser.value(listenOption))) {
        err << "remoto-demo-service: cannot listen on " << parser.value(listenOption) << ": "
            << service.errorString() << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << "listening on " << service.address() << Qt::endl;

    quitOnTerminationSignals(&app);
    return app.exec();
}
