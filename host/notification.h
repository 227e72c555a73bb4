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
    Notification(const QByteArray &payload, int magic);
    Notification(const Notification &other);
    Notification &operator=(const Notification &other);
    ~Notification();

    // A QVariantList whose only item is the payload text; empty for an empty payload.
    QVariant data() const;
    int magic() const;

private:
    class Private;
    QSharedDataPointer<Private> d;
};

#endif
