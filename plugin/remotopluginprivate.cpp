#include "remotopluginprivate.h"

#include "commandcatalogue.h"
#include "remotoobject.h"
#include "remotoplugin.h"
#include "remotoresponse.h"
#include "signaturelimits.h"
#include "valuelistdecoder.h"

#include <notification.h>
#include <request.h>

#include <QtCore/QMetaMethod>

using Velmor::Command::Message;

namespace {
constexpr int RefusedResult = 17;
constexpr int MaxSignalArguments = 10;

// The event mask 2, little-endian, padded with zero bytes to the length the remote side
// has always been sent.
QByteArray eventMask()
{
    QByteArray mask(255, '\0');
    mask[0] = 2;
    return mask;
}

void releaseIfSelfDeleting(RemotoResponse *response)
{
    // Responses without autoDelete belong to a waiting sender, which releases them itself.
    if (response->autoDelete())
        response->deleteLater();
}

// Raises the proxy's own signal only when the values fit its parameters: the activation
// hands raw pointers to slots, which would otherwise read one type's storage as another's.
void activateSignal(QObject *proxy, const QMetaObject *metaObject, int index,
                    const QVariantList &values)
{
    const QMetaMethod method = metaObject->method(index);
    const int count = values.size() - 2;
    if (count > MaxSignalArguments || count != method.parameterCount())
        return;
    QVariantList arguments = values.mid(2);
    void *argv[MaxSignalArguments + 1] = {};
    for (int i = 0; i < count; ++i) {
        const int type = method.parameterType(i);
        QVariant &argument = arguments[i];
        if (type == QMetaType::QVariant) {
            argv[i + 1] = &argument;
            continue;
        }
        if (type == QMetaType::UnknownType || !argument.convert(type))
            return;
        argv[i + 1] = argument.data();
    }
    QVariant returnValue = values.at(0);
    const int returnType = method.returnType();
    if (returnType != QMetaType::Void && returnType != QMetaType::UnknownType
        && returnValue.userType() == returnType)
        argv[0] = returnValue.data();
    QMetaObject::activate(proxy, metaObject, index - metaObject->methodOffset(), argv);
}
} // namespace

RemotoPluginPrivate::RemotoPluginPrivate(RemotoPlugin *parent)
    : QObject(parent)
{
}

RemotoPluginPrivate::~RemotoPluginPrivate()
{
    // Nothing can answer these any more. Deleted at once: the module may be going away with
    // no event loop left to run deferred deletions.
    for (const RpcObjectEntryPtr &entry : qAsConst(objects)) {
        for (RemotoResponse *response : qAsConst(entry->pending)) {
            if (response->autoDelete())
                delete response;
        }
        entry->pending.clear();
    }
}

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
    QObjectList list;
    for (const RpcObjectEntryPtr &entry : objects) {
        if (entry->object)
            list.append(entry->object);
    }
    return list;
}

QObject *RemotoPluginPrivate::findRpcObject(const QString &obj_name) const
{
    const auto ids = nameIndex.constFind(obj_name);
    if (ids == nameIndex.constEnd())
        return nullptr;
    return objects.value(*ids->begin())->object;
}

RpcObjectEntryPtr RemotoPluginPrivate::entryOf(const QObject *object) const
{
    return proxyIndex.value(object).entry;
}

void RemotoPluginPrivate::indexProxy(const RpcObjectEntryPtr &entry)
{
    const QString name = entry->object->objectName();
    proxyIndex.insert(entry->object, IndexedProxy{entry, name});
    nameIndex[name].insert(entry->objectId);
}

void RemotoPluginPrivate::unindexProxy(const QObject *proxy)
{
    const auto indexed = proxyIndex.find(proxy);
    if (indexed == proxyIndex.end())
        return;
    const auto ids = nameIndex.find(indexed->name);
    ids->erase(indexed->entry->objectId);
    if (ids->empty())
        nameIndex.erase(ids);
    proxyIndex.erase(indexed);
}

void RemotoPluginPrivate::proxyRenamed(const QObject *proxy, const QString &name)
{
    const auto indexed = proxyIndex.find(proxy);
    if (indexed == proxyIndex.end())
        return;
    const RpcObjectEntryPtr entry = indexed->entry;
    unindexProxy(proxy);
    proxyIndex.insert(proxy, IndexedProxy{entry, name});
    nameIndex[name].insert(entry->objectId);
}

void RemotoPluginPrivate::dropEntry(const RpcObjectEntryPtr &entry)
{
    for (auto it = entry->pending.begin(); it != entry->pending.end();) {
        if (it.value()->autoDelete()) {
            it.value()->deleteLater();
            it = entry->pending.erase(it);
        } else {
            ++it;
        }
    }
}

bool RemotoPluginPrivate::isMetaInfoPending(const RpcObjectEntry &entry)
{
    for (const RemotoResponse *response : entry.pending) {
        if (response->request()->command().toInt() == CommandCatalogue::GetMetaInfo)
            return true;
    }
    return false;
}

bool RemotoPluginPrivate::message(const Message &message)
{
    if (message.magic != Velmor::Command::Marker)
        return false;

    switch (message.kind) {
    case Velmor::Command::Notify:
        if (const RpcObjectEntryPtr entry = objects.value(message.objectId))
            dispatchNotification(entry, message);
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
    RemotoResponse *response = entry->pending.take(message.requestUid);

    if (message.kind == Velmor::Command::Refused) {
        if (response) {
            response->finishWithResult(RefusedResult);
            releaseIfSelfDeleting(response);
        }
        return true;
    }
    if (message.kind != Velmor::Command::Answer) {
        // Out of the table now, so nothing can finish it any more.
        if (response)
            releaseIfSelfDeleting(response);
        return false;
    }
    if (!response)
        return true;

    // Readable until this slot returns: a self-deleting response is only scheduled for
    // deletion, and a waiter's response waits for its waiter.
    response->decodeAnswer(message.payload.toByteArray());
    switch (response->commandCode()) {
    case CommandCatalogue::GetMetaInfo:
        if (entry->object)
            handleMetaInfoAnswer(entry, response);
        break;
    case CommandCatalogue::GetInfo:
        if (!entry->object)
            handleInfoAnswer(entry, response);
        else if (!entry->object->isConnected() && !isMetaInfoPending(*entry))
            // The object came back under the id it had: fetch its meta information again so
            // the proxy reconnects.
            sendCommand(entry, int(CommandCatalogue::GetMetaInfo), QByteArray(), true);
        break;
    default:
        break;
    }
    return true;
}

void RemotoPluginPrivate::dispatchNotification(const RpcObjectEntryPtr &entry,
                                               const Message &message)
{
    const Notification notification(message.payload.toByteArray(), message.magic);
    const QPointer<RemotoObject> proxy = entry->object;
    if (!proxy)
        return;
    const QVariantList items = notification.data().toList();
    if (items.isEmpty())
        return;
    QVariantList values;
    ValueListDecoder::decode(QByteArray::fromBase64(items.first().toByteArray()), &values);
    if (values.size() < 2)
        return;

    const QByteArray signature = values.at(1).toByteArray();
    Q_EMIT proxy->event(values.at(1).toString(), values.mid(2));
    // A slot on event may have deleted the proxy. The lookup parses the peer's text.
    if (!proxy || !SignatureLimits::accepts(signature))
        return;
    const QMetaObject *metaObject = proxy->metaObject();
    const int index = metaObject->indexOfSignal(signature.constData());
    if (index >= 0 && index >= metaObject->methodOffset())
        activateSignal(proxy, metaObject, index, values);
}

void RemotoPluginPrivate::handleObjectUp(quint32 objectId)
{
    RpcObjectEntryPtr entry = objects.value(objectId);
    if (!entry) {
        entry.reset(new RpcObjectEntry(objectId));
        objects.insert(objectId, entry);
    }
    const QPointer<RemotoPluginPrivate> self(this);
    sendCommand(entry, int(CommandCatalogue::GetInfo), QByteArray(), true);
    if (self)
        sendCommand(entry, int(CommandCatalogue::SetEvent), eventMask(), false);
}

void RemotoPluginPrivate::handleInfoAnswer(const RpcObjectEntryPtr &entry, RemotoResponse *response)
{
    const QVariantList data = response->data();
    const QString name = data.value(1).toString();

    auto *proxy = new RemotoObject(parent());
    if (data.size() > 1)
        proxy->setObjectName(name);
    connect(proxy, &QObject::objectNameChanged, this,
            [this, proxy](const QString &newName) { proxyRenamed(proxy, newName); });
    connect(proxy, &QObject::destroyed, this, [this](QObject *gone) { unindexProxy(gone); });
    entry->object = proxy;
    indexProxy(entry);

    // The first registered proxy of this name, in ascending id order; the new one counts too.
    const quint32 firstId = *nameIndex.constFind(name)->begin();
    if (firstId != entry->objectId) {
        const RpcObjectEntryPtr older = objects.take(firstId);
        RemotoObject *takenOver = older->object;
        unindexProxy(takenOver);
        dropEntry(older);
        delete proxy;
        entry->object = takenOver;
        objects.insert(entry->objectId, entry);
        indexProxy(entry);
    }
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
    while (!entry->pending.isEmpty()) {
        RemotoResponse *response = entry->pending.take(entry->pending.firstKey());
        response->finishWithResult(0);
        releaseIfSelfDeleting(response);
    }
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
        const RpcObjectEntryPtr entry = objects.take(objects.firstKey());
        dropEntry(entry);
        const QPointer<RemotoObject> proxy = entry->object;
        if (!proxy)
            continue;
        unindexProxy(proxy);
        Q_EMIT rpcObjectDisonnected(proxy);
        delete proxy.data();
    }
}
