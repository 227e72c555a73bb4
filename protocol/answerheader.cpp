#include "answerheader.h"

#include <QtCore/QtEndian>

#include <cstring>

static_assert(sizeof(double) == sizeof(quint64), "an IEEE 754 double is 8 bytes");

bool AnswerHeader::read(const QByteArray &payload, AnswerHeader *header)
{
    if (payload.size() < Size)
        return false;
    const char *bytes = payload.constData();
    const quint64 dayBits = qFromLittleEndian<quint64>(bytes);
    std::memcpy(&header->oleDate, &dayBits, sizeof dayBits);
    header->result = qFromLittleEndian<qint32>(bytes + 8);
    header->command = qFromLittleEndian<qint32>(bytes + 12);
    return true;
}

QByteArray AnswerHeader::body(const QByteArray &payload)
{
    if (payload.size() <= Size)
        return QByteArray();
    return QByteArray::fromRawData(payload.constData() + Size, payload.size() - Size);
}

void AnswerHeader::write(QByteArray *payload) const
{
    char *bytes = payload->data();
    quint64 dayBits;
    std::memcpy(&dayBits, &oleDate, sizeof dayBits);
    qToLittleEndian(dayBits, bytes);
    qToLittleEndian(quint32(result), bytes + 8);
    qToLittleEndian(quint32(command), bytes + 12);
}
