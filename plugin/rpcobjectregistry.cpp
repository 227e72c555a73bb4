#include "rpcobjectregistry.h"

#include "commandchannel.h"
#include "remotoobject.h"

RpcObjectRegistry::~RpcObjectRegistry()
{
    // Deleted at once: the module may be going away with no event loop left to run deferred
    // deletions.
    for (const RpcObjectEntryPtr &entry : qAsConst(entries))
        CommandChannel::retire(*entry, CommandChannel::Release::Now);
}

RpcObjectEntryPtr RpcObjectRegistry::value(quint32 objectId) const
{
    return entries.value(objectId);
}

RpcObjectEntryPtr RpcObjectRegistry::entryOf(const QObject *proxy) const
{
    const auto indexed = proxyIndex.constFind(proxy);
    // The record may be one a deleted proxy left at the same address; a live proxy's record
    // leaves with its entry.
    if (!proxy || indexed == proxyIndex.cend() || !indexed->entry
        || indexed->entry->object.data() != proxy)
        return {};
    return indexed->entry;
}

RemotoObject *RpcObjectRegistry::find(const QString &name) const
{
    if (RemotoObject *proxy = firstIndexed(name))
        return proxy;
    RemotoObject *found = nullptr;
    for (const RpcObjectEntryPtr &entry : entries) {
        if (entry->object && entry->object->objectName() == name) {
            found = entry->object;
            break;
        }
    }
    // Found where the index did not look, or listed where no such proxy is: a proxy was
    // renamed or deleted without the index being told.
    if (found || nameIndex.contains(name))
        reindex();
    return found;
}

RemotoObject *RpcObjectRegistry::firstIndexed(const QString &name) const
{
    const auto ids = nameIndex.constFind(name);
    if (ids == nameIndex.constEnd())
        return nullptr;
    const RpcObjectEntryPtr entry = entries.value(*ids->begin());
    RemotoObject *proxy = entry ? entry->object.data() : nullptr;
    return proxy && proxy->objectName() == name ? proxy : nullptr;
}

QObjectList RpcObjectRegistry::proxies() const
{
    QObjectList list;
    for (const RpcObjectEntryPtr &entry : entries) {
        if (entry->object)
            list.append(entry->object);
    }
    return list;
}

bool RpcObjectRegistry::isEmpty() const
{
    return entries.isEmpty();
}

RpcObjectRegistry::const_iterator RpcObjectRegistry::begin() const
{
    return entries.constBegin();
}

RpcObjectRegistry::const_iterator RpcObjectRegistry::end() const
{
    return entries.constEnd();
}

RpcObjectEntryPtr RpcObjectRegistry::insert(quint32 objectId)
{
    RpcObjectEntryPtr &entry = entries[objectId];
    if (!entry)
        entry.reset(new RpcObjectEntry(objectId));
    return entry;
}

void RpcObjectRegistry::attach(const RpcObjectEntryPtr &entry, RemotoObject *proxy)
{
    connect(proxy, &QObject::objectNameChanged, this,
        [this, proxy](const QString &name) { rename(proxy, name); });
    connect(proxy, &QObject::destroyed, this, [this](QObject *gone) { unindex(gone); });
    entry->object = proxy;
    index(entry);
}

RpcObjectEntryPtr RpcObjectRegistry::takeOver(const RpcObjectEntryPtr &entry)
{
    const RpcObjectEntryPtr older = entryOf(find(entry->object->objectName()));
    if (!older || older->objectId >= entry->objectId)
        return {};
    take(older->objectId);
    unindex(entry->object);
    entry->object = older->object;
    index(entry);
    return older;
}

RpcObjectEntryPtr RpcObjectRegistry::takeFirst()
{
    return take(entries.firstKey());
}

RpcObjectEntryPtr RpcObjectRegistry::take(quint32 objectId)
{
    const RpcObjectEntryPtr entry = entries.take(objectId);
    unindex(entry->object);
    CommandChannel::retire(*entry);
    return entry;
}

void RpcObjectRegistry::index(const RpcObjectEntryPtr &entry) const
{
    const QString name = entry->object->objectName();
    proxyIndex.insert(entry->object, IndexedProxy { entry, name });
    nameIndex[name].insert(entry->objectId);
}

void RpcObjectRegistry::unindex(const QObject *proxy) const
{
    const auto indexed = proxyIndex.find(proxy);
    if (indexed == proxyIndex.end())
        return;
    // A record a deleted proxy left may name an id a later record has taken out already.
    const auto ids = nameIndex.find(indexed->name);
    if (ids != nameIndex.end()) {
        ids->erase(indexed->entry->objectId);
        if (ids->empty())
            nameIndex.erase(ids);
    }
    proxyIndex.erase(indexed);
}

void RpcObjectRegistry::reindex() const
{
    proxyIndex.clear();
    nameIndex.clear();
    for (const RpcObjectEntryPtr &entry : entries) {
        if (entry->object)
            index(entry);
    }
}

void RpcObjectRegistry::rename(const QObject *proxy, const QString &name)
{
    const auto indexed = proxyIndex.find(proxy);
    if (indexed == proxyIndex.end())
        return;
    const RpcObjectEntryPtr entry = indexed->entry;
    unindex(proxy);
    proxyIndex.insert(proxy, IndexedProxy { entry, name });
    nameIndex[name].insert(entry->objectId);
}
