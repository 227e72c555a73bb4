#include "request.h"

#include <QtCore/QAtomicInteger>

namespace {
QAtomicInteger<quint32> lastUid;
}

struct Request::Private
{
    int sequence;
    int objectId;
    QVariant command;
    QVariant payload;
    int magic;
    int uid;
};

Request::Request(int sequence, int objectId, QVariant command, QVariant payload, int magic,
                 QObject *parent)
    : QObject(parent)
    , d(new Private{sequence, objectId, std::move(command), std::move(payload), magic,
                    int(lastUid.fetchAndAddRelaxed(1) + 1)})
{
}

Request::~Request() = default;

int Request::sequence() const { return d->sequence; }
int Request::objectId() const { return d->objectId; }
QVariant Request::command() const { return d->command; }
QVariant Request::payload() const { return d->payload; }
int Request::magic() const { return d->magic; }
int Request::uid() const { return d->uid; }
