#include "session.h"

#include "ctllogging.h"
#include "exitcodes.h"
#include "output.h"

#include <commandcatalogue.h>
#include <frame.h>
#include <proxysignals.h>
#include <remotoclient.h>
#include <serviceaddress.h>
#include <transport.h>
#include <waiter.h>

#include <QtCore/QFileInfo>
#include <QtCore/QTimer>

using Velmor::Command::Message;
using Velmor::Connection::State;

namespace {

// How long one attempt to connect, and the announcement of the objects, may take whatever
// --wait says: a service that answers at all does both within milliseconds, and an attempt
// that neither succeeds nor fails (packets dropped on the way) must end some time.
constexpr int SettleMsecs = 5000;
// A service built before ObjectsAnnounced never says it has announced all it has; it sends its
// ObjectUp messages together, so this long after the last one it is taken to have.
constexpr int AnnouncementPauseMsecs = 1000;

} // namespace

Session::Session()
    : m_signals(new ProxySignals(this))
{
    // Tried again quickly while the service is starting; open() bounds the time.
    m_connection.setReconnectDelays(50, 400);
    m_announcementPause.setSingleShot(true);
    m_announcementPause.setInterval(AnnouncementPauseMsecs);
    connect(&m_announcementPause, &QTimer::timeout, this, [this] {
        m_announcementsPaused = true;
        Q_EMIT changed();
    });
    connect(&m_connection, &SocketConnection::errorOccurred, this, [this](const QString &text) {
        m_error = text;
        Q_EMIT changed();
    });
    // Before the plug-in, which load() connects next: see messageHandled().
    connect(&m_connection, &SocketConnection::message, this, &Session::messageArriving);
    connect(&m_connection, &SocketConnection::initialObjectsAnnounced, this, [this] {
        m_initialObjectsAnnounced = true;
        Q_EMIT changed();
    });
}

Session::~Session()
{
    if (!m_plugin)
        return;
    QMetaObject::invokeMethod(m_plugin, "setConnection", Q_ARG(QObject *, nullptr));
    // Taking the proxies with it while the connection they were given still exists.
    delete m_plugin.data();
}

int Session::load(const QString &path)
{
    m_loader.setFileName(path);
    m_plugin = m_loader.instance();
    if (m_plugin
        && !QMetaObject::invokeMethod(m_plugin, "setConnection", Q_ARG(QObject *, &m_connection))) {
        m_error = QStringLiteral("%1 is not the RemotoPlugin2 module").arg(path);
        m_plugin = nullptr;
    } else if (!m_plugin) {
        m_error = m_loader.errorString();
    }
    if (!m_plugin) {
        printError(QStringLiteral("cannot load the plug-in %1: %2").arg(path, m_error));
        return ExitCode::PluginUnavailable;
    }
    // After the plug-in, so that it has handled each message, and announced its proxies gone,
    // before this session reacts.
    connect(&m_connection, &SocketConnection::message, this, &Session::messageHandled);
    connect(&m_connection, &SocketConnection::stateChanged, this, &Session::linkStateChanged);
    // Connected to the plug-in before anyone else: whoever hears of a proxy next finds its
    // signals known.
    connect(m_plugin, SIGNAL(rpcObjectConnected(QObject *)), m_signals,
        SLOT(proxyConnected(QObject *)));
    m_client = new RemotoClient(m_plugin, this);
    connect(m_client, &RemotoClient::objectUp, this, &Session::changed);
    connect(m_client, &RemotoClient::objectDown, this, &Session::changed);
    return ExitCode::Ok;
}

int Session::start(const QByteArray &token, const QString &address, int waitMsecs)
{
    if (!m_connection.setAccessToken(token))
        return usageError(QStringLiteral("the access token is too long"));
    if (const int unusable = useTlsSettings())
        return unusable;
    qCDebug(lcCtl, "connecting to %s", qUtf8Printable(address));
    switch (open(address, waitMsecs)) {
    case Ready:
        qCDebug(lcCtl, "%d objects are up", int(m_client->objects().size()));
        return ExitCode::Ok;
    case BadAddress:
        return usageError(m_error);
    case Unreachable:
        printError(QStringLiteral("cannot reach the service at %1: %2").arg(address, m_error));
        return ExitCode::Unreachable;
    case Refused:
        break;
    }
    printError(QStringLiteral("%1: %2").arg(address, m_error));
    return ExitCode::AccessRefused;
}

int Session::useTlsSettings()
{
    const QString certificate = qEnvironmentVariable("REMOTO_TLS_CERT");
    const QString key = qEnvironmentVariable("REMOTO_TLS_KEY");
    if (certificate.isEmpty() != key.isEmpty())
        return usageError(QStringLiteral("give --tls-cert and --tls-key together"));
    if (!m_connection.setTlsCaFile(qEnvironmentVariable("REMOTO_TLS_CA"))
        || !m_connection.setTlsClientCertificate(certificate, key))
        return usageError(m_connection.errorString());
    if (!m_connection.setTlsPin(qEnvironmentVariable("REMOTO_TLS_PIN")))
        return usageError(QStringLiteral("--tls-pin needs the SHA-256 of the service's public "
                                         "key, 64 hex digits"));
    return ExitCode::Ok;
}

Session::Outcome Session::open(const QString &address, int waitMsecs)
{
    m_connection.setAutoReconnect(waitMsecs > 0);
    if (!m_connection.connectToService(address)) {
        m_error = m_connection.errorString();
        return BadAddress;
    }
    const auto linkUp = [this] { return m_connection.state() == Velmor::Connection::Connected; };
    // Between retries the link stays Connecting; a single attempt that fails leaves it.
    const QDeadlineTimer attempts(waitMsecs > 0 ? waitMsecs : SettleMsecs);
    waitUntil([&] { return linkUp() || m_connection.state() != Velmor::Connection::Connecting; },
        attempts);
    // From here on a lost link is reported, not quietly mended.
    m_connection.setAutoReconnect(false);
    if (!linkUp()) {
        m_connection.disconnectFromService();
        m_error = failureCause(address, waitMsecs > 0 ? waitMsecs : SettleMsecs);
        return Unreachable;
    }

    const qint64 announceMsecs = qMax(attempts.remainingTime(), qint64(SettleMsecs));
    const QDeadlineTimer announced(announceMsecs);
    waitUntil(
        [&] {
            return m_initialObjectsAnnounced || m_announcementsPaused
                || m_connection.refusalReason() != 0 || !linkUp();
        },
        announced);
    const qint32 refusal = m_connection.refusalReason();
    if (refusal == Wire::Frame::AccessRefused) {
        m_error = QStringLiteral("the service refused access (wrong or missing token)");
        return Refused;
    }
    // The connection has put a refusal in words of its own already.
    if (refusal != 0)
        return Unreachable;
    if (!linkUp()) {
        m_error = QStringLiteral("the service closed the connection");
        return Unreachable;
    }
    if (!m_initialObjectsAnnounced && !m_announcementsPaused) {
        m_error = QStringLiteral("the service did not announce its objects within %1 ms")
                      .arg(announceMsecs);
        return Unreachable;
    }
    if (!m_initialObjectsAnnounced)
        printError(QStringLiteral("the service did not say when it had announced all its "
                                  "objects; going on with those it announced"));
    // An object whose proxy is not complete by then is left out rather than failing all.
    waitUntil([this] { return m_client->objects().size() >= m_announced.size(); }, announced);
    m_open = true;
    return Ready;
}

QStringList Session::signalList(QObject *proxy) const
{
    return m_signals->of(proxy);
}

void Session::messageArriving(const Message &message)
{
    m_signals->arrived(message);
}

// Each message reaches messageArriving(), then the plug-in, then this, all of them before the
// next one, even one the plug-in handles meanwhile.
void Session::messageHandled(const Message &message)
{
    m_signals->handled();
    if (message.kind == Velmor::Command::ObjectUp) {
        m_announced.insert(message.objectId);
        if (!m_initialObjectsAnnounced)
            m_announcementPause.start();
    } else if (message.kind == Velmor::Command::ObjectDown) {
        m_announced.remove(message.objectId);
    }
    Q_EMIT changed();
}

void Session::linkStateChanged(State state)
{
    if (state == Velmor::Connection::ConnectionLost) {
        m_announced.clear();
        if (m_open) {
            m_open = false;
            Q_EMIT lost();
        }
    }
    Q_EMIT changed();
}

// Qt names a local socket's failures after its own function, "QLocalSocket::connectToServer:
// Invalid name" for a socket that is not there, so they are put in words here.
QString Session::failureCause(const QString &address, int waitedMsecs) const
{
#ifdef Q_OS_UNIX
    const Wire::ServiceAddress parsed = Wire::ServiceAddress::parse(address);
    if (parsed.kind == Wire::ServiceAddress::Local) {
        const QString path = Wire::Transport::socketFilePath(parsed.name);
        if (!QFileInfo::exists(path))
            return QStringLiteral("nothing listens there (there is no socket %1)").arg(path);
    }
#else
    Q_UNUSED(address)
#endif
    if (m_error.isEmpty())
        return QStringLiteral("no connection within %1 ms").arg(waitedMsecs);
    const QLatin1String localSocket("QLocalSocket::");
    return m_error.startsWith(localSocket) ? m_error.section(QLatin1String(": "), 1) : m_error;
}

bool Session::waitUntil(const std::function<bool()> &done, const QDeadlineTimer &deadline)
{
    Waiter waiter;
    connect(this, &Session::changed, &waiter, [&] {
        if (done())
            waiter.finish();
    });
    if (!done())
        waiter.wait(deadline);
    return done();
}
