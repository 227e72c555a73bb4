#include "tlsserver.h"

#include <QtNetwork/QSslSocket>

namespace Wire {

TlsServer::TlsServer(const QSslConfiguration &configuration, QObject *parent)
    : QTcpServer(parent)
    , m_configuration(configuration)
{
}

void TlsServer::incomingConnection(qintptr descriptor)
{
    auto socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setSslConfiguration(m_configuration);
    socket->startServerEncryption();
    addPendingConnection(socket);
}

} // namespace Wire
