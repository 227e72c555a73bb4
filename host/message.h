#ifndef MESSAGE_H
#define MESSAGE_H

#include "hostexport.h"

#include <QtCore/QMetaType>
#include <QtCore/QObject>
#include <QtCore/QVariant>

namespace Velmor {
namespace Command {

// What a message from the remote side carries.
enum MessageKind : qint32 {
    Notify = 0,
    Answer = 1,
    ObjectUp = 3,
    ObjectDown = 4,
    Refused = 17,
};

// The marker every message and request carries.
constexpr qint32 Marker = 0x29111993;

// A gadget, so hosts and scripts can build and read messages by property name.
struct VELMORHLP_EXPORT Message
{
    Q_GADGET
    Q_PROPERTY(quint32 requestUid MEMBER requestUid)
    Q_PROPERTY(quint32 objectId MEMBER objectId)
    Q_PROPERTY(qint32 kind MEMBER kind)
    Q_PROPERTY(qint32 magic MEMBER magic)
    Q_PROPERTY(QVariant payload MEMBER payload)
public:
    // The uid of the request an answer or refusal belongs to.
    quint32 requestUid = 0;
    // The remote object the message is about.
    quint32 objectId = 0;
    // A MessageKind.
    qint32 kind = 0;
    // Marker: the module ignores a message unless it is 0x29111993.
    qint32 magic = 0;
    // The message's bytes, as a QByteArray.
    QVariant payload;
};

} // namespace Command

// Registers the types that cross queued connections between a host connection and the module.
VELMORHLP_EXPORT void registerMetaTypes();

} // namespace Velmor

Q_DECLARE_METATYPE(Velmor::Command::Message)

#endif
