// Built from pkg-config's flags alone against an installed tree: a service and a host's
// connection, each reaching into its library.
#include <remotoservice.h>
#include <socketconnection.h>

#include <QtCore/QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    RemotoService service;
    SocketConnection connection;
    const QString address
        = QStringLiteral("local:remoto-probe-%1").arg(QCoreApplication::applicationPid());
    return service.listen(address) && connection.connectToService(service.address()) ? 0 : 1;
}
