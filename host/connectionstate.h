#ifndef CONNECTIONSTATE_H
#define CONNECTIONSTATE_H

#include <QtCore/QMetaType>

namespace Velmor {
namespace Connection {

// Only ConnectionLost has a meaning the module acts on; the others are for hosts.
enum State : qint32 {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
    ConnectionLost = -100,
};

} // namespace Connection
} // namespace Velmor

Q_DECLARE_METATYPE(Velmor::Connection::State)

#endif
