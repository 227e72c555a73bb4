#ifndef RPCOBJECTREGISTRY_H
#define RPCOBJECTREGISTRY_H

#include "rpcobjectentry.h"

#include <QtCore/QHash>
#include <QtCore/QMap>
#include <QtCore/QObject>

#include <set>

// The remote objects by id, with indexes by proxy and by name so that lookups cost the same
// however many objects are registered. The host may rename or delete a proxy after cutting
// the registry's connections to it (`disconnect()`) or with its signals blocked, so the
// indexes are hints: whatever they give is checked against the proxy as it is now, and a
// lookup they miss, or that disagrees with the proxy, walks the entries and indexes them
// anew. No proxy is reached but through its entry's guarded pointer.
class RpcObjectRegistry : public QObject
{
    Q_OBJECT
public:
    using const_iterator = QMap<quint32, RpcObjectEntryPtr>::const_iterator;

    RpcObjectRegistry() = default;
    ~RpcObjectRegistry() override;

    RpcObjectEntryPtr value(quint32 objectId) const;
    // The registered entry whose proxy is `proxy`, or null.
    RpcObjectEntryPtr entryOf(const QObject *proxy) const;
    // The live proxy under the smallest id whose object name is `name` now.
    RemotoObject *find(const QString &name) const;
    QObjectList proxies() const;
    bool isEmpty() const;
    const_iterator begin() const;
    const_iterator end() const;

    // The entry of `objectId`, registered anew when there is none.
    RpcObjectEntryPtr insert(quint32 objectId);
    void attach(const RpcObjectEntryPtr &entry, RemotoObject *proxy);
    // When an older entry with a smaller id has a proxy of the name `entry`'s proxy has, that
    // entry leaves the registry and its proxy becomes `entry`'s; returns the older entry.
    RpcObjectEntryPtr takeOver(const RpcObjectEntryPtr &entry);
    RpcObjectEntryPtr takeFirst();

private:
    RpcObjectEntryPtr take(quint32 objectId);
    RemotoObject *firstIndexed(const QString &name) const;
    void index(const RpcObjectEntryPtr &entry) const;
    void unindex(const QObject *proxy) const;
    void reindex() const;
    void rename(const QObject *proxy, const QString &name);

    struct IndexedProxy
    {
        RpcObjectEntryPtr entry;
        QString name;
    };
    QMap<quint32, RpcObjectEntryPtr> entries;
    // Rebuilt by const lookups that find them stale.
    mutable QHash<const QObject *, IndexedProxy> proxyIndex;
    mutable QHash<QString, std::set<quint32>> nameIndex;
};

#endif
