#ifndef RPCOBJECTENTRY_H
#define RPCOBJECTENTRY_H

#include "commandtarget.h"

#include <QtCore/QPointer>

class RemotoObject;

// One remote object id in the registry: its commands, and its proxy once named. Owns neither
// the proxy nor the responses.
struct RpcObjectEntry : CommandTarget
{
    using CommandTarget::CommandTarget;

    // Guarded: the proxy may be deleted while an operation on this entry is still running.
    QPointer<RemotoObject> object;
};

using RpcObjectEntryPtr = QSharedPointer<RpcObjectEntry>;

#endif
