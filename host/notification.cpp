#include "notification.h"

Notification::Notification(const QByteArray &payload, int magic)
    : m_payload(payload)
    , m_magic(magic)
{
}

QVariant Notification::data() const
{
    if (m_payload.isEmpty())
        return QVariantList();
    return QVariantList{m_payload};
}
