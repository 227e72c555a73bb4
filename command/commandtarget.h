#ifndef COMMANDTARGET_H
#define COMMANDTARGET_H

#include <QtCore/QMap>
#include <QtCore/QSharedPointer>

class RemotoResponse;

// What the commands for one remote object id share: the next sequence number and the
// responses still waiting for their answers, keyed by request uid. Shared, so an operation
// holding it stays valid when the object goes away meanwhile. Owns no response: releasing
// them is CommandChannel's rule.
struct CommandTarget
{
    explicit CommandTarget(quint32 id)
        : objectId(id)
    {
    }

    qint32 sequence = 0;
    quint32 objectId;
    QMap<quint32, RemotoResponse *> pending;
    // No answer reaches a retired target any more.
    bool retired = false;
};

using CommandTargetPtr = QSharedPointer<CommandTarget>;

#endif
