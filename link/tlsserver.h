#ifndef TLSSERVER_H
#define TLSSERVER_H

#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QTcpServer>

namespace Wire {

// Hands out sockets that start the service's side of the TLS handshake as they are accepted,
// so the time a client has for its hello covers the handshake as well.
class TlsServer : public QTcpServer
{
    Q_OBJECT
public:
    TlsServer(const QSslConfiguration &configuration, QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration m_configuration;
};

} // namespace Wire

#endif
