#ifndef NOTIFICATION_H
#define NOTIFICATION_H

#include "hostexport.h"

#include <QtCore/QByteArray>
#include <QtCore/QSharedDataPointer>
#include <QtCore/QVariant>

// A notification as the connection delivers it: the payload is the Base64 text of a
// serialised value list.
class VELMORHLP_EXPORT Notification
{
public:
    // A notification of a message's payload and marker.
    Notification(const QByteArray &payload, int magic);
    // Copies share their data.
    Notification(const Notification &other);
    // Shares the other notification's data.
    Notification &operator=(const Notification &other);
    ~Notification();

    // A QVariantList whose only item is the payload text; empty for an empty payload.
    QVariant data() const;
    // The marker the message carried.
    int magic() const;

private:
    class Private;
    QSharedDataPointer<Private> d;
};

#endif
