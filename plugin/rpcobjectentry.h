#ifndef RPCOBJECTENTRY_H
#define RPCOBJECTENTRY_H

#include <QtCore/QMap>
#include <QtCore/QPointer>

class RemotoObject;
class RemotoResponse;

// One remote object id in the registry. Shared: every operation working on an entry holds
// its own reference, so an entry dropped from the registry meanwhile stays valid until the
// operation ends. Owns neither the proxy nor the responses.
struct RpcObjectEntry
{
    explicit RpcObjectEntry(quint32 id)
        : objectId(id)
    {
    }

    qint32 sequence = 0;
    quint32 objectId;
    // Guarded: the proxy may be deleted while an operation on this entry is still running.
    QPointer<RemotoObject> object;
    QMap<quint32, RemotoResponse *> pending;
};

#endif
