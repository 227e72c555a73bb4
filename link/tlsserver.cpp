#include "tlsserver.h"

#include "tlspipe.h"
#include "tlsworker.h"

namespace Wire {

TlsServer::TlsServer(const QSslConfiguration &configuration, QObject *parent)
    : QTcpServer(parent)
    , m_configuration(configuration)
    , m_worker(std::make_shared<TlsWorker>())
{
}

TlsServer::~TlsServer() = default;

void TlsServer::incomingConnection(qintptr descriptor)
{
    const auto link = std::make_shared<TlsLink>();
    auto pipe = new TlsPipe(m_worker, link, this);
    m_worker->adopt(descriptor, m_configuration, link);
    emit linkAccepted(pipe);
}

} // namespace Wire
