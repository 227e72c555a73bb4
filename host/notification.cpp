#include "notification.h"

namespace {
// Payloads up to this size are handed out in a list the thread keeps, which the list holds on
// to until the next notification; a larger one gets a list of its own.
constexpr int MaxKeptPayloadSize = 64 * 1024;
} // namespace

Notification::Notification(const QByteArray &payload, int magic)
    : m_payload(payload)
    , m_magic(magic)
{
}

QVariant Notification::data() const
{
    if (m_payload.isEmpty())
        return QVariantList();
    if (m_payload.size() > MaxKeptPayloadSize)
        return QVariantList { m_payload };
    // A notification is read once and dropped, so by the next one nothing holds the list any
    // more and it is filled anew in place: a fresh one would cost two allocations for every
    // notification of a burst. Should anything still hold it, writing gives this thread a copy
    // of its own and leaves the holder's alone.
    thread_local QVariantList kept { QVariant() };
    kept.first() = m_payload;
    return kept;
}
