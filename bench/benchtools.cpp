#include "benchtools.h"

#include "testcertificates.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtNetwork/QHostAddress>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpServer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace BenchTools {

bool waitFor(const std::function<bool()> &done, int patienceMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    // Blocking waits must wake now and then to see the deadline pass.
    QTimer wake;
    wake.start(100);
    while (!done()) {
        if (elapsed.elapsed() > patienceMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void fail(const char *what)
{
    // Also before the application object exists.
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::exit(1);
}

QStringList freeTcpAddresses(int count)
{
    std::vector<std::unique_ptr<QTcpServer>> servers;
    QStringList addresses;
    for (int i = 0; i < count; ++i) {
        servers.push_back(std::make_unique<QTcpServer>());
        if (!servers.back()->listen(QHostAddress::LocalHost))
            fail("no free TCP port on loopback");
        addresses << QStringLiteral("tcp://127.0.0.1:%1").arg(servers.back()->serverPort());
    }
    return addresses;
}

QSslSocket *tlsSocket(const QUrl &url, QObject *parent)
{
    auto socket = new QSslSocket(parent);
    QSslConfiguration configuration = socket->sslConfiguration();
    configuration.setCaCertificates(
        QSslCertificate::fromPath(testCertificates() + QStringLiteral("ca.pem")));
    socket->setSslConfiguration(configuration);
    socket->connectToHostEncrypted(url.host(), quint16(url.port()));
    return socket;
}

} // namespace BenchTools
