#include "payloadcodec.h"

#include <QtCore/QDataStream>
#include <QtCore/QMetaType>
#include <QtCore/QtEndian>

#include <algorithm>
#include <cstring>

namespace Wire {

namespace {

constexpr qint64 MsecsPerDay = 86400000;
// 1899-12-30T00:00:00Z in milliseconds since the Unix epoch.
constexpr qint64 OleEpochMsecs = -2209161600000LL;

constexpr quint32 NullLength = 0xFFFFFFFF;

// Walks the QDataStream form of a value list without building anything, accepting only the
// value types whose layout it knows exactly. QDataStream reserves room for a container's
// declared count before it reads the items; the walk fails at the first item that is not
// there, so once it passes every count is backed by bytes.
class ValueListScanner
{
public:
    explicit ValueListScanner(const QByteArray &bytes)
        : m_at(bytes.constData())
        , m_end(bytes.constData() + bytes.size())
    {
    }

    bool list(int depth)
    {
        quint32 items;
        if (depth > PayloadCodec::MaxDepth || !u32(&items))
            return false;
        for (quint32 i = 0; i < items; ++i) {
            if (!variant(depth))
                return false;
        }
        return true;
    }

private:
    qint64 left() const { return m_end - m_at; }

    bool skip(qint64 size)
    {
        if (size > left())
            return false;
        m_at += size;
        return true;
    }

    bool u32(quint32 *value)
    {
        if (left() < 4)
            return false;
        *value = qFromBigEndian<quint32>(m_at);
        m_at += 4;
        return true;
    }

    bool string()
    {
        quint32 size;
        if (!u32(&size))
            return false;
        return size == NullLength || (size % 2 == 0 && skip(size));
    }

    bool bytes()
    {
        quint32 size;
        if (!u32(&size))
            return false;
        return size == NullLength || skip(size);
    }

    bool map(int depth)
    {
        quint32 items;
        if (depth > PayloadCodec::MaxDepth || !u32(&items))
            return false;
        for (quint32 i = 0; i < items; ++i) {
            if (!string() || !variant(depth))
                return false;
        }
        return true;
    }

    bool dateTime()
    {
        // Date, time, then how the time is zoned; only an offset from UTC carries more.
        if (!skip(12) || left() < 1)
            return false;
        const quint8 zoning = quint8(*m_at++);
        switch (zoning) {
        case Qt::LocalTime:
        case Qt::UTC:
            return true;
        case Qt::OffsetFromUTC:
            return skip(4);
        }
        return false;
    }

    bool variant(int depth)
    {
        quint32 type;
        if (!u32(&type) || !skip(1))
            return false;
        quint32 items;
        switch (type) {
        case QMetaType::UnknownType:
            return true;
        case QMetaType::Bool:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
            return skip(1);
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::QChar:
            return skip(2);
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::QTime:
            return skip(4);
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::Double:
        case QMetaType::Float:
        case QMetaType::QDate:
        case QMetaType::QSize:
        case QMetaType::QPoint:
            return skip(8);
        case QMetaType::QSizeF:
        case QMetaType::QPointF:
        case QMetaType::QRect:
        case QMetaType::QLine:
        case QMetaType::QUuid:
            return skip(16);
        case QMetaType::QRectF:
        case QMetaType::QLineF:
            return skip(32);
        case QMetaType::QDateTime:
            return dateTime();
        case QMetaType::QString:
            return string();
        case QMetaType::QByteArray:
        case QMetaType::QUrl:
            return bytes();
        case QMetaType::QBitArray: {
            quint32 bits;
            return u32(&bits) && skip((qint64(bits) + 7) / 8);
        }
        case QMetaType::QStringList:
            if (!u32(&items))
                return false;
            for (quint32 i = 0; i < items; ++i) {
                if (!string())
                    return false;
            }
            return true;
        case QMetaType::QByteArrayList:
            if (!u32(&items))
                return false;
            for (quint32 i = 0; i < items; ++i) {
                if (!bytes())
                    return false;
            }
            return true;
        case QMetaType::QVariantList:
            return list(depth + 1);
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return map(depth + 1);
        }
        return false;
    }

    const char *m_at;
    const char *m_end;
};

bool valueStreamable(const QVariant &value)
{
    switch (value.userType()) {
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
    }
    return PayloadCodec::isStreamable(value.userType());
}

void putLittle32(QByteArray *out, int at, quint32 value)
{
    qToLittleEndian(value, out->data() + at);
}

} // namespace

QByteArray PayloadCodec::encodeValueList(const QVariantList &values)
{
    // QVariant::save() writes a broken stream for a type it cannot save; refusing here keeps
    // such bytes off the wire.
    if (!std::all_of(values.cbegin(), values.cend(), valueStreamable))
        return QByteArray();
    QByteArray raw;
    QDataStream stream(&raw, QIODevice::WriteOnly);
    stream << values;
    return raw.toBase64();
}

bool PayloadCodec::decodeValueList(const QByteArray &text, QVariantList *values)
{
    values->clear();
    const QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return false;
    if (!ValueListScanner(decoded.decoded).list(1))
        return false;
    QDataStream stream(decoded.decoded);
    QVariantList list;
    stream >> list;
    if (stream.status() != QDataStream::Ok)
        return false;
    *values = list;
    return true;
}

QByteArray PayloadCodec::encodeAnswer(
    qint32 result, qint32 command, const QVariantList &values, const QDateTime &time)
{
    const QByteArray body = encodeValueList(values);
    if (body.isEmpty())
        return QByteArray();
    QByteArray payload(AnswerHeaderSize, Qt::Uninitialized);
    const double days = toOleDate(time);
    quint64 dayBits;
    static_assert(sizeof dayBits == sizeof days, "an IEEE 754 double is 8 bytes");
    std::memcpy(&dayBits, &days, sizeof days);
    qToLittleEndian(dayBits, payload.data());
    putLittle32(&payload, 8, quint32(result));
    putLittle32(&payload, 12, quint32(command));
    return payload + body;
}

QByteArray PayloadCodec::encodeNotification(
    const QByteArray &signature, const QVariantList &arguments)
{
    QVariantList values { QVariant(), QString::fromUtf8(signature) };
    values += arguments;
    return encodeValueList(values);
}

double PayloadCodec::toOleDate(const QDateTime &time)
{
    return double(time.toMSecsSinceEpoch() - OleEpochMsecs) / double(MsecsPerDay);
}

bool PayloadCodec::isStreamable(int typeId)
{
    if (typeId == QMetaType::QVariant)
        return true;
    if (typeId == QMetaType::UnknownType || typeId == QMetaType::Void)
        return false;
    const QVariant sample(typeId, nullptr);
    if (!sample.isValid())
        return false;
    QByteArray scratch;
    QDataStream stream(&scratch, QIODevice::WriteOnly);
    return QMetaType::save(stream, typeId, sample.constData());
}

} // namespace Wire
