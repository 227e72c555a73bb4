#include "socketconnection.h"

#include "commandcatalogue.h"
#include "framechannel.h"
#include "payloadcodec.h"
#include "resultcodetable.h"
#include "request.h"
#include "serviceaddress.h"
#include "tlssettings.h"
#include "transport.h"

#include <QtCore/QIODevice>
#include <QtCore/QLoggingCategory>
#include <QtCore/QPointer>
#include <QtCore/QTimer>

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

using Velmor::Connection::State;
using Wire::Frame;
using Wire::FrameChannel;
using Wire::ServiceAddress;

namespace {

// "remoto.connection": how each link came and went, for QT_LOGGING_RULES to enable.
Q_LOGGING_CATEGORY(lcConnection, "remoto.connection", QtInfoMsg)

// A message as the service would have sent it, for what the connection answers itself.
Velmor::Command::Message markedMessage(
    qint32 kind, quint32 requestUid, quint32 objectId, const QByteArray &payload)
{
    Velmor::Command::Message message;
    message.requestUid = requestUid;
    message.objectId = objectId;
    message.kind = kind;
    message.magic = Velmor::Command::Marker;
    message.payload = payload;
    return message;
}

} // namespace

class SocketConnection::Private
{
public:
    explicit Private(SocketConnection *q)
        : q(q)
    {
    }

    void startAttempt();
    void attemptSucceeded();
    void attemptFailed(const QString &error, bool final);
    void linkLost(Wire::FrameChannel *channel, const QString &reason);
    void frameArrived(const Wire::Frame &frame);
    void refusalArrived(const Wire::Frame &frame);
    void refuseLocally(const Request &request);
    void scheduleReconnect();
    void setState(Velmor::Connection::State state);
    // Reports the link lost, first answering the calls still waiting on it.
    void reportLinkLost();
    void dropPendingSocket();

    SocketConnection *const q;
    Wire::ServiceAddress m_address;
    QByteArray m_token;
    Wire::TlsSettings m_tls;
    // The socket of an attempt still connecting.
    QIODevice *m_pending = nullptr;
    Wire::FrameChannel *m_channel = nullptr;
    struct Unanswered
    {
        quint32 requestUid;
        quint32 objectId;
        qint32 command;
    };
    // INVOKE and SIGCONNECT requests sent on the current link and not yet answered, oldest
    // first: mostly one at a time, so a list, which costs a call no allocation of its own.
    std::vector<Unanswered> m_unanswered;
    QTimer m_reconnectTimer;
    Velmor::Connection::State m_state = Velmor::Connection::Disconnected;
    QString m_error;
    bool m_autoReconnect = false;
    // Why the service is closing the current link; 0 while it has not said.
    qint32 m_refusalReason = 0;
    bool m_initialObjectsAnnounced = false;
    // What the service on the current link said it takes beyond the plain protocol.
    quint32 m_serviceFeatures = 0;
    // The host asked for a link and has not asked to drop it.
    bool m_wanted = false;
    int m_firstDelay = DefaultFirstReconnectDelay;
    int m_maxDelay = DefaultMaxReconnectDelay;
    int m_nextDelay = DefaultFirstReconnectDelay;
    int m_stallTimeout = Wire::FrameChannel::DefaultStallTimeout;
};

SocketConnection::SocketConnection(QObject *parent)
    : QObject(parent)
    , d(new Private(this))
{
    d->m_reconnectTimer.setSingleShot(true);
    connect(&d->m_reconnectTimer, &QTimer::timeout, this, [this] { d->startAttempt(); });
}

SocketConnection::~SocketConnection() = default;

Velmor::Connection::State SocketConnection::state() const
{
    return d->m_state;
}

QString SocketConnection::errorString() const
{
    return d->m_error;
}

qint32 SocketConnection::refusalReason() const
{
    return d->m_refusalReason;
}

bool SocketConnection::autoReconnect() const
{
    return d->m_autoReconnect;
}

bool SocketConnection::connectToService(const QString &address)
{
    const ServiceAddress parsed = ServiceAddress::parse(address);
    const bool usable = parsed.kind == ServiceAddress::Local
        || (parsed.isNetwork() && !parsed.host.isEmpty() && parsed.port > 0);
    if (!usable) {
        d->m_error = QStringLiteral("not a service address: %1").arg(address);
        return false;
    }
    disconnectFromService();
    d->m_address = parsed;
    d->m_wanted = true;
    d->m_nextDelay = d->m_firstDelay;
    d->startAttempt();
    return true;
}

void SocketConnection::disconnectFromService()
{
    d->m_wanted = false;
    d->m_reconnectTimer.stop();
    d->dropPendingSocket();
    if (d->m_channel) {
        FrameChannel *channel = d->m_channel;
        d->m_channel = nullptr;
        channel->disconnect(this);
        channel->abort(QStringLiteral("disconnected by the host"));
        channel->deleteLater();
        d->reportLinkLost();
    }
    d->setState(Velmor::Connection::Disconnected);
}

bool SocketConnection::setAccessToken(const QByteArray &token)
{
    if (token.size() > Frame::MaxTokenSize)
        return false;
    d->m_token = token;
    return true;
}

bool SocketConnection::setTlsCaFile(const QString &file)
{
    if (file.isEmpty()) {
        d->m_tls.authorities.clear();
        return true;
    }
    return d->m_tls.loadAuthorities(file, &d->m_error);
}

bool SocketConnection::setTlsPin(const QString &sha256Hex)
{
    if (d->m_tls.setPin(sha256Hex))
        return true;
    d->m_error = QStringLiteral("not a SHA-256 digest in hex: %1").arg(sha256Hex);
    return false;
}

bool SocketConnection::setTlsClientCertificate(const QString &chainFile, const QString &keyFile)
{
    if (chainFile.isEmpty() && keyFile.isEmpty()) {
        d->m_tls.chain.clear();
        d->m_tls.key = QSslKey();
        return true;
    }
    return d->m_tls.loadChain(chainFile, keyFile, &d->m_error);
}

void SocketConnection::setAutoReconnect(bool enabled)
{
    d->m_autoReconnect = enabled;
    if (enabled || !d->m_reconnectTimer.isActive())
        return;
    d->m_reconnectTimer.stop();
    // No retry is coming, so an attempt that failed is the last one.
    if (d->m_state == Velmor::Connection::Connecting)
        d->setState(Velmor::Connection::Disconnected);
}

void SocketConnection::setReconnectDelays(int firstMsecs, int maxMsecs)
{
    d->m_firstDelay = qMax(1, firstMsecs);
    d->m_maxDelay = qMax(d->m_firstDelay, maxMsecs);
    d->m_nextDelay = d->m_firstDelay;
}

void SocketConnection::setStallTimeout(int msecs)
{
    d->m_stallTimeout = msecs;
    if (d->m_channel)
        d->m_channel->setStallTimeout(msecs);
}

void SocketConnection::request(const Request *request)
{
    if (!request)
        return;
    bool numeric = false;
    Frame frame;
    frame.type = Frame::Request;
    frame.requestUid = quint32(request->uid());
    frame.sequence = request->sequence();
    frame.objectId = quint32(request->objectId());
    frame.command = request->command().toInt(&numeric);
    frame.magic = request->magic();
    const QVariant payload = request->payload();
    bool carried = true;
    switch (payload.userType()) {
    case QMetaType::UnknownType:
        break;
    case QMetaType::QByteArray:
        frame.payload = payload.toByteArray();
        if (d->m_serviceFeatures & Frame::TakesUnwrapped
            && frame.payload.size() >= CommandCatalogue::MinUnwrappedPayloadSize) {
            const QVariant unwrapped
                = request->property(CommandCatalogue::UnwrappedPayloadProperty);
            if (unwrapped.userType() == QMetaType::QByteArray) {
                frame.payload = unwrapped.toByteArray();
                frame.flags = Frame::Unwrapped;
            }
        }
        break;
    case QMetaType::QString:
        frame.payload = payload.toString().toUtf8();
        break;
    default:
        carried = false;
    }
    if (!d->m_channel || !numeric || !carried || !d->m_channel->send(frame)) {
        d->refuseLocally(*request);
        return;
    }
    if (frame.command == CommandCatalogue::Invoke
        || frame.command == CommandCatalogue::SigConnect) {
        d->m_unanswered.push_back({ frame.requestUid, frame.objectId, frame.command });
        // The module waits for the answer: the request goes out now, not with the next pass.
        d->m_channel->flush();
    }
}

void SocketConnection::Private::startAttempt()
{
    dropPendingSocket();
    setState(Velmor::Connection::Connecting);
    m_pending = Wire::Transport::createSocket(m_address, m_tls, q);
    Wire::Transport::watchAttempt(
        m_pending, m_tls, q, [this] { attemptSucceeded(); },
        [this](const QString &error, bool final) { attemptFailed(error, final); });
    Wire::Transport::startConnecting(m_pending, m_address);
}

void SocketConnection::Private::attemptSucceeded()
{
    QIODevice *socket = m_pending;
    m_pending = nullptr;
    socket->disconnect(q);
    auto channel = new FrameChannel(socket, { Frame::Message, Frame::Refusal }, q);
    m_channel = channel;
    m_refusalReason = 0;
    m_initialObjectsAnnounced = false;
    m_serviceFeatures = 0;
    channel->setStallTimeout(m_stallTimeout);
    QObject::connect(channel, &FrameChannel::frameReceived, q,
        [this](const Frame &frame) { frameArrived(frame); });
    QObject::connect(channel, &FrameChannel::closed, q,
        [this, channel](const QString &reason) { linkLost(channel, reason); });
    // The hello goes out before anything the module sends, since the module only sends
    // once it hears of the link.
    channel->send(Frame::hello(m_token));
    qCDebug(lcConnection, "SocketConnection: linked to %s", qUtf8Printable(m_address.toString()));
    m_nextDelay = m_firstDelay;
    setState(Velmor::Connection::Connected);
}

void SocketConnection::Private::attemptFailed(const QString &error, bool final)
{
    dropPendingSocket();
    // A certificate refused now would be refused again; never fall back to clear text either.
    if (final)
        m_wanted = false;
    m_error = error;
    qCDebug(lcConnection, "SocketConnection: no link to %s: %s",
        qUtf8Printable(m_address.toString()), qUtf8Printable(error));
    emit q->errorOccurred(error);
    if (m_wanted && m_autoReconnect) {
        scheduleReconnect();
    } else {
        m_wanted = false;
        setState(Velmor::Connection::Disconnected);
    }
}

void SocketConnection::Private::linkLost(FrameChannel *channel, const QString &reason)
{
    if (channel != m_channel)
        return;
    m_channel = nullptr;
    channel->deleteLater();
    if (m_refusalReason == 0)
        m_error = reason;
    qCDebug(lcConnection, "SocketConnection: the link to %s ended: %s",
        qUtf8Printable(m_address.toString()), qUtf8Printable(m_error));
    const QPointer<SocketConnection> alive(q);
    reportLinkLost();
    if (!alive)
        return;
    if (m_refusalReason == 0)
        emit q->errorOccurred(reason);
    if (m_wanted && m_autoReconnect)
        scheduleReconnect();
    else if (!m_wanted)
        setState(Velmor::Connection::Disconnected);
}

void SocketConnection::Private::scheduleReconnect()
{
    qCDebug(lcConnection, "SocketConnection: trying %s again in %d ms",
        qUtf8Printable(m_address.toString()), m_nextDelay);
    m_reconnectTimer.start(m_nextDelay);
    // Doubling a delay past half the largest int would overflow: the maximum is reached first.
    m_nextDelay = m_nextDelay > m_maxDelay / 2 ? m_maxDelay : 2 * m_nextDelay;
}

void SocketConnection::Private::frameArrived(const Frame &frame)
{
    if (frame.type == Frame::Refusal) {
        refusalArrived(frame);
        return;
    }
    if (frame.kind == Frame::InitialObjectsAnnounced) {
        // Whatever a service sends later, the first announcements end only once per link.
        if (!std::exchange(m_initialObjectsAnnounced, true)) {
            m_serviceFeatures = Frame::offeredFeatures(frame.payload);
            emit q->initialObjectsAnnounced();
        }
        return;
    }
    if (frame.kind == Velmor::Command::Answer || frame.kind == Velmor::Command::Refused) {
        // The newest is answered first: a host waits for its last call.
        const auto answered = std::find_if(m_unanswered.rbegin(), m_unanswered.rend(),
            [&](const Unanswered &sent) { return sent.requestUid == frame.requestUid; });
        if (answered != m_unanswered.rend())
            m_unanswered.erase(std::next(answered).base());
    }
    Velmor::Command::Message incoming;
    incoming.requestUid = frame.requestUid;
    incoming.objectId = frame.objectId;
    incoming.kind = frame.kind;
    incoming.magic = frame.magic;
    incoming.payload = frame.payload;
    emit q->message(incoming);
}

void SocketConnection::Private::refusalArrived(const Frame &frame)
{
    // The service's own words are not shown: they come from a peer and could be anything.
    switch (frame.kind) {
    case Frame::AccessRefused:
        m_error = QStringLiteral("the service refused the access token");
        // The same token would be refused again.
        m_wanted = false;
        break;
    case Frame::TooManyClients:
        m_error = QStringLiteral("the service refused the link: it has too many clients");
        break;
    case Frame::HelloTimeout:
        m_error = QStringLiteral("the service refused the link: no hello in time");
        break;
    case Frame::OverBudget:
        m_error = QStringLiteral("the service dropped the link: it held too much data for it");
        break;
    default:
        m_error = QStringLiteral("the service refused the link (reason %1)").arg(frame.kind);
    }
    // Zero would read as no refusal at all.
    m_refusalReason = frame.kind != 0 ? frame.kind : -1;
    emit q->errorOccurred(m_error);
}

void SocketConnection::Private::refuseLocally(const Request &request)
{
    const Velmor::Command::Message refusal = markedMessage(Velmor::Command::Refused,
        quint32(request.uid()), quint32(request.objectId()), QByteArray());
    SocketConnection *connection = q;
    QMetaObject::invokeMethod(
        q, [connection, refusal] { emit connection->message(refusal); }, Qt::QueuedConnection);
}

void SocketConnection::Private::reportLinkLost()
{
    // Only calls that wait are answered: a made-up answer to GETINFO or GETMETAINFO would
    // drive the module's object life cycle. Taken out first, since the answers reach slots
    // that may send again.
    std::vector<Unanswered> unanswered = std::exchange(m_unanswered, {});
    // In the order of their uids; of two with the same uid, only the later one is waited for.
    std::stable_sort(unanswered.begin(), unanswered.end(),
        [](const Unanswered &a, const Unanswered &b) { return a.requestUid < b.requestUid; });
    const QPointer<SocketConnection> alive(q);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (auto it = unanswered.cbegin(); it != unanswered.cend() && alive; ++it) {
        if (std::next(it) != unanswered.cend() && std::next(it)->requestUid == it->requestUid)
            continue;
        const Velmor::Command::Message answer = markedMessage(Velmor::Command::Answer,
            it->requestUid, it->objectId,
            Wire::PayloadCodec::encodeAnswer(ResultCode::ConnectionError, it->command, {}, now));
        emit q->message(answer);
    }
    if (alive)
        setState(Velmor::Connection::ConnectionLost);
}

void SocketConnection::Private::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit q->stateChanged(state);
}

void SocketConnection::Private::dropPendingSocket()
{
    if (!m_pending)
        return;
    QIODevice *socket = m_pending;
    m_pending = nullptr;
    socket->disconnect(q);
    Wire::Transport::abort(socket);
    socket->deleteLater();
}
