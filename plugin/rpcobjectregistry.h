#ifndef RPCOBJECTREGISTRY_H
#define RPCOBJECTREGISTRY_H

#include "rpcobjectentry.h"

#include <QtCore/QHash>
#include <QtCore/QMap>
#include <QtCore/QObject>

#include <set>

// The remote objects by id, with indexes by proxy and by name so that lookups cost the same
// however many objects are registered. The indexes hold exactly the proxies of registered
// entries, under the names those proxies have now.
class RpcObjectRegistry : public QObject
{
    Q_OBJECT
public:
    using const_iterator = QMap<quint32, RpcObjectEntryPtr>::const_iterator;

    RpcObjectRegistry() = default;
    ~RpcObjectRegistry() override;

    RpcObjectEntryPtr value(quint32 objectId) const;
    RpcObjectEntryPtr entryOf(const QObject *proxy) const;
    // The proxy under the smallest id with this name.
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
    void index(const RpcObjectEntryPtr &entry);
    void unindex(const QObject *proxy);
    void rename(const QObject *proxy, const QString &name);

    struct IndexedProxy
    {
        RpcObjectEntryPtr entry;
        QString name;
    };
    QMap<quint32, RpcObjectEntryPtr> entries;
    QHash<const QObject *, IndexedProxy> proxyIndex;
    QHash<QString, std::set<quint32>> nameIndex;
};

#endif
