#include "servicelistener.h"

#include "clienttable.h"
#include "serviceaddress.h"
#include "servicelog.h"
#include "transport.h"

#include <QtCore/QPointer>
#include <QtNetwork/QHostAddress>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QTcpServer>

#include <filesystem>

using Wire::ServiceAddress;

namespace {

constexpr int CheckInterval = 1000;
constexpr int RelistenFirstDelay = 100;
constexpr int RelistenMaxDelay = 5000;
constexpr int RelistenPatience = 60000;

// Whether a service answers on the local socket name, as opposed to a file left behind.
bool localServerAlive(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name);
    return probe.waitForConnected(1000);
}

std::filesystem::file_type fileType(const QString &path)
{
    std::error_code unreadable;
    return std::filesystem::symlink_status(std::filesystem::u8path(path.toStdString()), unreadable)
        .type();
}

// Makes way for a socket file under `name`, removing only what a service that is gone left
// behind, never a file of any worth.
bool clearLeftoverSocket(const QString &name, QString *error)
{
    const QString path = Wire::Transport::socketFilePath(name);
    const std::filesystem::file_type type = fileType(path);
    if (type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none)
        return true;
    if (type != std::filesystem::file_type::socket) {
        *error = QStringLiteral("%1 exists and is not a socket file; not replacing it").arg(path);
        return false;
    }
    // Listening would put a new socket file over a live service's without complaint.
    if (localServerAlive(name)) {
        *error = QStringLiteral("a service already listens on local:%1").arg(name);
        return false;
    }
    QLocalServer::removeServer(name);
    return true;
}

QString secured(ServiceAddress address)
{
    address.kind = ServiceAddress::Tls;
    return address.toString();
}

} // namespace

ServiceListener::ServiceListener(ClientTable *clients, QObject *parent)
    : QObject(parent)
    , m_clients(clients)
    , m_check(this)
    , m_relistenTimer(this)
    , m_relistenDelay(RelistenFirstDelay)
{
    m_check.setInterval(CheckInterval);
    connect(&m_check, &QTimer::timeout, this, &ServiceListener::check);
    m_relistenTimer.setSingleShot(true);
    connect(&m_relistenTimer, &QTimer::timeout, this, &ServiceListener::relisten);
}

ServiceListener::~ServiceListener() = default;

void ServiceListener::close()
{
    stop();
    m_address.clear();
}

bool ServiceListener::isListening() const
{
    return m_server != nullptr;
}

QString ServiceListener::address() const
{
    return m_address;
}

QString ServiceListener::errorString() const
{
    return m_error;
}

void ServiceListener::setAllowUnauthenticated(bool allow)
{
    m_allowUnauthenticated = allow;
}

Wire::TlsSettings &ServiceListener::tls()
{
    return m_tls;
}

bool ServiceListener::loadTlsChain(const QString &chainFile, const QString &keyFile)
{
    return m_tls.loadChain(chainFile, keyFile, &m_error);
}

bool ServiceListener::loadTlsClientCa(const QString &file)
{
    return m_tls.loadAuthorities(file, &m_error);
}

bool ServiceListener::listen(const QString &where)
{
    const ServiceAddress parsed = ServiceAddress::parse(where);
    const auto accepted = [this](QIODevice *socket) { m_clients->accept(socket); };
    if (parsed.kind == ServiceAddress::Local) {
        if (!clearLeftoverSocket(parsed.name, &m_error))
            return false;
        auto server = new QLocalServer(this);
        server->setSocketOptions(QLocalServer::UserAccessOption);
        if (!server->listen(parsed.name)) {
            m_error = server->errorString();
            delete server;
            return false;
        }
        Wire::Transport::watchServer(server, this, accepted);
        m_server = server;
        const QString path = Wire::Transport::socketFilePath(parsed.name);
        m_socketFile = fileType(path) == std::filesystem::file_type::socket ? path : QString();
        m_address = parsed.toString();
        m_check.start();
        return true;
    }
    if (!parsed.isNetwork() || parsed.port < 0) {
        m_error = QStringLiteral("not a service address: %1").arg(where);
        return false;
    }
    QHostAddress host(parsed.host);
    if (parsed.host.isEmpty() || parsed.host == QLatin1String("localhost"))
        host = QHostAddress(QHostAddress::LocalHost);
    if (host.isNull()) {
        m_error = QStringLiteral("not an IP address: %1").arg(parsed.host);
        return false;
    }
    const bool tls = parsed.kind == ServiceAddress::Tls;
    if (tls && m_tls.chain.isEmpty()) {
        m_error = QStringLiteral("%1 needs a certificate and its private key").arg(where);
        return false;
    }
    // Encryption alone tells nothing of who connects: someone must still show something.
    const bool clientsShowSomething
        = m_clients->requiresToken() || (tls && !m_tls.authorities.isEmpty());
    if (!clientsShowSomething && !m_allowUnauthenticated && !host.isLoopback()) {
        m_error = tls ? QStringLiteral("%1 is reachable from other machines and neither an access "
                                       "token nor a client CA is set")
                            .arg(where)
                      : QStringLiteral("%1 is reachable from other machines and no access token is "
                                       "set; a token over tcp:// travels in clear text, so listen "
                                       "on %2 with a certificate and key and set an access "
                                       "token or a client CA")
                            .arg(where, secured(parsed));
        return false;
    }
    auto server = tls ? Wire::Transport::createTlsServer(m_tls, this) : new QTcpServer(this);
    if (!server->listen(host, quint16(parsed.port))) {
        m_error = server->errorString();
        delete server;
        return false;
    }
    Wire::Transport::watchServer(server, this, accepted);
    // Out of descriptors, the server stops accepting for good while still "listening". Queued,
    // since the server is then deleted, which must not happen inside its own signal.
    connect(
        server, &QTcpServer::acceptError, this,
        [this, server = QPointer<QTcpServer>(server)] {
            if (server && server == m_server)
                broke(server->errorString());
        },
        Qt::QueuedConnection);
    m_server = server;
    ServiceAddress actual;
    actual.kind = parsed.kind;
    actual.host = server->serverAddress().toString();
    actual.port = server->serverPort();
    m_address = actual.toString();
    m_check.start();
    return true;
}

void ServiceListener::stop()
{
    m_check.stop();
    m_relistenTimer.stop();
    delete m_server;
    m_server = nullptr;
    m_socketFile.clear();
}

void ServiceListener::check()
{
    // When accepting fails QLocalServer closes its socket and removes the file, says nothing
    // and still claims to listen; the file is what tells.
    const bool fileGone
        = !m_socketFile.isEmpty() && fileType(m_socketFile) != std::filesystem::file_type::socket;
    if (!m_server || (!fileGone && Wire::Transport::isListening(m_server)))
        return;
    const QString why = Wire::Transport::serverError(m_server);
    broke(why.isEmpty() && fileGone ? QStringLiteral("its socket file %1 is gone").arg(m_socketFile)
                                    : why);
}

void ServiceListener::broke(const QString &reason)
{
    qCWarning(lcService, "RemotoService: the listener on %s failed (%s); listening again",
        qUtf8Printable(m_address), qUtf8Printable(reason));
    stop();
    m_error = reason;
    // A listener that fails again soon after coming back, as one short of descriptors does
    // with clients still knocking, waits longer each time rather than spinning.
    if (!m_lastFailure.isValid() || m_lastFailure.hasExpired(RelistenMaxDelay))
        m_relistenDelay = RelistenFirstDelay;
    m_lastFailure.start();
    m_relistenDeadline.setRemainingTime(RelistenPatience);
    retry();
    emit failed(reason);
}

void ServiceListener::retry()
{
    m_relistenTimer.start(m_relistenDelay);
    m_relistenDelay = qMin(2 * m_relistenDelay, RelistenMaxDelay);
}

void ServiceListener::relisten()
{
    if (listen(m_address)) {
        qCInfo(lcService, "RemotoService: listening again on %s", qUtf8Printable(m_address));
        return;
    }
    if (!m_relistenDeadline.hasExpired()) {
        retry();
        return;
    }
    qCWarning(lcService, "RemotoService: gave up listening on %s: %s", qUtf8Printable(m_address),
        qUtf8Printable(m_error));
    m_address.clear();
    emit lost(m_error);
}
