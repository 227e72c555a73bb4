#include "clienttable.h"

#include "framechannel.h"
#include "message.h"
#include "remotoservice.h"
#include "servicelog.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QTimer>

#include <limits>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using Wire::Frame;
using Wire::FrameChannel;

namespace {

// A hello, or a request that will be refused: nothing a client not admitted needs more for.
constexpr quint32 UnadmittedMaxFrameSize = 4096;
// Requests a refused client already sent still get their Refused answer meanwhile.
constexpr int RefusedLinger = 1000;

// Takes as long for every token given, whatever its length, so timing tells nothing of the
// expected token, not even how long it is.
bool sameToken(const QByteArray &given, const QByteArray &expected)
{
    uint difference = uint(given.size() ^ expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const uchar offered = i < given.size() ? uchar(given.at(i)) : 0;
        difference |= uint(offered ^ uchar(expected.at(i)));
    }
    return difference == 0;
}

// Descriptors left to the rest of the process: the listener, files, other libraries' sockets.
constexpr int ReservedDescriptors = 64;

// Each client holds a descriptor, and a process cannot open more than its soft limit; a
// library leaves raising it to the program.
int defaultMaxClients()
{
#ifdef Q_OS_UNIX
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const qint64 open
            = qint64(qMin<rlim_t>(limit.rlim_cur, rlim_t(std::numeric_limits<int>::max())));
        // A small limit is shared half and half rather than left to the service alone.
        return int(open > 2 * ReservedDescriptors ? open - ReservedDescriptors : open / 2);
    }
#endif
    return RemotoService::DefaultMaxClients;
}

} // namespace

ClientTable::ClientTable(QObject *parent)
    : QObject(parent)
    , m_stallTimeout(FrameChannel::DefaultStallTimeout)
    , m_maxClients(defaultMaxClients())
    , m_helloTimeout(RemotoService::DefaultHelloTimeout)
    , m_memoryBudget(RemotoService::DefaultMemoryBudget)
{
}

ClientTable::~ClientTable() = default;

void ClientTable::accept(QIODevice *socket)
{
    auto channel = new FrameChannel(socket, { Frame::Hello, Frame::Request }, this);
    if (m_clients.size() >= size_t(qMax(0, m_maxClients))) {
        QObject::connect(channel, &FrameChannel::closed, channel, &QObject::deleteLater);
        const QString text = QStringLiteral("too many clients");
        channel->abortAfter(Frame::refusal(Frame::TooManyClients, text), text);
        return;
    }
    channel->setStallTimeout(m_stallTimeout);
    const quint64 clientId = ++m_lastClientId;
    Client &client = m_clients[clientId];
    client.channel = channel;
    client.admitted = m_token.isEmpty();
    if (!client.admitted)
        channel->setMaxFrameSize(UnadmittedMaxFrameSize);
    connect(channel, &FrameChannel::frameReceived, this,
        [this, clientId](const Frame &frame) { frameArrived(clientId, frame); });
    connect(channel, &FrameChannel::closed, this,
        [this, clientId](const QString &reason) { drop(clientId, reason); });
    connect(channel, &FrameChannel::bufferedBytesGrew, this, [this, clientId] {
        m_grown.push_back(clientId);
        budgetMayBeExceeded();
    });
    QTimer::singleShot(m_helloTimeout, channel, [this, clientId] {
        const auto it = m_clients.find(clientId);
        if (it != m_clients.end() && !it->second.helloSeen)
            refuse(clientId, Frame::HelloTimeout, QStringLiteral("no hello in time"));
    });
    if (client.admitted)
        emit admitted(clientId);
}

void ClientTable::dropAll()
{
    while (!m_clients.empty())
        drop(m_clients.begin()->first, QStringLiteral("the service closed"));
}

int ClientTable::count() const
{
    return int(m_clients.size());
}

FrameChannel *ClientTable::channel(quint64 clientId) const
{
    const auto it = m_clients.find(clientId);
    return it != m_clients.end() && it->second.admitted ? it->second.channel : nullptr;
}

void ClientTable::sendToAdmitted(const Frame &frame)
{
    for (auto &client : m_clients) {
        if (client.second.admitted)
            client.second.channel->send(frame);
    }
}

void ClientTable::refuseRequest(quint64 clientId, const Frame &request)
{
    const auto it = m_clients.find(clientId);
    if (it != m_clients.end())
        it->second.channel->send(
            Frame::message(Velmor::Command::Refused, request.requestUid, request.objectId));
}

bool ClientTable::setAccessToken(const QByteArray &token)
{
    if (token.size() > Frame::MaxTokenSize)
        return false;
    m_token = token;
    return true;
}

bool ClientTable::requiresToken() const
{
    return !m_token.isEmpty();
}

void ClientTable::setStallTimeout(int msecs)
{
    m_stallTimeout = msecs;
    for (auto &client : m_clients)
        client.second.channel->setStallTimeout(msecs);
}

void ClientTable::setMaxClients(int count)
{
    m_maxClients = count;
}

int ClientTable::maxClients() const
{
    return m_maxClients;
}

void ClientTable::setHelloTimeout(int msecs)
{
    m_helloTimeout = msecs;
}

void ClientTable::setMemoryBudget(qint64 bytes)
{
    m_memoryBudget = bytes;
    budgetMayBeExceeded();
}

void ClientTable::frameArrived(quint64 clientId, const Frame &frame)
{
    const auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return;
    if (frame.type == Frame::Hello)
        helloArrived(clientId, it->second, frame);
    else if (!it->second.admitted)
        refuseRequest(clientId, frame);
    else
        emit requestReceived(clientId, frame);
}

void ClientTable::helloArrived(quint64 clientId, Client &client, const Frame &frame)
{
    if (client.helloSeen) {
        client.channel->abort(QStringLiteral("a second hello"));
        return;
    }
    client.helloSeen = true;
    if (client.admitted)
        return;
    client.admitted = sameToken(frame.payload, m_token);
    if (client.admitted) {
        client.channel->setMaxFrameSize(Frame::MaxBodySize);
        emit admitted(clientId);
        return;
    }
    const QString text = QStringLiteral("the service refused the access token");
    client.channel->send(Frame::refusal(Frame::AccessRefused, text));
    QTimer::singleShot(
        RefusedLinger, client.channel, [this, clientId, text] { drop(clientId, text); });
}

void ClientTable::refuse(quint64 clientId, Frame::Reason reason, const QString &text)
{
    const auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return;
    it->second.channel->abortAfter(Frame::refusal(reason, text), text);
    drop(clientId, text);
}

void ClientTable::drop(quint64 clientId, const QString &reason)
{
    const auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return;
    FrameChannel *channel = it->second.channel;
    m_heldTotal -= it->second.held;
    m_clients.erase(it);
    qCDebug(lcService, "RemotoService: client %llu dropped: %s", clientId, qUtf8Printable(reason));
    channel->disconnect(this);
    channel->abort(QString());
    channel->deleteLater();
    emit dropped(clientId);
}

void ClientTable::budgetMayBeExceeded()
{
    // Checked once the event loop's current pass is over: the growth may come from inside a
    // loop over the clients, and one check covers every frame sent in the pass. The
    // dispatcher says when, at no cost; an event posted for it would cost a pass of its own.
    if (m_budgetCheckQueued)
        return;
    m_budgetCheckQueued = true;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread());
    if (!dispatcher) {
        QMetaObject::invokeMethod(
            this, [this] { enforceBudget(); }, Qt::QueuedConnection);
        return;
    }
    if (m_budgetWatch == dispatcher)
        return;
    m_budgetWatch = dispatcher;
    connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] {
        if (m_budgetCheckQueued)
            enforceBudget();
    });
}

void ClientTable::enforceBudget()
{
    m_budgetCheckQueued = false;
    for (quint64 clientId : m_grown) {
        const auto it = m_clients.find(clientId);
        if (it != m_clients.end())
            recount(it->second);
    }
    m_grown.clear();
    if (m_heldTotal <= m_memoryBudget)
        return;
    // The other channels' figures may be stale, but only ever too high: output they held has
    // gone out since without a word. Only a count over all of them tells who is dropped.
    for (;;) {
        qint64 most = -1;
        quint64 costliest = 0;
        for (auto &client : m_clients) {
            const qint64 held = recount(client.second);
            if (held > most) {
                most = held;
                costliest = client.first;
            }
        }
        if (m_heldTotal <= m_memoryBudget)
            return;
        refuse(costliest, Frame::OverBudget,
            QStringLiteral("the service holds too much data for this client"));
    }
}

qint64 ClientTable::recount(Client &client)
{
    const qint64 held = client.channel->bufferedBytes();
    m_heldTotal += held - client.held;
    client.held = held;
    return held;
}
