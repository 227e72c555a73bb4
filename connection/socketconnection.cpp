#include "socketconnection.h"

#include "commandcatalogue.h"
#include "payloadcodec.h"
#include "request.h"
#include "transport.h"

#include <QtCore/QIODevice>
#include <QtCore/QPointer>

#include <utility>

using Velmor::Connection::State;
using Wire::Frame;
using Wire::FrameChannel;
using Wire::ServiceAddress;

namespace {

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

SocketConnection::SocketConnection(QObject *parent)
    : QObject(parent)
{
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &SocketConnection::startAttempt);
}

SocketConnection::~SocketConnection() = default;

bool SocketConnection::connectToService(const QString &address)
{
    const ServiceAddress parsed = ServiceAddress::parse(address);
    const bool usable = parsed.kind == ServiceAddress::Local
        || (parsed.kind == ServiceAddress::Tcp && !parsed.host.isEmpty() && parsed.port > 0);
    if (!usable) {
        m_error = QStringLiteral("not a service address: %1").arg(address);
        return false;
    }
    disconnectFromService();
    m_address = parsed;
    m_wanted = true;
    m_nextDelay = m_firstDelay;
    startAttempt();
    return true;
}

void SocketConnection::disconnectFromService()
{
    m_wanted = false;
    m_reconnectTimer.stop();
    dropPendingSocket();
    if (m_channel) {
        FrameChannel *channel = m_channel;
        m_channel = nullptr;
        channel->disconnect(this);
        channel->abort(QStringLiteral("disconnected by the host"));
        channel->deleteLater();
        reportLinkLost();
    }
    setState(Velmor::Connection::Disconnected);
}

bool SocketConnection::setAccessToken(const QByteArray &token)
{
    if (token.size() > Frame::MaxTokenSize)
        return false;
    m_token = token;
    return true;
}

void SocketConnection::setAutoReconnect(bool enabled)
{
    m_autoReconnect = enabled;
    if (enabled || !m_reconnectTimer.isActive())
        return;
    m_reconnectTimer.stop();
    // No retry is coming, so an attempt that failed is the last one.
    if (m_state == Velmor::Connection::Connecting)
        setState(Velmor::Connection::Disconnected);
}

void SocketConnection::setReconnectDelays(int firstMsecs, int maxMsecs)
{
    m_firstDelay = qMax(1, firstMsecs);
    m_maxDelay = qMax(m_firstDelay, maxMsecs);
    m_nextDelay = m_firstDelay;
}

void SocketConnection::setStallTimeout(int msecs)
{
    m_stallTimeout = msecs;
    if (m_channel)
        m_channel->setStallTimeout(msecs);
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
        if (m_serviceFeatures & Frame::TakesUnwrapped
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
    if (!m_channel || !numeric || !carried || !m_channel->send(frame)) {
        refuseLocally(*request);
        return;
    }
    if (frame.command == CommandCatalogue::Invoke
        || frame.command == CommandCatalogue::SigConnect) {
        m_unanswered.insert(frame.requestUid, { frame.objectId, frame.command });
        // The module waits for the answer: the request goes out now, not with the next pass.
        m_channel->flush();
    }
}

void SocketConnection::startAttempt()
{
    dropPendingSocket();
    setState(Velmor::Connection::Connecting);
    m_pending = Wire::Transport::createSocket(m_address, this);
    Wire::Transport::watchAttempt(
        m_pending, this, [this] { attemptSucceeded(); },
        [this](const QString &error) { attemptFailed(error); });
    Wire::Transport::startConnecting(m_pending, m_address);
}

void SocketConnection::attemptSucceeded()
{
    QIODevice *socket = m_pending;
    m_pending = nullptr;
    socket->disconnect(this);
    auto channel = new FrameChannel(socket, { Frame::Message, Frame::Refusal }, this);
    m_channel = channel;
    m_refusalReason = 0;
    m_initialObjectsAnnounced = false;
    m_serviceFeatures = 0;
    channel->setStallTimeout(m_stallTimeout);
    connect(channel, &FrameChannel::frameReceived, this, &SocketConnection::frameArrived);
    connect(channel, &FrameChannel::closed, this,
        [this, channel](const QString &reason) { linkLost(channel, reason); });
    // The hello goes out before anything the module sends, since the module only sends
    // once it hears of the link.
    channel->send(Frame::hello(m_token));
    m_nextDelay = m_firstDelay;
    setState(Velmor::Connection::Connected);
}

void SocketConnection::attemptFailed(const QString &error)
{
    dropPendingSocket();
    m_error = error;
    emit errorOccurred(error);
    if (m_wanted && m_autoReconnect) {
        scheduleReconnect();
    } else {
        m_wanted = false;
        setState(Velmor::Connection::Disconnected);
    }
}

void SocketConnection::linkLost(FrameChannel *channel, const QString &reason)
{
    if (channel != m_channel)
        return;
    m_channel = nullptr;
    channel->deleteLater();
    if (m_refusalReason == 0)
        m_error = reason;
    const QPointer<SocketConnection> alive(this);
    reportLinkLost();
    if (!alive)
        return;
    if (m_refusalReason == 0)
        emit errorOccurred(reason);
    if (m_wanted && m_autoReconnect)
        scheduleReconnect();
    else if (!m_wanted)
        setState(Velmor::Connection::Disconnected);
}

void SocketConnection::scheduleReconnect()
{
    m_reconnectTimer.start(m_nextDelay);
    // Doubling a delay past half the largest int would overflow: the maximum is reached first.
    m_nextDelay = m_nextDelay > m_maxDelay / 2 ? m_maxDelay : 2 * m_nextDelay;
}

void SocketConnection::frameArrived(const Frame &frame)
{
    if (frame.type == Frame::Refusal) {
        refusalArrived(frame);
        return;
    }
    if (frame.kind == Frame::InitialObjectsAnnounced) {
        // Whatever a service sends later, the first announcements end only once per link.
        if (!std::exchange(m_initialObjectsAnnounced, true)) {
            m_serviceFeatures = Frame::offeredFeatures(frame.payload);
            emit initialObjectsAnnounced();
        }
        return;
    }
    if (frame.kind == Velmor::Command::Answer || frame.kind == Velmor::Command::Refused)
        m_unanswered.remove(frame.requestUid);
    Velmor::Command::Message incoming;
    incoming.requestUid = frame.requestUid;
    incoming.objectId = frame.objectId;
    incoming.kind = frame.kind;
    incoming.magic = frame.magic;
    incoming.payload = frame.payload;
    emit message(incoming);
}

void SocketConnection::refusalArrived(const Frame &frame)
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
    emit errorOccurred(m_error);
}

void SocketConnection::refuseLocally(const Request &request)
{
    const Velmor::Command::Message refusal = markedMessage(Velmor::Command::Refused,
        quint32(request.uid()), quint32(request.objectId()), QByteArray());
    QMetaObject::invokeMethod(
        this, [this, refusal] { emit message(refusal); }, Qt::QueuedConnection);
}

void SocketConnection::reportLinkLost()
{
    // Only calls that wait are answered: a made-up answer to GETINFO or GETMETAINFO would
    // drive the module's object life cycle. Taken out first, since the answers reach slots
    // that may send again.
    const QMap<quint32, Unanswered> unanswered = std::exchange(m_unanswered, {});
    const QPointer<SocketConnection> alive(this);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (auto it = unanswered.cbegin(); it != unanswered.cend() && alive; ++it) {
        const Velmor::Command::Message answer
            = markedMessage(Velmor::Command::Answer, it.key(), it->objectId,
                Wire::PayloadCodec::encodeAnswer(
                    Wire::PayloadCodec::ConnectionError, it->command, {}, now));
        emit message(answer);
    }
    if (alive)
        setState(Velmor::Connection::ConnectionLost);
}

void SocketConnection::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void SocketConnection::dropPendingSocket()
{
    if (!m_pending)
        return;
    QIODevice *socket = m_pending;
    m_pending = nullptr;
    socket->disconnect(this);
    Wire::Transport::abort(socket);
    socket->deleteLater();
}
