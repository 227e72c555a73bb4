// The service half of remoto_qtro_bench: publishes BenchObjects through either system, so the
// two are measured against the same objects in a process of their own.
//
//   remoto_bench_service remoto|qtro ADDRESS [OBJECTS]
//   remoto_bench_service echo ADDRESS
//
// Publishes "bench" and OBJECTS more named o1, o2, ..., prints "ready" once hosts can connect,
// over TLS for an ADDRESS tls://HOST:PORT, with service.pem and service.key of the directory
// REMOTO_BENCH_CERTIFICATES names;
// then takes commands on stdin, one a line:
//   publish N   publishes N more objects while hosts stay connected; prints
//               "published NS FIRST LAST", the nanoseconds the N publications took, and
//               those the first and the last tenth of them took
// and ends at the end of its input. The echo mode publishes nothing: it sends back every byte
// it receives on a local: or tcp:// ADDRESS, the far end of the raw ping-pong that shows what
// the transport and the event loop allow a call at most.

#include "benchobject.h"

#include <remotoservice.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QSocketNotifier>
#include <QtCore/QUrl>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QSslKey>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>
#include <QtRemoteObjects/QRemoteObjectHost>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

// Qt Remote Objects takes TLS links as devices the service makes and hands to it encrypted.
class TlsListener : public QTcpServer
{
public:
    TlsListener(const QString &certificates, QRemoteObjectHost *host)
        : m_host(host)
    {
        m_configuration = QSslConfiguration::defaultConfiguration();
        m_configuration.setLocalCertificateChain(
            QSslCertificate::fromPath(certificates + QStringLiteral("service.pem")));
        QFile key(certificates + QStringLiteral("service.key"));
        if (key.open(QIODevice::ReadOnly))
            m_configuration.setPrivateKey(QSslKey(&key, QSsl::Ec));
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto socket = new QSslSocket(this);
        socket->setSslConfiguration(m_configuration);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        connect(socket, &QSslSocket::encrypted, this,
            [this, socket] { m_host->addHostSideConnection(socket); });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }

private:
    QRemoteObjectHost *m_host;
    QSslConfiguration m_configuration;
};

// Sends back what arrives, at once: a write left to the next pass would cost the ping-pong a
// wake-up that no call pays.
template <typename Socket> void echo(Socket *socket)
{
    QObject::connect(socket, &Socket::readyRead, socket, [socket] {
        socket->write(socket->readAll());
        socket->flush();
    });
    QObject::connect(socket, &Socket::disconnected, socket, &QObject::deleteLater);
}

int runEcho(const QUrl &url)
{
    QLocalServer local;
    QTcpServer tcp;
    if (url.scheme() == QLatin1String("local")) {
        QObject::connect(&local, &QLocalServer::newConnection, &local, [&local] {
            while (QLocalSocket *socket = local.nextPendingConnection())
                echo(socket);
        });
        local.listen(url.path());
    } else {
        QObject::connect(&tcp, &QTcpServer::newConnection, &tcp, [&tcp] {
            while (QTcpSocket *socket = tcp.nextPendingConnection()) {
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                echo(socket);
            }
        });
        tcp.listen(QHostAddress(url.host()), quint16(url.port()));
    }
    if (!local.isListening() && !tcp.isListening()) {
        std::fprintf(stderr, "cannot listen on %s\n", qPrintable(url.toString()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    // Ends with its input, as the other modes do.
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &input, [] {
        char line[64];
        if (!std::fgets(line, sizeof line, stdin))
            QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3
        || (args.at(1) != QLatin1String("remoto") && args.at(1) != QLatin1String("qtro")
            && args.at(1) != QLatin1String("echo"))) {
        std::fprintf(stderr,
            "usage: remoto_bench_service remoto|qtro ADDRESS [OBJECTS]\n"
            "       remoto_bench_service echo ADDRESS\n");
        return 2;
    }
    if (args.at(1) == QLatin1String("echo"))
        return runEcho(QUrl(args.at(2)));
    const bool remoto = args.at(1) == QLatin1String("remoto");
    const QString address = args.at(2);
    const int objects = args.value(3).toInt();
    const QUrl url(address);
    const bool tls = url.scheme() == QLatin1String("tls");
    const QString certificates = qEnvironmentVariable("REMOTO_BENCH_CERTIFICATES");

    RemotoService service;
    std::unique_ptr<QRemoteObjectHost> host;
    std::unique_ptr<TlsListener> tlsListener;
    std::function<bool(const QString &, QObject *)> publish;
    if (remoto) {
        if (tls
            && !service.setTlsCertificate(certificates + QStringLiteral("service.pem"),
                certificates + QStringLiteral("service.key"))) {
            std::fprintf(stderr, "cannot load the certificate from %s\n", qPrintable(certificates));
            return 1;
        }
        if (!service.listen(address)) {
            std::fprintf(stderr, "cannot listen: %s\n", qPrintable(service.errorString()));
            return 1;
        }
        publish
            = [&](const QString &name, QObject *object) { return service.publish(name, object); };
    } else {
        host.reset(new QRemoteObjectHost);
        host->setHostUrl(url,
            tls ? QRemoteObjectHost::AllowExternalRegistration
                : QRemoteObjectHost::BuiltInSchemasOnly);
        if (tls) {
            tlsListener.reset(new TlsListener(certificates, host.get()));
            tlsListener->listen(QHostAddress(url.host()), quint16(url.port()));
        }
        if (host->lastError() != QRemoteObjectNode::NoError
            || (tlsListener && !tlsListener->isListening())) {
            std::fprintf(stderr, "cannot listen on %s\n", qPrintable(address));
            return 1;
        }
        publish = [&](const QString &name, QObject *object) {
            return host->enableRemoting(object, name);
        };
    }

    // Parented to the holder so that they outlive every publication and go before the service.
    QObject holder;
    publish(QStringLiteral("bench"), new BenchObject(&holder));
    for (int i = 1; i <= objects; ++i)
        publish(QStringLiteral("o%1").arg(i), new BenchObject(&holder));

    int published = 0;
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char line[64];
        // The host sends one command and waits for its answer, so stdio's buffer never holds a
        // second line the notifier would not announce.
        if (!std::fgets(line, sizeof line, stdin)) {
            QCoreApplication::quit();
            return;
        }
        int count = 0;
        if (std::sscanf(line, "publish %d", &count) != 1)
            return;
        std::vector<BenchObject *> batch;
        batch.reserve(count);
        for (int i = 0; i < count; ++i)
            batch.push_back(new BenchObject(&holder));
        const int tenth = qMax(1, count / 10);
        qint64 first = 0;
        qint64 lastStart = 0;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < count; ++i) {
            if (i == count - tenth)
                lastStart = timer.nsecsElapsed();
            publish(QStringLiteral("p%1").arg(++published), batch[size_t(i)]);
            if (i == tenth - 1)
                first = timer.nsecsElapsed();
        }
        const qint64 total = timer.nsecsElapsed();
        std::printf("published %lld %lld %lld\n", static_cast<long long>(total),
            static_cast<long long>(first), static_cast<long long>(total - lastStart));
        std::fflush(stdout);
    });

    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
