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

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

namespace {

// A variant on the wire is at least its type id and its null flag.
constexpr qint64 MinValueSize = 4 + 1;
// Base64 text at least this long is decoded as its list is read.
constexpr int GradualTextSize = 8 * 1024;
// A map or hash entry is at least an empty key string and the smallest value.
constexpr qint64 MinEntrySize = 4 + MinValueSize;
constexpr quint32 NullLength = 0xffffffff;
// Where a value would end if the reader does not build that type itself.
constexpr qint64 LeftToStream = -2;

constexpr qint64 EpochJulianDay = 2440588;
constexpr qint64 MSecsPerDay = 86400000;
// QDateTime keeps its moment as milliseconds in a qint64 and shifts it by offsets of up to a
// few weeks without checking for overflow; dates this far out are never sent in good faith.
constexpr qint64 MaxDaysFromEpoch = std::numeric_limits<qint64>::max() / MSecsPerDay - 1000;
// QDateTime multiplies an offset by 1000 in int arithmetic.
constexpr qint32 MaxOffsetSeconds = std::numeric_limits<int>::max() / 1000;
// QBitArray keeps one byte for the padding count and computes the size in bits in int.
constexpr quint32 MaxBitCount = quint32(std::numeric_limits<int>::max() / 8 - 1) * 8;
// At its default precision QDataStream writes a float as a double.
constexpr qint64 FloatSize = 8;
// QColor::ExtendedRgb, the last colour model QColor names.
constexpr qint8 LastColorModel = 5;
// The keys a QKeySequence holds.
constexpr quint32 MaxKeys = 4;

// Walks the bytes with its own cursor and checks every count and length against what is left
// before anything is allocated. The numbers, QChar, strings and byte arrays, which make up
// nearly every call, are built here as QDataStream would build them: setting up a stream and
// seeking it costs far more than the value itself. Rarer values are handed to QDataStream over
// exactly the bytes measured for them, which keeps them identical to what `stream >> QVariant`
// gives. The containers of variants are built here too, because QDataStream reserves whatever
// count the sender claims and recurses without limit.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : m_bytes(bytes)
        , m_reserveBudget(bytes.size() / MinValueSize)
    {
    }
    // Reads the bytes of Base64 text as they are decoded.
    explicit Reader(Base64Codec::Gradual *text)
        : Reader(text->bytes())
    {
        m_text = text;
    }

    // The first `leadCount` values go to `lead`, the others to `list`; `total` tells how many
    // there were.
    bool readList(QVariantList *list, int level, QVariant *lead = nullptr, int leadCount = 0,
        quint32 *total = nullptr)
    {
        quint32 count;
        if (!takeCount(&count, MinValueSize))
            return false;
        if (total)
            *total = count;
        const quint32 apart = qMin(count, quint32(leadCount));
        for (quint32 i = 0; i < apart; ++i) {
            if (!readValue(&lead[i], level))
                return false;
        }
        count -= apart;
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
    bool fits(qint64 at, qint64 size) const { return at >= 0 && at <= m_bytes.size() - size; }

    // Every byte is asked for here before it is read.
    bool has(qint64 at, qint64 size) const
    {
        return fits(at, size) && (!m_text || m_text->ensure(at + size));
    }

    const uchar *at(qint64 offset) const
    {
        return reinterpret_cast<const uchar *>(m_bytes.constData()) + offset;
    }

    quint32 u32At(qint64 offset) const { return qFromBigEndian<quint32>(at(offset)); }

    // A fixed-size big-endian number at `offset`, as QDataStream reads it; false when the bytes
    // end first.
    template <typename T> bool numberAt(qint64 offset, T *number) const
    {
        if (!has(offset, sizeof(T)))
            return false;
        *number = qFromBigEndian<T>(at(offset));
        return true;
    }

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
        if (to < 0)
            return false;
        // Most lists hold nothing that needs a stream, and setting one up costs more than
        // reading a typical call.
        if (!m_stream) {
            m_stream.reset(new QDataStream(m_bytes));
            m_stream->setVersion(QDataStream::Qt_5_15);
        }
        if (!m_stream->device()->seek(from))
            return false;
        *m_stream >> *value;
        return m_stream->status() == QDataStream::Ok && m_stream->device()->pos() == to;
    }

    // Reads a string as `stream >> QString` does, into the same null, empty or filled string;
    // where it ends, or -1.
    qint64 readString(qint64 offset, QString *text) const
    {
        if (!has(offset, 4))
            return -1;
        const quint32 length = u32At(offset);
        offset += 4;
        if (length == NullLength) {
            *text = QString();
            return offset;
        }
        if (length % 2 != 0 || !fits(offset, length))
            return -1;
        if (length == 0) {
            *text = QString(QLatin1String(""));
            return offset;
        }
        // The length was checked against the bytes left, so the allocation is backed by input.
        const int size = int(length / 2);
        QString read(size, Qt::Uninitialized);
        if (m_text) {
            if (!m_text->takeUnits(offset, size, reinterpret_cast<ushort *>(read.data())))
                return -1;
        } else {
            qFromBigEndian<quint16>(at(offset), size, read.data());
        }
        *text = std::move(read);
        return offset + length;
    }

    // Reads a byte array as `stream >> QByteArray` does; where it ends, or -1.
    qint64 readBytes(qint64 offset, QByteArray *bytes) const
    {
        if (!has(offset, 4))
            return -1;
        const quint32 length = u32At(offset);
        offset += 4;
        if (length == NullLength) {
            *bytes = QByteArray();
            return offset;
        }
        if (!has(offset, length))
            return -1;
        // QDataStream resizes a cleared array, which leaves an empty one not null: so does this.
        *bytes = QByteArray(reinterpret_cast<const char *>(at(offset)), int(length));
        return offset + length;
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
    // those QtCore cannot read, and everything nobody sends as plain data. Types the host
    // registered stream operators for are refused as well: their readers are the host's own,
    // and bounding their bytes bounds neither the memory they reserve nor how deep they recurse.
    qint64 plainValueEnd(int type, qint64 offset)
    {
        switch (type) {
        case QMetaType::QTime:
            return fixedEnd(offset, 4);
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
        case QMetaType::QLocale:
            return stringEnd(offset);
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

    // A colour: its model, then alpha and four components. QColor keeps whatever model byte it
    // reads; one that QColor does not name is refused.
    qint64 colorEnd(qint64 offset) const
    {
        qint8 model;
        if (!numberAt(offset, &model) || model < 0 || model > LastColorModel)
            return -1;
        return fixedEnd(offset + 1, 5 * 2);
    }

    // QKeySequence reads as many keys as the count says, up to four, and skips none: a larger
    // count would leave the rest of the list out of step.
    qint64 keysEnd(qint64 offset) const
    {
        quint32 count;
        if (!numberAt(offset, &count) || count > MaxKeys)
            return -1;
        return fixedEnd(offset + 4, count * 4);
    }

    // A polygon's point count, then its points. QDataStream reserves the count before it reads
    // a point, so the points are drawn from the same budget as the lists' reservations.
    qint64 pointsEnd(qint64 offset, qint64 pointSize)
    {
        quint32 count;
        if (!numberAt(offset, &count) || count > m_reserveBudget)
            return -1;
        const qint64 end = fixedEnd(offset + 4, count * pointSize);
        if (end >= 0)
            m_reserveBudget -= count;
        return end;
    }

    // Where the value of one of the plain types of Qt GUI ends, -1 if it is cut short or
    // malformed, or LeftToStream for any other type. Every other Qt GUI type is refused:
    // images, icons, colour spaces, fonts, brushes and text formats parse data of unbounded size
    // or nest containers Qt reads without checking their counts.
    qint64 guiValueEnd(int type, qint64 offset)
    {
        switch (type) {
        case QMetaType::QColor:
            return colorEnd(offset);
        case QMetaType::QKeySequence:
            return keysEnd(offset);
        case QMetaType::QPolygon:
            return pointsEnd(offset, 2 * 4);
        case QMetaType::QPolygonF:
            return pointsEnd(offset, 2 * 8);
        case QMetaType::QTransform:
            return fixedEnd(offset, 9 * 8);
        case QMetaType::QMatrix4x4:
            return fixedEnd(offset, 16 * FloatSize);
        case QMetaType::QVector2D:
            return fixedEnd(offset, 2 * FloatSize);
        case QMetaType::QVector3D:
            return fixedEnd(offset, 3 * FloatSize);
        case QMetaType::QVector4D:
        case QMetaType::QQuaternion:
            return fixedEnd(offset, 4 * FloatSize);
        default:
            return LeftToStream;
        }
    }

    // The module links no Qt GUI: QMetaType reads its types only in a process that has it
    // loaded, and elsewhere they are refused. Qt GUI reads a stream over exactly the bytes
    // measured for the value, and must use them all.
    qint64 readGuiValue(int type, bool isNull, qint64 offset, QVariant *value)
    {
        const qint64 end = guiValueEnd(type, offset);
        if (end < 0)
            return end;
        void *data = QMetaType::create(type);
        if (!data)
            return -1;
        QDataStream stream(
            QByteArray::fromRawData(reinterpret_cast<const char *>(at(offset)), int(end - offset)));
        stream.setVersion(QDataStream::Qt_5_15);
        const bool read = QMetaType::load(stream, type, data) && stream.status() == QDataStream::Ok
            && stream.atEnd();
        if (read) {
            *value = QVariant(type, data);
            value->data_ptr().is_null = isNull;
        }
        QMetaType::destroy(type, data);
        return read ? end : -1;
    }

    // A number read as QDataStream reads it into a T, stored as the variant's type `type`.
    // Reads a `Wire` and keeps it as the value of `type`, a `Host`.
    template <typename Wire, typename Host = Wire>
    qint64 readNumber(int type, qint64 offset, QVariant *value) const
    {
        Wire wire;
        if (!numberAt(offset, &wire))
            return -1;
        const Host number = Host(wire);
        *value = QVariant(type, &number);
        return offset + qint64(sizeof(Wire));
    }

    // The same for the types QVariant has a constructor for, which skips its lookup by type.
    template <typename T> qint64 readNumber(qint64 offset, QVariant *value) const
    {
        T number;
        if (!numberAt(offset, &number))
            return -1;
        *value = QVariant(number);
        return offset + qint64(sizeof(T));
    }

    // Builds a value of the common types the way `stream >> QVariant` does, which first makes a
    // default value of the type, then sets the flag and then reads into it: where the value
    // ends, -1 if it is cut short or malformed, or LeftToStream for any other type.
    qint64 readCommonValue(int type, bool isNull, qint64 offset, QVariant *value) const
    {
        qint64 end = -1;
        switch (type) {
        case QMetaType::UnknownType:
            // An invalid variant is null whatever the flag says.
            *value = QVariant();
            return offset;
        case QMetaType::Nullptr:
            *value = QVariant(type, nullptr);
            end = offset;
            break;
        case QMetaType::Bool: {
            quint8 byte;
            if (!numberAt(offset, &byte))
                return -1;
            *value = QVariant(byte != 0);
            end = offset + 1;
            break;
        }
        // QVariant keeps char, signed char and unsigned char apart; each is one byte on the wire.
        case QMetaType::Char:
            end = readNumber<quint8, char>(type, offset, value);
            break;
        case QMetaType::SChar:
            end = readNumber<qint8>(type, offset, value);
            break;
        case QMetaType::UChar:
            end = readNumber<quint8>(type, offset, value);
            break;
        case QMetaType::Short:
            end = readNumber<qint16>(type, offset, value);
            break;
        case QMetaType::UShort:
            end = readNumber<quint16>(type, offset, value);
            break;
        case QMetaType::Int:
            end = readNumber<qint32>(offset, value);
            break;
        case QMetaType::UInt:
            end = readNumber<quint32>(offset, value);
            break;
        case QMetaType::LongLong:
            end = readNumber<qlonglong>(offset, value);
            break;
        case QMetaType::ULongLong:
            end = readNumber<qulonglong>(offset, value);
            break;
        // QDataStream writes long as 64 bits whatever its size, and narrows it again on reading
        // where long is 32 bits.
        case QMetaType::Long:
            end = readNumber<qint64, long>(type, offset, value);
            break;
        case QMetaType::ULong:
            end = readNumber<quint64, ulong>(type, offset, value);
            break;
        // At its default precision QDataStream writes a float as a double and narrows it again.
        case QMetaType::Float:
        case QMetaType::Double: {
            quint64 bits;
            if (!numberAt(offset, &bits))
                return -1;
            double number;
            std::memcpy(&number, &bits, sizeof number);
            if (type == QMetaType::Float)
                *value = QVariant(float(number));
            else
                *value = QVariant(number);
            end = offset + 8;
            break;
        }
        case QMetaType::QChar: {
            quint16 unit;
            if (!numberAt(offset, &unit))
                return -1;
            *value = QVariant(QChar(unit));
            end = offset + 2;
            break;
        }
        case QMetaType::QString: {
            QString text;
            end = readString(offset, &text);
            if (end < 0)
                return -1;
            *value = QVariant(text);
            break;
        }
        case QMetaType::QByteArray: {
            QByteArray bytes;
            end = readBytes(offset, &bytes);
            if (end < 0)
                return -1;
            *value = QVariant(bytes);
            break;
        }
        default:
            return LeftToStream;
        }
        if (end < 0)
            return -1;
        // The flag is kept as sent, even where the value says otherwise, and written back.
        value->data_ptr().is_null = isNull;
        return end;
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
            const qint64 end = readBytes(offset, &name);
            if (end < 0 || !SignatureLimits::accepts(name))
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
            qint64 end = readCommonValue(type, isNull, offset, value);
            if (end == LeftToStream)
                end = readGuiValue(type, isNull, offset, value);
            if (end == LeftToStream) {
                end = plainValueEnd(type, offset);
                if (!streamRead(start, end, value))
                    return false;
            }
            if (end < 0)
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
            const qint64 keyEnd = readString(m_pos, &key);
            if (keyEnd < 0)
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
    Base64Codec::Gradual *m_text = nullptr;
    // Made on the first value that needs it.
    std::unique_ptr<QDataStream> m_stream;
    qint64 m_pos = 0;
    // Elements that may still be reserved in advance, over all lists and polygons together.
    qint64 m_reserveBudget;
};

} // namespace

bool ValueListDecoder::decode(const QByteArray &bytes, QVariantList *values)
{
    return decode(bytes, nullptr, 0, values, nullptr);
}

namespace {

bool readAll(Reader &&reader, QVariant *lead, int leadCount, QVariantList *rest, int *count)
{
    rest->clear();
    QVariantList list;
    quint32 total = 0;
    if (!reader.readList(&list, 1, lead, leadCount, &total)) {
        std::fill(lead, lead + leadCount, QVariant());
        return false;
    }
    *rest = std::move(list);
    if (count)
        *count = int(total);
    return true;
}

} // namespace

bool ValueListDecoder::decode(
    const QByteArray &bytes, QVariant *lead, int leadCount, QVariantList *rest, int *count)
{
    return readAll(Reader(bytes), lead, leadCount, rest, count);
}

bool ValueListDecoder::decodeBase64(const QByteArray &text, Base64Codec::Mode mode,
    QVariant *lead, int leadCount, QVariantList *rest, int *count)
{
    // Setting up decoding as the list is read only pays for a text that may hold a long string.
    if (text.size() >= GradualTextSize) {
        Base64Codec::Gradual gradual(text);
        if (gradual.isTaken()) {
            const bool read = readAll(Reader(&gradual), lead, leadCount, rest, count);
            // Only when every character is in the alphabet is the text decoded as it was read;
            // otherwise it is read again as the codec decodes such text.
            if (gradual.finish())
                return read;
        }
    }
    const Base64Codec::Reused decoded(text, mode);
    // Text the codec refuses holds no bytes, which no list is read from.
    return readAll(Reader(decoded.isValid() ? decoded.bytes() : QByteArray()), lead, leadCount,
        rest, count);
}

bool ValueListDecoder::decodeBase64(
    const QByteArray &text, Base64Codec::Mode mode, QVariantList *values)
{
    return decodeBase64(text, mode, nullptr, 0, values, nullptr);
}
