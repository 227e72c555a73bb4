#include "valuelistencoder.h"

#include "keptbuffer.h"

#include <QtCore/QDataStream>
#include <QtCore/QIODevice>
#include <QtCore/QMetaType>
#include <QtCore/QVarLengthArray>
#include <QtCore/QtEndian>

#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr quint32 NullLength = 0xffffffff;
// A string at least this long goes to a Base64 writer without being written out first.
constexpr qint64 StreamedStringSize = 4096;
// What a QByteArray can hold, with room to spare for its header on any platform: an output
// that would grow past it fails as a whole instead of overflowing a size.
constexpr qint64 MaxSize = std::numeric_limits<int>::max() - 64;

} // namespace

ValueListEncoder::ValueListEncoder() = default;

ValueListEncoder::ValueListEncoder(QByteArray room)
    : m_bytes(std::move(room))
{
    m_bytes.resize(m_bytes.capacity());
}

ValueListEncoder::ValueListEncoder(QByteArray room, Base64Codec::Writer *text)
    : ValueListEncoder(std::move(room))
{
    m_text = text;
}

ValueListEncoder::~ValueListEncoder() = default;

namespace {
thread_local KeptBuffer recycledRoom;
}

QByteArray ValueListEncoder::threadRoom()
{
    return recycledRoom.take();
}

void ValueListEncoder::recycle(const QByteArray &output)
{
    recycledRoom.keep(output);
}

QByteArray ValueListEncoder::encode(const QVariantList &values)
{
    ValueListEncoder writer;
    writer.writeCount(quint32(values.size()));
    for (const QVariant &value : values)
        writer.write(value);
    return writer.take();
}

void ValueListEncoder::reserve(int size)
{
    if (size > m_bytes.size())
        m_bytes.resize(size);
}

void ValueListEncoder::writeCount(quint32 count)
{
    writeNumber(count);
}

void ValueListEncoder::write(const QVariant &value)
{
    const int type = value.userType();
    const bool isNull = value.data_ptr().is_null;
    const void *data = value.constData();
    switch (type) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        writeHeader(quint32(type), isNull);
        return;
    case QMetaType::Bool:
        writeHeader(quint32(type), isNull);
        writeNumber(quint8(*static_cast<const bool *>(data) ? 1 : 0));
        return;
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        writeHeader(quint32(type), isNull);
        writeNumber(*static_cast<const quint8 *>(data));
        return;
    case QMetaType::Short:
    case QMetaType::UShort:
        writeHeader(quint32(type), isNull);
        writeNumber(*static_cast<const quint16 *>(data));
        return;
    case QMetaType::Int:
    case QMetaType::UInt:
        writeHeader(quint32(type), isNull);
        writeNumber(*static_cast<const quint32 *>(data));
        return;
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        writeHeader(quint32(type), isNull);
        writeNumber(*static_cast<const quint64 *>(data));
        return;
    // QDataStream widens long to 64 bits where it is 32.
    case QMetaType::Long:
        writeHeader(quint32(type), isNull);
        writeNumber(qint64(*static_cast<const long *>(data)));
        return;
    case QMetaType::ULong:
        writeHeader(quint32(type), isNull);
        writeNumber(quint64(*static_cast<const ulong *>(data)));
        return;
    // At its default precision QDataStream writes a float as a double.
    case QMetaType::Float:
    case QMetaType::Double: {
        const double number = type == QMetaType::Float ? double(*static_cast<const float *>(data))
                                                       : *static_cast<const double *>(data);
        quint64 bits;
        std::memcpy(&bits, &number, sizeof bits);
        writeHeader(quint32(type), isNull);
        writeNumber(bits);
        return;
    }
    case QMetaType::QChar:
        writeHeader(quint32(type), isNull);
        writeNumber(quint16(static_cast<const QChar *>(data)->unicode()));
        return;
    case QMetaType::QString:
        writeHeader(quint32(type), isNull);
        writeString(*static_cast<const QString *>(data));
        return;
    case QMetaType::QByteArray:
        writeHeader(quint32(type), isNull);
        writeBytes(*static_cast<const QByteArray *>(data));
        return;
    case QMetaType::QVariantList: {
        writeHeader(quint32(type), isNull);
        const QVariantList &items = *static_cast<const QVariantList *>(data);
        writeCount(quint32(items.size()));
        for (const QVariant &item : items)
            write(item);
        return;
    }
    case QMetaType::QVariantMap:
        writeHeader(quint32(type), isNull);
        writeMap(*static_cast<const QVariantMap *>(data));
        return;
    case QMetaType::QVariantHash:
        writeHeader(quint32(type), isNull);
        writeHash(*static_cast<const QVariantHash *>(data));
        return;
    case QMetaType::QVariant:
        writeHeader(quint32(type), isNull);
        write(*static_cast<const QVariant *>(data));
        return;
    // Custom types go by name and their own stream operators, and the other built-in types are
    // rare in calls: QDataStream writes them whole.
    default:
        writeByStream(value);
        return;
    }
}

QByteArray ValueListEncoder::take()
{
    // The stream points into m_bytes.
    m_stream.reset();
    QByteArray bytes;
    if (!m_failed) {
        m_bytes.resize(m_size);
        bytes = std::move(m_bytes);
    }
    m_bytes = QByteArray();
    m_size = 0;
    m_passed = 0;
    m_failed = false;
    return bytes;
}

// Room for `size` more bytes at the end, or null once anything failed: after a failure nothing
// more is written, as QDataStream writes nothing once its status is not Ok. The array is kept
// at its capacity and only m_size of it counts, so that a small value costs no call into
// QByteArray.
char *ValueListEncoder::extend(qint64 size)
{
    if (m_failed || size > MaxSize - m_passed - m_size) {
        m_failed = true;
        return nullptr;
    }
    const qint64 end = m_size + size;
    if (end > m_bytes.size()) {
        // Doubling keeps appending linear; a large value gets just the room it needs.
        const qint64 doubled = qMin(MaxSize, qMax<qint64>(64, 2 * qint64(m_bytes.size())));
        m_bytes.resize(int(qMax(end, doubled)));
    }
    char *out = m_bytes.data() + m_size;
    m_size = int(end);
    return out;
}

void ValueListEncoder::writeHeader(quint32 typeId, bool isNull)
{
    if (char *out = extend(4 + 1)) {
        qToBigEndian(typeId, out);
        out[4] = isNull ? 1 : 0;
    }
}

template <typename Number> void ValueListEncoder::writeNumber(Number number)
{
    if (char *out = extend(sizeof number))
        qToBigEndian(number, out);
}

void ValueListEncoder::writeString(const QString &text)
{
    if (text.isNull()) {
        writeNumber(NullLength);
        return;
    }
    const qint64 size = qint64(text.size()) * 2;
    if (m_text && size >= StreamedStringSize) {
        if (m_failed || size > MaxSize - 4 - m_passed - m_size) {
            m_failed = true;
            return;
        }
        writeNumber(quint32(size));
        passOn();
        m_text->appendBigEndian16(text.utf16(), text.size());
        m_passed += size;
        return;
    }
    if (char *out = extend(4 + size)) {
        qToBigEndian(quint32(size), out);
        qToBigEndian<quint16>(text.constData(), text.size(), out + 4);
    }
}

void ValueListEncoder::passOn()
{
    if (m_failed)
        return;
    m_text->append(m_bytes.constData(), m_size);
    m_passed += m_size;
    m_size = 0;
}

void ValueListEncoder::writeBytes(const QByteArray &bytes)
{
    if (bytes.isNull()) {
        writeNumber(NullLength);
        return;
    }
    if (char *out = extend(4 + qint64(bytes.size()))) {
        qToBigEndian(quint32(bytes.size()), out);
        std::memcpy(out + 4, bytes.constData(), size_t(bytes.size()));
    }
}

// QtCore writes a map or hash from its last entry back to its first, so that reading it back
// in order leaves the most recently inserted of repeated keys in front.
void ValueListEncoder::writeMap(const QVariantMap &entries)
{
    writeCount(quint32(entries.size()));
    for (auto it = entries.cend(); it != entries.cbegin();) {
        --it;
        writeString(it.key());
        write(it.value());
    }
}

// QHash's backward iteration is deprecated, but it only ever retraces the forward order.
void ValueListEncoder::writeHash(const QVariantHash &entries)
{
    writeCount(quint32(entries.size()));
    QVarLengthArray<QVariantHash::const_iterator, 16> order;
    order.reserve(entries.size());
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        order.append(it);
    for (int i = order.size() - 1; i >= 0; --i) {
        writeString(order.at(i).key());
        write(order.at(i).value());
    }
}

void ValueListEncoder::writeByStream(const QVariant &value)
{
    if (m_failed)
        return;
    // The stream appends to the array as it is, so it must end where the output does.
    m_bytes.resize(m_size);
    if (!m_stream) {
        m_stream.reset(new QDataStream(&m_bytes, QIODevice::WriteOnly));
        m_stream->setVersion(QDataStream::Qt_5_15);
    }
    // What was written here since the stream's last value lies beyond its position.
    if (!m_stream->device()->seek(m_size)) {
        m_failed = true;
        return;
    }
    *m_stream << value;
    m_size = m_bytes.size();
    if (m_stream->status() != QDataStream::Ok)
        m_failed = true;
}
