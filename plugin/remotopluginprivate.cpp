#include "remotopluginprivate.h"

#include "commandcatalogue.h"
#include "remotoobject.h"
#include "remotoplugin.h"
#include "remotoresponse.h"
#include "resultcodetable.h"
#include "signaldelivery.h"

#include <request.h>

#include <QtCore/QDebug>

using Velmor::Command::Message;

namespace {
// The event mask 2, little-endian, padded with zero bytes to the length the remote side
// has always been sent.
QByteArray eventMask()
{
    QByteArray mask(255, '\0');
    mask[0] = 2;
    return mask;
}

// The name an INFO answer gives its object; empty when it carries fewer than two values.
QString infoName(const RemotoResponse &response)
{
    return response.data().size() > 1 ? response.dataAt(1).toString() : QString();
}
} // namespace

RemotoPluginPrivate::RemotoPluginPrivate(RemotoPlugin *parent)
    : QObject(parent)
    , channel(connection, [this](const Request *sent) { Q_EMIT request(sent); })
{
}

RemotoPluginPrivate::~RemotoPluginPrivate() = default;

void RemotoPluginPrivate::setConnection(QObject *newconn)
{
    if (newconn == connection)
        return;
    if (connection) {
        disconnect(parent(), nullptr, connection, nullptr);
        disconnect(connection, nullptr, this, nullptr);
        disconnect(this, nullptr, connection, nullptr);
    }
    connection = newconn;
    if (!newconn)
        return;
    connect(newconn, SIGNAL(message(const Velmor::Command::Message &)), this,
            SLOT(message(const Velmor::Command::Message &)));
    connect(this, SIGNAL(request(const Request *)), newconn, SLOT(request(const Request *)));
    connect(newconn, SIGNAL(stateChanged(const Velmor::Connection::State)), this,
            SLOT(connectionStateChanged(Velmor::Connection::State)));
}

QObjectList RemotoPluginPrivate::rpcObjects() const
{
    return objects.proxies();
}

QObject *RemotoPluginPrivate::findRpcObject(const QString &obj_name) const
{
    return objects.find(obj_name);
}

RemotoResponse *RemotoPluginPrivate::sendCommand(const RpcObjectEntryPtr &entry,
                                                 const QVariant &command,
                                                 const QByteArray &payload, bool encodeBase64)
{
    return channel.send(entry, command, payload, encodeBase64);
}

RemotoResponse *RemotoPluginPrivate::sendCommandAndWait(const RpcObjectEntryPtr &entry,
                                                        const QVariant &command,
                                                        const QByteArray &payload,
                                                        bool encodeBase64)
{
    return channel.sendAndWait(entry, command, payload, encodeBase64, timeout).release();
}

bool RemotoPluginPrivate::callAndWait(QObject *object, int command, const QByteArray &payload,
                                      const char *notFound, const char *timedOut,
                                      QVariant *result)
{
    const RpcObjectEntryPtr entry = objects.entryOf(object);
    if (!entry)
        return false;
    // Freed as soon as the outcome is read: a call made from a slot runs in a nested loop,
    // where deferred deletions would pile up until the slot returns.
    const std::unique_ptr<RemotoResponse> response
        = channel.sendAndWait(entry, command, payload, true, timeout);
    if (!response) {
        qWarning() << tr(notFound);
        return false;
    }
    if (!response->isFinished())
        qWarning() << tr(timedOut);
    else if (response->error() != 0)
        qWarning() << response->errorString(true);
    else if (response->dataAt(0).toBool()) {
        if (result)
            *result = response->dataAt(1);
        return true;
    }
    return false;
}

bool RemotoPluginPrivate::sendInvoke(QObject *object, const QByteArray &payload, QVariant *result)
{
    return callAndWait(object, CommandCatalogue::Invoke, payload,
                       QT_TR_NOOP("sendInvoke: response not found"),
                       QT_TR_NOOP("INVOKE command timeout"), result);
}

bool RemotoPluginPrivate::sendConnect(QObject *object, const char *signal)
{
    return callAndWait(object, CommandCatalogue::SigConnect, QByteArray(signal),
                       QT_TR_NOOP("sendConnect: response not found"),
                       QT_TR_NOOP("SIGCONNECT command timeout"), nullptr);
}

RemotoResponse *RemotoPluginPrivate::sendConnectAsync(QObject *object, const char *signal)
{
    const RpcObjectEntryPtr entry = objects.entryOf(object);
    if (!entry)
        return nullptr;
    return sendCommand(entry, int(CommandCatalogue::SigConnect), QByteArray(signal), true);
}

bool RemotoPluginPrivate::message(const Message &message)
{
    if (message.magic != Velmor::Command::Marker)
        return false;

    switch (message.kind) {
    case Velmor::Command::Notify:
        if (const RpcObjectEntryPtr entry = objects.value(message.objectId))
            SignalDelivery::deliver(entry->object, message);
        return true;
    case Velmor::Command::ObjectUp:
        handleObjectUp(message.objectId);
        return true;
    case Velmor::Command::ObjectDown:
        if (const RpcObjectEntryPtr entry = objects.value(message.objectId))
            handleObjectDown(entry);
        return true;
    default:
        break;
    }

    const RpcObjectEntryPtr entry = objects.value(message.objectId);
    if (!entry)
        return false;
    RemotoResponse *response = CommandChannel::take(*entry, message.requestUid);

    if (message.kind == Velmor::Command::Refused) {
        if (response)
            CommandChannel::close(response, ResultCode::NoRights);
        return true;
    }
    if (message.kind != Velmor::Command::Answer) {
        // Out of the table now, so nothing can finish it any more.
        if (response)
            CommandChannel::release(response);
        return false;
    }
    if (!response)
        return true;

    // Released only once the steps below have read it; a waiter's response waits for its
    // waiter.
    response->decodeAnswer(message.payload.toByteArray());
    switch (response->commandCode()) {
    case CommandCatalogue::GetMetaInfo:
        if (entry->object)
            handleMetaInfoAnswer(entry, response);
        break;
    case CommandCatalogue::GetInfo:
        if (!entry->object)
            handleInfoAnswer(entry, response);
        else if (!entry->object->isConnected()
                 && infoName(*response) == entry->object->objectName()
                 && !CommandChannel::isPending(*entry, CommandCatalogue::GetMetaInfo))
            // The object came back under the id it had: fetch its meta information again so
            // the proxy reconnects. Another object reusing the id is not loaded into it.
            sendCommand(entry, int(CommandCatalogue::GetMetaInfo), QByteArray(), true);
        break;
    default:
        break;
    }
    CommandChannel::release(response, CommandChannel::Release::Now);
    return true;
}

void RemotoPluginPrivate::handleObjectUp(quint32 objectId)
{
    const RpcObjectEntryPtr entry = objects.insert(objectId);
    const QPointer<RemotoPluginPrivate> self(this);
    sendCommand(entry, int(CommandCatalogue::GetInfo), QByteArray(), true);
    if (self)
        sendCommand(entry, int(CommandCatalogue::SetEvent), eventMask(), false);
}

void RemotoPluginPrivate::handleInfoAnswer(const RpcObjectEntryPtr &entry, RemotoResponse *response)
{
    auto *proxy = new RemotoObject(parent());
    proxy->setObjectName(infoName(*response));
    objects.attach(entry, proxy);
    // The first registered proxy of this name, in ascending id order; the new one counts too.
    if (objects.takeOver(entry))
        delete proxy;
    sendCommand(entry, int(CommandCatalogue::GetMetaInfo), QByteArray(), true);
}

void RemotoPluginPrivate::handleMetaInfoAnswer(const RpcObjectEntryPtr &entry,
                                               RemotoResponse *response)
{
    const QPointer<RemotoPluginPrivate> self(this);
    const QPointer<RemotoObject> proxy = entry->object;
    proxy->processMetaInfo(response->data());
    proxy->setConnected(true);
    if (self && proxy)
        Q_EMIT rpcObjectConnected(proxy);
}

void RemotoPluginPrivate::handleObjectDown(const RpcObjectEntryPtr &entry)
{
    CommandChannel::abandonAll(*entry);
    const QPointer<RemotoPluginPrivate> self(this);
    const QPointer<RemotoObject> proxy = entry->object;
    if (!proxy)
        return;
    proxy->setConnected(false);
    if (self && proxy)
        Q_EMIT rpcObjectDisonnected(proxy);
}

void RemotoPluginPrivate::connectionStateChanged(Velmor::Connection::State state)
{
    if (state != Velmor::Connection::ConnectionLost)
        return;
    const QPointer<RemotoPluginPrivate> self(this);
    while (self && !objects.isEmpty()) {
        const QPointer<RemotoObject> proxy = objects.takeFirst()->object;
        if (!proxy)
            continue;
        Q_EMIT rpcObjectDisonnected(proxy);
        delete proxy.data();
    }
}
