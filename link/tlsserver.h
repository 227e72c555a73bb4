#ifndef TLSSERVER_H
#define TLSSERVER_H

#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QTcpServer>

#include <memory>

namespace Wire {

class TlsWorker;

// Hands out the links it accepts as TlsPipes, whose sockets a worker thread serves and which
// start the service's side of the handshake at once, so the time a client has for its hello
// covers the handshake as well. Never has pending connections of QTcpServer's kind.
class TlsServer : public QTcpServer
{
    Q_OBJECT
public:
    TlsServer(const QSslConfiguration &configuration, QObject *parent = nullptr);
    ~TlsServer() override;

signals:
    // `link` is owned by the server until the receiver takes it.
    void linkAccepted(QIODevice *link);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration m_configuration;
    std::shared_ptr<TlsWorker> m_worker;
};

} // namespace Wire

#endif
