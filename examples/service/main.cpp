// A service publishing an object of its own with RemotoService. Hosts reach it by the name it
// is published under, for example: remotoctl --connect local:remoto-example call thermostat
// setTarget 21.5

#include "thermostat.h"

#include <remotoservice.h>

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Publishes a thermostat for hosts."));
    parser.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
        QStringLiteral("Where to listen: local:NAME or tcp://HOST:PORT (default "
                       "local:remoto-example)."),
        QStringLiteral("ADDRESS"), QStringLiteral("local:remoto-example"));
    parser.addOption(listen);
    parser.process(app);

    // Published objects must live in the service's thread and outlive their publication:
    // one destroyed while published is withdrawn.
    Thermostat thermostat;
    RemotoService service;
    service.publish(QStringLiteral("thermostat"), &thermostat);
    if (!service.listen(parser.value(listen))) {
        QTextStream(stderr) << "remoto-example-service: " << service.errorString() << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << "listening on " << service.address() << Qt::endl;
    return app.exec();
}
