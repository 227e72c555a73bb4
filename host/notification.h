#ifndef NOTIFICATION_H
#define NOTIFICATION_H

#include "hostexport.h"

#include <QtCore/QByteArray>
#include <QtCore/QVariant>

// A notification as the connection delivers it: the payload is the Base64 text of a
// serialised value list.
class VELMORHLP_EXPORT Notification
{
public:
    Notification(const QByteArray &payload, int magic);

    // A QVariantList whose only item is the payload text; empty for an empty payload.
    QVariant data() const;
    int magic() const { return m_magic; }

private:
    QByteArray m_payload;
    int m_magic;
};

#endif
