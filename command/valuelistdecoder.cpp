#include "valuelistdecoder.h"

#include "signaturelimits.h"

#include <QtCore/QDataStream>
#include <QtCore/QDate>
#include <QtCore/QIODevice>
#include <QtCore/QMetaType>
#include <QtCore/QMultiHash>
#include <QtCore/QMultiMap>
#include <QtCore/QTimeZone>
#include <QtCore/QtEndian>

#include <limits>

namespace {

// A variant on the wire is at least its type id and its null flag.
constexpr qint64 MinValueSize = 4 + 1;
// A map or hash entry is at least an empty key string and the smallest value.
constexpr qint64 MinEntrySize = 4 + MinValueSize;
constexpr quint32 NullLength = 0xffffffff;

constexpr qint64 EpochJulianDay = 2440588;
constexpr qint64 MSecsPerDay = 86400000;
// QDateTime keeps its moment as milliseconds in a qint64 and shifts it by offsets of up to a
// few weeks without checking for overflow; dates this far out are never sent in good faith.
constexpr qint64 MaxDaysFromEpoch = std::numeric_limits<qint64>::max() / MSecsPerDay - 1000;
// QDateTime multiplies an offset by 1000 in int arithmetic.
constexpr qint32 MaxOffsetSeconds = std::numeric_limits<int>::max() / 1000;
// QBitArray keeps one byte for the padding count and computes the size in bits in int.
constexpr quint32 MaxBitCount = quint32(std::numeric_limits<int>::max() / 8 - 1) * 8;

// Walks the bytes with its own cursor and checks every count and length against what is left
// before anything is allocated. Plain values are then handed to QDataStream itself over exactly
// the bytes measured for them, which keeps them identical to what `stream >> QVariant` gives;
// the containers of variants are built here, because QDataStream reserves whatever count the
// sender claims and recurses without limit.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : m_bytes(bytes)
        , m_stream(bytes)
        , m_reserveBudget(bytes.size() / MinValueSize)
    {
        m_stream.setVersion(QDataStream::Qt_5_15);
    }

    bool readList(QVariantList *list, int level)
    {
        quint32 count;
        if (!takeCount(&count, MinValueSize))
            return false;
        // Every level's count is bounded by the bytes left, but the same bytes would back the
        // claims of every enclosing level too; what is reserved in advance across all levels is
        // kept within what the whole input could hold, and beyond that lists grow as values
        // really arrive.
        const qint64 reserved = qMin<qint64>(count, m_reserveBudget);
        m_reserveBudget -= reserved;
        list->reserve(int(reserved));
        for (quint32 i = 0; i < count; ++i) {
            QVariant value;
            if (!readValue(&value, level))
                return false;
            list->append(value);
        }
        return true;
    }

private:
    bool has(qint64 at, qint64 size) const { return at >= 0 && at <= m_bytes.size() - size; }

    const uchar *at(qint64 offset) const
    {
        return reinterpret_cast<const uchar *>(m_bytes.constData()) + offset;
    }

    quint32 u32At(qint64 offset) const { return qFromBigEndian<quint32>(at(offset)); }

    // Reads a container's element count and refuses one the remaining bytes cannot hold, so the
    // count is safe to reserve.
    bool takeCount(quint32 *count, qint64 minElementSize)
    {
        if (!has(m_pos, 4))
            return false;
        *count = u32At(m_pos);
        m_pos += 4;
        return *count <= (m_bytes.size() - m_pos) / minElementSize;
    }

    // Lets QDataStream read the bytes [from, to) into `value`; anything but consuming exactly
    // that span means the measuring here and QDataStream disagree, and the value is refused.
    template <typename T> bool streamRead(qint64 from, qint64 to, T *value)
    {
        if (to < 0 || !m_stream.device()->seek(from))
            return false;
        m_stream >> *value;
        return m_stream.status() == QDataStream::Ok && m_stream.device()->pos() == to;
    }

    qint64 fixedEnd(qint64 offset, qint64 size) const
    {
        return has(offset, size) ? offset + size : -1;
    }

    qint64 bytesEnd(qint64 offset) const
    {
        if (!has(offset, 4))
            return -1;
        const quint32 length = u32At(offset);
        if (length == NullLength)
            return offset + 4;
        return fixedEnd(offset + 4, length);
    }

    qint64 stringEnd(qint64 offset) const
    {
        if (!has(offset, 4))
            return -1;
        const quint32 length = u32At(offset);
        if (length == NullLength)
            return offset + 4;
        if (length % 2 != 0)
            return -1;
        return fixedEnd(offset + 4, length);
    }

    qint64 bitsEnd(qint64 offset) const
    {
        if (!has(offset, 4))
            return -1;
        const quint32 bits = u32At(offset);
        if (bits > MaxBitCount)
            return -1;
        return fixedEnd(offset + 4, (qint64(bits) + 7) / 8);
    }

    template <typename ItemEnd> qint64 sequenceEnd(qint64 offset, ItemEnd itemEnd) const
    {
        if (!has(offset, 4))
            return -1;
        const quint32 count = u32At(offset);
        offset += 4;
        for (quint32 i = 0; i < count && offset >= 0; ++i)
            offset = (this->*itemEnd)(offset);
        return offset;
    }

    qint64 dateTimeEnd(qint64 offset)
    {
        if (!has(offset, 8 + 4 + 1))
            return -1;
        const QDate date = QDate::fromJulianDay(qFromBigEndian<qint64>(at(offset)));
        if (date.isValid() && qAbs(date.toJulianDay() - EpochJulianDay) > MaxDaysFromEpoch)
            return -1;
        const qint8 timeSpec = qint8(*at(offset + 12));
        offset += 8 + 4 + 1;
        switch (timeSpec) {
        case Qt::LocalTime:
        case Qt::UTC:
            return offset;
        case Qt::OffsetFromUTC: {
            if (!has(offset, 4))
                return -1;
            const qint32 seconds = qFromBigEndian<qint32>(at(offset));
            if (seconds < -MaxOffsetSeconds || seconds > MaxOffsetSeconds)
                return -1;
            return offset + 4;
        }
        case Qt::TimeZone:
            return zoneEnd(offset);
        }
        // Any other time kind would be shifted into QDateTime's status bits unchecked.
        return -1;
    }

    // QDataStream hands a zone's id to QTimeZone, which looks for a file of that name under the
    // zone directory and caches every name it was asked for: an id from the remote side could
    // name any path and grow that cache without end. Only ids this machine lists, and the few
    // that QTimeZone gives zones made from a bare offset, are let through.
    qint64 zoneEnd(qint64 offset)
    {
        QString id;
        qint64 end = stringEnd(offset);
        if (!streamRead(offset, end, &id))
            return -1;
        if (id == QLatin1String("OffsetFromUtc")) {
            offset = end;
            end = stringEnd(offset);
            if (!streamRead(offset, end, &id))
                return -1;
            // Offset, name, abbreviation, country and comment: QDataStream ignores them once the
            // id names a known zone.
            end = fixedEnd(end, 4);
            end = end < 0 ? -1 : stringEnd(end);
            end = end < 0 ? -1 : stringEnd(end);
            end = end < 0 ? -1 : fixedEnd(end, 4);
            end = end < 0 ? -1 : stringEnd(end);
        }
        if (end < 0 || !(isOffsetZoneId(id) || QTimeZone::isTimeZoneIdAvailable(id.toUtf8())))
            return -1;
        return end;
    }

    // "UTC+hh" or "UTC+hh:mm" (or with a minus), within the fourteen hours QTimeZone accepts.
    static bool isOffsetZoneId(const QString &id)
    {
        if ((id.size() != 6 && id.size() != 9) || !id.startsWith(QLatin1String("UTC"))
            || (id.at(3) != QLatin1Char('+') && id.at(3) != QLatin1Char('-')))
            return false;
        const auto digit = [&id](int at) {
            const ushort c = id.at(at).unicode();
            return c >= '0' && c <= '9' ? c - '0' : -1;
        };
        const auto number = [&digit](int at) {
            const int tens = digit(at);
            const int units = digit(at + 1);
            return tens < 0 || units < 0 ? -1 : tens * 10 + units;
        };
        const int hours = number(4);
        if (hours < 0 || hours > 14)
            return false;
        if (id.size() == 6)
            return true;
        const int minutes = number(7);
        return id.at(6) == QLatin1Char(':') && minutes >= 0 && minutes < 60;
    }

    // Where the value of a type this decoder hands to QDataStream ends, or -1 for a type it
    // refuses: those whose reading trusts the sender (QEasingCurve reads a function pointer),
    // those QtCore cannot read, and everything nobody sends as plain data.
    qint64 plainValueEnd(int type, qint64 offset)
    {
        switch (type) {
        case QMetaType::UnknownType:
        case QMetaType::Nullptr:
            return offset;
        case QMetaType::Bool:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
            return fixedEnd(offset, 1);
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::QChar:
            return fixedEnd(offset, 2);
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::QTime:
            return fixedEnd(offset, 4);
        // QDataStream writes long as 64 bits and float at double precision.
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Float:
        case QMetaType::Double:
        case QMetaType::QDate:
        case QMetaType::QSize:
        case QMetaType::QPoint:
            return fixedEnd(offset, 8);
        case QMetaType::QSizeF:
        case QMetaType::QPointF:
        case QMetaType::QRect:
        case QMetaType::QLine:
        case QMetaType::QUuid:
            return fixedEnd(offset, 16);
        case QMetaType::QRectF:
        case QMetaType::QLineF:
            return fixedEnd(offset, 32);
        case QMetaType::QString:
        case QMetaType::QLocale:
            return stringEnd(offset);
        case QMetaType::QByteArray:
        case QMetaType::QUrl:
            return bytesEnd(offset);
        case QMetaType::QBitArray:
            return bitsEnd(offset);
        case QMetaType::QStringList:
            return sequenceEnd(offset, &Reader::stringEnd);
        case QMetaType::QByteArrayList:
            return sequenceEnd(offset, &Reader::bytesEnd);
        case QMetaType::QDateTime:
            return dateTimeEnd(offset);
        default:
            return -1;
        }
    }

    // `level` is the nesting level of the container holding the value; the outermost list is 1.
    bool readValue(QVariant *value, int level)
    {
        const qint64 start = m_pos;
        if (!has(start, MinValueSize))
            return false;
        const quint32 typeId = u32At(start);
        // QVariant stores the flag byte into a one-bit field: only the lowest bit counts.
        const bool isNull = (*at(start + 4) & 1) != 0;
        qint64 offset = start + MinValueSize;

        int type;
        if (typeId == QMetaType::User) {
            QByteArray name;
            const qint64 end = bytesEnd(offset);
            if (!streamRead(offset, end, &name) || !SignatureLimits::accepts(name))
                return false;
            type = QMetaType::type(name.constData());
            if (type == QMetaType::UnknownType)
                return false;
            offset = end;
        } else if (typeId > quint32(std::numeric_limits<int>::max())) {
            return false;
        } else {
            type = int(typeId);
        }

        switch (type) {
        case QMetaType::QVariantList:
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
        case QMetaType::QVariant:
            if (level >= ValueListDecoder::MaxDepth)
                return false;
            m_pos = offset;
            if (!readContainer(type, value, level + 1))
                return false;
            // QVariant keeps the sender's null flag even for a container, and writes it back.
            value->data_ptr().is_null = isNull;
            return true;
        default: {
            const qint64 end = plainValueEnd(type, offset);
            if (!streamRead(start, end, value))
                return false;
            m_pos = end;
            return true;
        }
        }
    }

    bool readContainer(int type, QVariant *value, int level)
    {
        switch (type) {
        case QMetaType::QVariantList: {
            QVariantList list;
            if (!readList(&list, level))
                return false;
            *value = list;
            return true;
        }
        case QMetaType::QVariantMap: {
            QMultiMap<QString, QVariant> map;
            if (!readEntries(&map, level))
                return false;
            *value = QVariantMap(map);
            return true;
        }
        case QMetaType::QVariantHash: {
            QMultiHash<QString, QVariant> hash;
            if (!readEntries(&hash, level))
                return false;
            *value = QVariantHash(hash);
            return true;
        }
        default: {
            QVariant inner;
            if (!readValue(&inner, level))
                return false;
            *value = QVariant(QMetaType::QVariant, &inner);
            return true;
        }
        }
    }

    // A repeated key is kept, the later entry first, just as QDataStream inserts them.
    template <typename Multi> bool readEntries(Multi *entries, int level)
    {
        quint32 count;
        if (!takeCount(&count, MinEntrySize))
            return false;
        for (quint32 i = 0; i < count; ++i) {
            QString key;
            const qint64 keyEnd = stringEnd(m_pos);
            if (!streamRead(m_pos, keyEnd, &key))
                return false;
            m_pos = keyEnd;
            QVariant value;
            if (!readValue(&value, level))
                return false;
            entries->insert(key, value);
        }
        return true;
    }

    const QByteArray m_bytes;
    QDataStream m_stream;
    qint64 m_pos = 0;
    // Elements that may still be reserved in advance, over all lists together.
    qint64 m_reserveBudget;
};

} // namespace

bool ValueListDecoder::decode(const QByteArray &bytes, QVariantList *values)
{
    values->clear();
    QVariantList list;
    if (!Reader(bytes).readList(&list, 1))
        return false;
    *values = std::move(list);
    return true;
}
