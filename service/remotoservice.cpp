#include "remotoservice.h"

#include "commandcatalogue.h"
#include "framechannel.h"
#include "message.h"
#include "objectinterface.h"
#include "payloadcodec.h"
#include "serviceaddress.h"
#include "servicelog.h"
#include "signalrelay.h"
#include "transport.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QDateTime>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QElapsedTimer>
#include <QtCore/QHash>
#include <QtCore/QPointer>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtNetwork/QHostAddress>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QTcpServer>

#include <filesystem>
#include <map>

using Velmor::Command::MessageKind;
using Wire::Frame;
using Wire::FrameChannel;
using Wire::PayloadCodec;
using Wire::ServiceAddress;

namespace {

// A hello, or a request that will be refused: nothing an unadmitted client needs more for.
constexpr quint32 UnadmittedMaxFrameSize = 4096;
// Requests a refused client already sent still get their Refused answer meanwhile.
constexpr int RefusedLinger = 1000;
constexpr int ListenerCheckInterval = 1000;
constexpr int RelistenFirstDelay = 100;
constexpr int RelistenMaxDelay = 5000;
constexpr int RelistenPatience = 60000;

struct Published
{
    QString name;
    QPointer<QObject> object;
    // The object's address as published: the guard above is already null when the object's
    // destruction withdraws it.
    const QObject *identity = nullptr;
    std::unique_ptr<SignalRelay> relay;
    QMetaObject::Connection destroyedConnection;
    ObjectInterface::CallableMethods callable;
};

struct Client
{
    FrameChannel *channel = nullptr;
    bool helloSeen = false;
    bool authorised = false;
};

// Takes as long for every token of the right length, so timing tells nothing of the token.
bool sameToken(const QByteArray &given, const QByteArray &expected)
{
    if (given.size() != expected.size())
        return false;
    uchar difference = 0;
    for (int i = 0; i < given.size(); ++i)
        difference |= uchar(given.at(i) ^ expected.at(i));
    return difference == 0;
}

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

} // namespace

struct RemotoService::Private
{
    explicit Private(RemotoService *service)
        : q(service)
    {
    }

    bool openListener(const QString &address);
    void stopListener();
    void checkListener();
    void listenerBroke(const QString &reason);
    void relisten();
    void retryListening();
    void accept(QIODevice *socket);
    void refuse(quint64 clientId, Frame::Reason reason, const QString &text);
    void dropClient(quint64 clientId, const QString &reason);
    void dropAllClients();
    void budgetMayBeExceeded();
    void enforceBudget();
    void frameArrived(quint64 clientId, const Frame &frame);
    void helloArrived(quint64 clientId, Client &client, const Frame &frame);
    void requestArrived(quint64 clientId, const Frame &frame);
    void invoke(quint64 clientId, const Frame &frame, Published &entry);
    void signalRequest(quint64 clientId, const Frame &frame, Published &entry);
    void answer(quint64 clientId, const Frame &request, qint32 result,
        const QVariantList &values = QVariantList());
    void announceAll(Client &client);
    void broadcast(qint32 kind, quint32 objectId);
    void relay(quint32 objectId, const QString &signature, const QVariant *arguments, int count,
        const QSet<quint64> &clientIds);
    void forget(quint32 objectId);
    Published *find(quint32 objectId);

    RemotoService *q;
    // The QLocalServer or QTcpServer listening, if any.
    QObject *listener = nullptr;
    QString address;
    QString error;
    // The socket file to watch; empty when the local server has none or listens on TCP.
    QString socketFile;
    // The text of the last notification relayed, written over by the next.
    QByteArray notificationText;
    QTimer listenerCheck;
    QTimer relistenTimer;
    int relistenDelay = RelistenFirstDelay;
    QElapsedTimer lastListenerFailure;
    QDeadlineTimer relistenDeadline;
    QByteArray token;
    bool allowUnauthenticated = false;
    int stallTimeout = FrameChannel::DefaultStallTimeout;
    int maxClients = DefaultMaxClients;
    int helloTimeout = DefaultHelloTimeout;
    qint64 memoryBudget = DefaultMemoryBudget;
    bool budgetCheckQueued = false;
    QPointer<QAbstractEventDispatcher> budgetWatch;
    quint32 lastObjectId = 0;
    quint64 lastClientId = 0;
    // Ordered by id, so announcements come in publishing order.
    std::map<quint32, std::unique_ptr<Published>> objects;
    // Lookups by name and by object, so publishing costs the same however many are published.
    QHash<QString, quint32> idsByName;
    QHash<const QObject *, quint32> idsByObject;
    std::map<quint64, Client> clients;
};

bool RemotoService::Private::openListener(const QString &where)
{
    const ServiceAddress parsed = ServiceAddress::parse(where);
    if (parsed.kind == ServiceAddress::Local) {
        if (!clearLeftoverSocket(parsed.name, &error))
            return false;
        auto server = new QLocalServer(q);
        server->setSocketOptions(QLocalServer::UserAccessOption);
        if (!server->listen(parsed.name)) {
            error = server->errorString();
            delete server;
            return false;
        }
        Wire::Transport::watchServer(server, q, [this](QIODevice *socket) { accept(socket); });
        listener = server;
        const QString path = Wire::Transport::socketFilePath(parsed.name);
        socketFile = fileType(path) == std::filesystem::file_type::socket ? path : QString();
        address = parsed.toString();
        listenerCheck.start();
        return true;
    }
    if (parsed.kind != ServiceAddress::Tcp || parsed.port < 0) {
        error = QStringLiteral("not a service address: %1").arg(where);
        return false;
    }
    QHostAddress host(parsed.host);
    if (parsed.host.isEmpty() || parsed.host == QLatin1String("localhost"))
        host = QHostAddress(QHostAddress::LocalHost);
    if (host.isNull()) {
        error = QStringLiteral("not an IP address: %1").arg(parsed.host);
        return false;
    }
    if (token.isEmpty() && !allowUnauthenticated && !host.isLoopback()) {
        error = QStringLiteral("%1 is reachable from other machines and no access token is set")
                    .arg(where);
        return false;
    }
    auto server = new QTcpServer(q);
    if (!server->listen(host, quint16(parsed.port))) {
        error = server->errorString();
        delete server;
        return false;
    }
    Wire::Transport::watchServer(server, q, [this](QIODevice *socket) { accept(socket); });
    // Out of descriptors, the server stops accepting for good while still "listening". Queued,
    // since the server is then deleted, which must not happen inside its own signal.
    QObject::connect(
        server, &QTcpServer::acceptError, q,
        [this, server = QPointer<QTcpServer>(server)] {
            if (server && server == listener)
                listenerBroke(server->errorString());
        },
        Qt::QueuedConnection);
    listener = server;
    ServiceAddress actual;
    actual.kind = ServiceAddress::Tcp;
    actual.host = server->serverAddress().toString();
    actual.port = server->serverPort();
    address = actual.toString();
    listenerCheck.start();
    return true;
}

void RemotoService::Private::stopListener()
{
    listenerCheck.stop();
    relistenTimer.stop();
    delete listener;
    listener = nullptr;
    socketFile.clear();
}

void RemotoService::Private::checkListener()
{
    // When accepting fails QLocalServer closes its socket and removes the file, says nothing
    // and still claims to listen; the file is what tells.
    const bool fileGone
        = !socketFile.isEmpty() && fileType(socketFile) != std::filesystem::file_type::socket;
    if (!listener || (!fileGone && Wire::Transport::isListening(listener)))
        return;
    const QString why = Wire::Transport::serverError(listener);
    listenerBroke(why.isEmpty() && fileGone
            ? QStringLiteral("its socket file %1 is gone").arg(socketFile)
            : why);
}

void RemotoService::Private::listenerBroke(const QString &reason)
{
    qCWarning(lcService, "RemotoService: the listener on %s failed (%s); listening again",
        qUtf8Printable(address), qUtf8Printable(reason));
    stopListener();
    error = reason;
    // A listener that fails again soon after coming back, as one short of descriptors does
    // with clients still knocking, waits longer each time rather than spinning.
    if (!lastListenerFailure.isValid() || lastListenerFailure.hasExpired(RelistenMaxDelay))
        relistenDelay = RelistenFirstDelay;
    lastListenerFailure.start();
    relistenDeadline.setRemainingTime(RelistenPatience);
    retryListening();
    emit q->listenerFailed(reason);
}

void RemotoService::Private::retryListening()
{
    relistenTimer.start(relistenDelay);
    relistenDelay = qMin(2 * relistenDelay, RelistenMaxDelay);
}

void RemotoService::Private::relisten()
{
    if (openListener(address)) {
        qCInfo(lcService, "RemotoService: listening again on %s", qUtf8Printable(address));
        return;
    }
    if (!relistenDeadline.hasExpired()) {
        retryListening();
        return;
    }
    qCWarning(lcService, "RemotoService: gave up listening on %s: %s", qUtf8Printable(address),
        qUtf8Printable(error));
    address.clear();
    emit q->listenerLost(error);
}

void RemotoService::Private::accept(QIODevice *socket)
{
    auto channel = new FrameChannel(socket, { Frame::Hello, Frame::Request }, q);
    if (clients.size() >= size_t(qMax(0, maxClients))) {
        QObject::connect(channel, &FrameChannel::closed, channel, &QObject::deleteLater);
        const QString text = QStringLiteral("the service has too many clients");
        channel->abortAfter(Frame::refusal(Frame::TooManyClients, text), text);
        return;
    }
    channel->setStallTimeout(stallTimeout);
    const quint64 clientId = ++lastClientId;
    Client &client = clients[clientId];
    client.channel = channel;
    client.authorised = token.isEmpty();
    if (!client.authorised)
        channel->setMaxFrameSize(UnadmittedMaxFrameSize);
    QObject::connect(channel, &FrameChannel::frameReceived, q,
        [this, clientId](const Frame &frame) { frameArrived(clientId, frame); });
    QObject::connect(channel, &FrameChannel::closed, q,
        [this, clientId](const QString &reason) { dropClient(clientId, reason); });
    QObject::connect(
        channel, &FrameChannel::bufferedBytesGrew, q, [this] { budgetMayBeExceeded(); });
    QTimer::singleShot(helloTimeout, channel, [this, clientId] {
        const auto it = clients.find(clientId);
        if (it != clients.end() && !it->second.helloSeen)
            refuse(clientId, Frame::HelloTimeout, QStringLiteral("no hello in time"));
    });
    if (client.authorised)
        announceAll(client);
}

void RemotoService::Private::refuse(quint64 clientId, Frame::Reason reason, const QString &text)
{
    const auto it = clients.find(clientId);
    if (it == clients.end())
        return;
    it->second.channel->abortAfter(Frame::refusal(reason, text), text);
    dropClient(clientId, text);
}

void RemotoService::Private::dropClient(quint64 clientId, const QString &reason)
{
    const auto it = clients.find(clientId);
    if (it == clients.end())
        return;
    FrameChannel *channel = it->second.channel;
    clients.erase(it);
    qCDebug(lcService, "RemotoService: client %llu dropped: %s", clientId, qUtf8Printable(reason));
    channel->disconnect(q);
    channel->abort(QString());
    channel->deleteLater();
    for (auto &entry : objects)
        entry.second->relay->removeClient(clientId);
}

void RemotoService::Private::dropAllClients()
{
    while (!clients.empty())
        dropClient(clients.begin()->first, QStringLiteral("the service closed"));
}

void RemotoService::Private::budgetMayBeExceeded()
{
    // Checked once the event loop's current pass is over: the growth may come from inside a
    // loop over the clients, and one check covers every frame sent in the pass. The
    // dispatcher says when, at no cost; an event posted for it would cost a pass of its own.
    if (budgetCheckQueued)
        return;
    budgetCheckQueued = true;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(q->thread());
    if (!dispatcher) {
        QMetaObject::invokeMethod(
            q, [this] { enforceBudget(); }, Qt::QueuedConnection);
        return;
    }
    if (budgetWatch == dispatcher)
        return;
    budgetWatch = dispatcher;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, q, [this] {
        if (budgetCheckQueued)
            enforceBudget();
    });
}

void RemotoService::Private::enforceBudget()
{
    budgetCheckQueued = false;
    for (;;) {
        qint64 total = 0;
        qint64 most = -1;
        quint64 costliest = 0;
        for (const auto &client : clients) {
            const qint64 held = client.second.channel->bufferedBytes();
            total += held;
            if (held > most) {
                most = held;
                costliest = client.first;
            }
        }
        if (total <= memoryBudget)
            return;
        refuse(costliest, Frame::OverBudget,
            QStringLiteral("the service holds too much data for this client"));
    }
}

void RemotoService::Private::frameArrived(quint64 clientId, const Frame &frame)
{
    const auto it = clients.find(clientId);
    if (it == clients.end())
        return;
    if (frame.type == Frame::Hello)
        helloArrived(clientId, it->second, frame);
    else
        requestArrived(clientId, frame);
}

void RemotoService::Private::helloArrived(quint64 clientId, Client &client, const Frame &frame)
{
    if (client.helloSeen) {
        client.channel->abort(QStringLiteral("a second hello"));
        return;
    }
    client.helloSeen = true;
    if (client.authorised)
        return;
    client.authorised = sameToken(frame.payload, token);
    if (client.authorised) {
        client.channel->setMaxFrameSize(Frame::MaxBodySize);
        announceAll(client);
        return;
    }
    const QString text = QStringLiteral("the service refused the access token");
    client.channel->send(Frame::refusal(Frame::AccessRefused, text));
    QTimer::singleShot(
        RefusedLinger, client.channel, [this, clientId, text] { dropClient(clientId, text); });
}

void RemotoService::Private::requestArrived(quint64 clientId, const Frame &frame)
{
    Client &client = clients.at(clientId);
    if (!client.authorised || frame.magic != Velmor::Command::Marker) {
        client.channel->send(
            Frame::message(Velmor::Command::Refused, frame.requestUid, frame.objectId));
        return;
    }
    Published *entry = find(frame.objectId);
    if (frame.command == CommandCatalogue::SetEvent) {
        // Never answered, not even when the object is unknown.
        if (entry)
            emit q->eventMaskReceived(frame.objectId, frame.payload);
        return;
    }
    if (!entry) {
        answer(clientId, frame, PayloadCodec::InvalidDeviceId);
        return;
    }
    QObject *object = entry->object;
    switch (frame.command) {
    case CommandCatalogue::GetInfo:
        answer(clientId, frame, PayloadCodec::Ok,
            { QString::fromUtf8(object->metaObject()->className()), entry->name });
        break;
    case CommandCatalogue::GetMetaInfo:
        answer(clientId, frame, PayloadCodec::Ok, { ObjectInterface::describe(object) });
        break;
    case CommandCatalogue::Invoke:
        invoke(clientId, frame, *entry);
        break;
    case CommandCatalogue::SigConnect:
    case CommandCatalogue::SigDisconnect:
        signalRequest(clientId, frame, *entry);
        break;
    default:
        answer(clientId, frame, PayloadCodec::InvalidCommand);
    }
}

void RemotoService::Private::invoke(quint64 clientId, const Frame &frame, Published &entry)
{
    QVariantList request;
    const bool read = frame.flags & Frame::Unwrapped
        ? PayloadCodec::readValueList(frame.payload, &request)
        : PayloadCodec::decodeValueList(frame.payload, &request);
    if (!read) {
        answer(clientId, frame, PayloadCodec::InvalidParams);
        return;
    }
    // The method may do anything, the service's destruction included.
    const QPointer<RemotoService> alive(q);
    QVariant result;
    const qint32 code = ObjectInterface::invoke(entry.object, request, &result, &entry.callable);
    if (!alive)
        return;
    if (code == PayloadCodec::Ok)
        answer(clientId, frame, code, { true, result });
    else
        answer(clientId, frame, code);
}

void RemotoService::Private::signalRequest(quint64 clientId, const Frame &frame, Published &entry)
{
    QByteArray signature = frame.payload;
    if (!(frame.flags & Frame::Unwrapped)) {
        QByteArray::FromBase64Result text = QByteArray::fromBase64Encoding(
            frame.payload, QByteArray::AbortOnBase64DecodingErrors);
        if (text.decodingStatus != QByteArray::Base64DecodingStatus::Ok) {
            answer(clientId, frame, PayloadCodec::InvalidParams);
            return;
        }
        signature = std::move(text.decoded);
    }
    const int index = ObjectInterface::signalIndex(entry.object, signature);
    bool done = false;
    if (index >= 0 && frame.command == CommandCatalogue::SigConnect)
        done = entry.relay->subscribe(index, clientId);
    else if (index >= 0)
        done = entry.relay->unsubscribe(index, clientId);
    answer(clientId, frame, PayloadCodec::Ok, { done });
}

void RemotoService::Private::answer(
    quint64 clientId, const Frame &request, qint32 result, const QVariantList &values)
{
    const auto it = clients.find(clientId);
    if (it == clients.end())
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QByteArray payload = PayloadCodec::encodeAnswer(result, request.command, values, now);
    // A result that cannot be written, or cannot fit a frame, is the object's fault.
    if (payload.isEmpty() || payload.size() > Frame::maxPayloadSize(Frame::Message))
        payload = PayloadCodec::encodeAnswer(
            PayloadCodec::DeviceInvalidParams, request.command, QVariantList(), now);
    FrameChannel *channel = it->second.channel;
    channel->send(
        Frame::message(Velmor::Command::Answer, request.requestUid, request.objectId, payload));
    // A host waits for these answers; the others go out with whatever else the pass sends.
    if (request.command == CommandCatalogue::Invoke
        || request.command == CommandCatalogue::SigConnect
        || request.command == CommandCatalogue::SigDisconnect)
        channel->flush();
}

void RemotoService::Private::announceAll(Client &client)
{
    for (const auto &entry : objects)
        client.channel->send(Frame::message(Velmor::Command::ObjectUp, 0, entry.first));
    client.channel->send(Frame::message(
        Frame::InitialObjectsAnnounced, 0, 0, Frame::featureWord(Frame::TakesUnwrapped)));
}

void RemotoService::Private::broadcast(qint32 kind, quint32 objectId)
{
    const Frame frame = Frame::message(kind, 0, objectId);
    for (auto &client : clients) {
        if (client.second.authorised)
            client.second.channel->send(frame);
    }
}

void RemotoService::Private::relay(quint32 objectId, const QString &signature,
    const QVariant *arguments, int count, const QSet<quint64> &clientIds)
{
    if (!PayloadCodec::encodeNotification(signature, arguments, count, &notificationText)
        || notificationText.size() > Frame::maxPayloadSize(Frame::Message)) {
        qCWarning(lcService,
            "RemotoService: the arguments of %s cannot be sent; emission not relayed",
            qUtf8Printable(signature));
        return;
    }
    const Frame frame = Frame::message(Velmor::Command::Notify, 0, objectId, notificationText);
    for (quint64 clientId : clientIds) {
        const auto it = clients.find(clientId);
        if (it != clients.end() && it->second.authorised)
            it->second.channel->send(frame);
    }
}

void RemotoService::Private::forget(quint32 objectId)
{
    const auto it = objects.find(objectId);
    if (it == objects.end())
        return;
    std::unique_ptr<Published> entry = std::move(it->second);
    objects.erase(it);
    idsByName.remove(entry->name);
    idsByObject.remove(entry->identity);
    QObject::disconnect(entry->destroyedConnection);
    // The relay may be the caller, deep in one of the object's emissions. Should the service
    // go first, it takes the relay along as its child.
    entry->relay->detach();
    entry->relay.release()->deleteLater();
    broadcast(Velmor::Command::ObjectDown, objectId);
}

Published *RemotoService::Private::find(quint32 objectId)
{
    const auto it = objects.find(objectId);
    if (it == objects.end() || !it->second->object)
        return nullptr;
    return it->second.get();
}

RemotoService::RemotoService(QObject *parent)
    : QObject(parent)
    , d(new Private(this))
{
    d->listenerCheck.setInterval(ListenerCheckInterval);
    connect(&d->listenerCheck, &QTimer::timeout, this, [this] { d->checkListener(); });
    d->relistenTimer.setSingleShot(true);
    connect(&d->relistenTimer, &QTimer::timeout, this, [this] { d->relisten(); });
}

RemotoService::~RemotoService()
{
    close();
    for (auto &entry : d->objects)
        QObject::disconnect(entry.second->destroyedConnection);
}

bool RemotoService::listen(const QString &address)
{
    close();
    return d->openListener(address);
}

void RemotoService::close()
{
    d->stopListener();
    d->address.clear();
    d->dropAllClients();
}

bool RemotoService::isListening() const
{
    return d->listener != nullptr;
}

QString RemotoService::address() const
{
    return d->address;
}

QString RemotoService::errorString() const
{
    return d->error;
}

bool RemotoService::setAccessToken(const QByteArray &token)
{
    if (token.size() > Frame::MaxTokenSize)
        return false;
    d->token = token;
    return true;
}

void RemotoService::setAllowUnauthenticated(bool allow)
{
    d->allowUnauthenticated = allow;
}

void RemotoService::setStallTimeout(int msecs)
{
    d->stallTimeout = msecs;
    for (auto &client : d->clients)
        client.second.channel->setStallTimeout(msecs);
}

void RemotoService::setMaxClients(int count)
{
    d->maxClients = count;
}

void RemotoService::setHelloTimeout(int msecs)
{
    d->helloTimeout = msecs;
}

void RemotoService::setMemoryBudget(qint64 bytes)
{
    d->memoryBudget = bytes;
    d->budgetMayBeExceeded();
}

bool RemotoService::publish(const QString &name, QObject *object)
{
    if (name.isEmpty() || !object || d->idsByName.contains(name) || d->idsByObject.contains(object)
        || object->thread() != thread())
        return false;
    const quint32 id = ++d->lastObjectId;
    auto entry = std::make_unique<Published>();
    entry->name = name;
    entry->object = object;
    entry->identity = object;
    d->idsByName.insert(name, id);
    d->idsByObject.insert(object, id);
    Private *p = d.get();
    entry->relay = std::make_unique<SignalRelay>(
        object,
        [p, id](const QString &signature, const QVariant *arguments, int count,
            const QSet<quint64> &clientIds) {
            p->relay(id, signature, arguments, count, clientIds);
        },
        this);
    entry->destroyedConnection
        = connect(object, &QObject::destroyed, this, [p, id] { p->forget(id); });
    d->objects.emplace(id, std::move(entry));
    d->broadcast(Velmor::Command::ObjectUp, id);
    return true;
}

bool RemotoService::withdraw(const QString &name)
{
    const quint32 id = objectId(name);
    if (id == 0)
        return false;
    d->forget(id);
    return true;
}

quint32 RemotoService::objectId(const QString &name) const
{
    return d->idsByName.value(name);
}

QStringList RemotoService::publishedNames() const
{
    QStringList names;
    for (const auto &entry : d->objects)
        names.append(entry.second->name);
    return names;
}

int RemotoService::clientCount() const
{
    return int(d->clients.size());
}
