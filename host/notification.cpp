#include "notification.h"

namespace {
// Payloads up to this size are handed out in a list the thread keeps, which the list holds on
// to until the next notification; a larger one gets a list of its own.
constexpr int MaxKeptPayloadSize = 64 * 1024;
} // namespace

class Notification::Private : public QSharedData
{
public:
    Private(const QByteArray &payload, int magic)
        : payload(payload)
        , magic(magic)
    {
    }

    const QByteArray payload;
    const int magic;
};

Notification::Notification(const QByteArray &payload, int magic)
    : d(new Private(payload, magic))
{
}

Notification::Notification(const Notification &other) = default;
Notification &Notification::operator=(const Notification &other) = default;
Notification::~Notification() = default;

int Notification::magic() const
{
    return d->magic;
}

QVariant Notification::data() const
{
    if (d->payload.isEmpty())
        return QVariantList();
    if (d->payload.size() > MaxKeptPayloadSize)
        return QVariantList { d->payload };
    // A notification is read once and dropped, so by the next one nothing holds the list any
    // more and it is filled anew in place: a fresh one would cost two allocations for every
    // notification of a burst. Should anything still hold it, writing gives this thread a copy
    // of its own and leaves the holder's alone.
    thread_local QVariantList kept { QVariant() };
    kept.first() = d->payload;
    return kept;
}
