#include "payloadcodec.h"

#include "base64codec.h"
#include "valuelistdecoder.h"
#include "valuelistencoder.h"

#include <QtCore/QDataStream>
#include <QtCore/QMetaType>

#include <algorithm>
#include <atomic>
#include <iterator>

namespace Wire {

namespace {

constexpr qint64 MsecsPerDay = 86400000;
// 1899-12-30T00:00:00Z in milliseconds since the Unix epoch.
constexpr qint64 OleEpochMsecs = -2209161600000LL;

bool valueStreamable(const QVariant &value)
{
    const int type = value.userType();
    switch (type) {
    case QMetaType::UnknownType:
        return true;
    case QMetaType::QVariantList: {
        const QVariantList items = value.toList();
        return std::all_of(items.cbegin(), items.cend(), valueStreamable);
    }
    case QMetaType::QVariantMap: {
        const QVariantMap items = value.toMap();
        return std::all_of(items.cbegin(), items.cend(), valueStreamable);
    }
    case QMetaType::QVariantHash: {
        const QVariantHash items = value.toHash();
        return std::all_of(items.cbegin(), items.cend(), valueStreamable);
    }
    // A variant holding a variant is written as the one it holds.
    case QMetaType::QVariant:
        return valueStreamable(*static_cast<const QVariant *>(value.constData()));
    }
    return PayloadCodec::isStreamable(type);
}

// Writes `lead` and then `values` as one value list, in Base64 after the first `offset` bytes
// of `out`, without gathering them into one list first. False when a value cannot be written.
template <typename Values>
bool writeValueList(
    std::initializer_list<QVariant> lead, Values begin, Values end, QByteArray *out, int offset)
{
    // QVariant::save() writes a broken stream for a type it cannot save; refusing here keeps
    // such bytes off the wire.
    if (!std::all_of(lead.begin(), lead.end(), valueStreamable)
        || !std::all_of(begin, end, valueStreamable))
        return false;
    Base64Codec::Writer text(out, offset);
    // The raw list is only an intermediate: the thread's last one lends its room.
    ValueListEncoder writer(ValueListEncoder::threadRoom(), &text);
    writer.writeCount(quint32(lead.size()) + quint32(std::distance(begin, end)));
    for (const QVariant &value : lead)
        writer.write(value);
    for (Values value = begin; value != end; ++value)
        writer.write(*value);
    const QByteArray rest = writer.take();
    if (rest.isNull())
        return false;
    text.append(rest.constData(), rest.size());
    ValueListEncoder::recycle(rest);
    return text.finish();
}

} // namespace

QByteArray PayloadCodec::encodeValueList(const QVariantList &values)
{
    QByteArray text;
    return writeValueList({}, values.cbegin(), values.cend(), &text, 0) ? text : QByteArray();
}

bool PayloadCodec::decodeValueList(const QByteArray &text, QVariantList *values)
{
    return ValueListDecoder::decodeBase64(text, Base64Codec::Mode::Strict, values);
}

bool PayloadCodec::readValueList(const QByteArray &bytes, QVariantList *values)
{
    return ValueListDecoder::decode(bytes, values);
}

QByteArray PayloadCodec::encodeAnswer(
    qint32 result, qint32 command, const QVariantList &values, const QDateTime &time)
{
    QByteArray payload;
    if (!encodeAnswer(result, command, values, time.toMSecsSinceEpoch(), &payload))
        return QByteArray();
    return payload;
}

bool PayloadCodec::encodeAnswer(qint32 result, qint32 command, const QVariantList &values,
    qint64 msecsSinceEpoch, QByteArray *payload)
{
    Base64Codec::prepareReuse(payload);
    payload->resize(AnswerHeader::Size);
    if (!writeValueList({}, values.cbegin(), values.cend(), payload, AnswerHeader::Size))
        return false;
    AnswerHeader header;
    header.oleDate = toOleDate(msecsSinceEpoch);
    header.result = result;
    header.command = command;
    header.write(payload);
    return true;
}

bool PayloadCodec::decodeAnswer(
    const QByteArray &payload, AnswerHeader *header, QVariantList *values)
{
    values->clear();
    return AnswerHeader::read(payload, header)
        && decodeValueList(AnswerHeader::body(payload), values);
}

bool PayloadCodec::encodeNotification(
    const QString &signature, const QVariant *arguments, int count, QByteArray *text)
{
    Base64Codec::prepareReuse(text);
    return writeValueList({ QVariant(), signature }, arguments, arguments + count, text, 0);
}

double PayloadCodec::toOleDate(const QDateTime &time)
{
    return toOleDate(time.toMSecsSinceEpoch());
}

double PayloadCodec::toOleDate(qint64 msecsSinceEpoch)
{
    // Before day zero the fraction still counts forward from midnight, with the sign of the
    // day: 1899-12-29 18:00 is -1.75, not -0.25 (which would read as 1899-12-30 06:00).
    const qint64 msecs = msecsSinceEpoch - OleEpochMsecs;
    qint64 days = msecs / MsecsPerDay;
    qint64 timeOfDay = msecs % MsecsPerDay;
    if (timeOfDay < 0) {
        --days;
        timeOfDay += MsecsPerDay;
    }
    const double fraction = double(timeOfDay) / double(MsecsPerDay);
    return days < 0 ? double(days) - fraction : double(days) + fraction;
}

bool PayloadCodec::isStreamable(int typeId)
{
    if (typeId == QMetaType::QVariant)
        return true;
    if (typeId == QMetaType::UnknownType || typeId == QMetaType::Void)
        return false;
    // Every value sent asks about its type, and the answer for a built-in type never changes:
    // it is probed once per process (0 not yet known, 1 streamable, 2 not).
    static std::atomic<quint8> builtIn[QMetaType::User] = {};
    const bool isBuiltIn = typeId > 0 && typeId < QMetaType::User;
    if (isBuiltIn) {
        const quint8 known = builtIn[typeId].load(std::memory_order_relaxed);
        if (known != 0)
            return known == 1;
    }
    const QVariant sample(typeId, nullptr);
    bool streamable = sample.isValid();
    if (streamable) {
        QByteArray scratch;
        QDataStream stream(&scratch, QIODevice::WriteOnly);
        streamable = QMetaType::save(stream, typeId, sample.constData());
    }
    if (isBuiltIn)
        builtIn[typeId].store(streamable ? 1 : 2, std::memory_order_relaxed);
    return streamable;
}

} // namespace Wire
