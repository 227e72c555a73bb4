#ifndef VALUELISTENCODER_H
#define VALUELISTENCODER_H

#include <QtCore/QByteArray>
#include <QtCore/QVariantList>

#include "base64codec.h"

#include <memory>

class QDataStream;

// Writes value lists byte for byte as QDataStream (Qt 5.15 default version, big-endian) writes
// them: `encode(list)` gives what `stream << list` gives, and a count followed by values one by
// one gives what the same `stream << quint32(count) << value << ...` gives, so a list can be
// written without first being gathered into a QVariantList.
//
// The numbers, QChar, strings, byte arrays and lists, maps, hashes and variants of those are
// written here; every other value is handed to QDataStream, which also writes what it writes
// for a value it cannot save: callers that must not send such a value check for it first.
//
//     ValueListEncoder writer;
//     writer.writeCount(2);
//     writer.write(QVariant());
//     writer.write(QStringLiteral("ping()"));
//     const QByteArray bytes = writer.take();
class ValueListEncoder
{
public:
    ValueListEncoder();
    // Writes over `room`, keeping its capacity: a buffer handed from one use to the next
    // spares a large value fresh memory, whose first touch costs a page fault every 4 KiB.
    explicit ValueListEncoder(QByteArray room);
    // The same, writing as Base64 to `text` as it goes: a long string is then encoded straight
    // from its characters. take() gives what is not yet written there, which the caller appends
    // before it finishes `text`.
    ValueListEncoder(QByteArray room, Base64Codec::Writer *text);
    ~ValueListEncoder();
    // The stream for other values writes into this object's own buffer.
    ValueListEncoder(const ValueListEncoder &) = delete;
    ValueListEncoder &operator=(const ValueListEncoder &) = delete;

    // The room of the calling thread's last output handed to recycle(), for the constructor
    // above, when KeptBuffer's rule lets it be reused; empty otherwise.
    static QByteArray threadRoom();
    // Keeps `output`'s room for the thread's next writer, as KeptBuffer says.
    static void recycle(const QByteArray &output);

    // The bytes of `stream << values`, or a null array if they would not fit in a QByteArray.
    static QByteArray encode(const QVariantList &values);

    // Makes room for `size` bytes in all, for a caller that knows what it usually writes.
    void reserve(int size);
    // A list's count as QDataStream writes it before the list's values.
    void writeCount(quint32 count);
    // One value as `stream << value` writes it.
    void write(const QVariant &value);

    // Everything written since the last take(), or a null array if it would not fit in a
    // QByteArray or QDataStream failed to write a value; the writer then starts afresh.
    QByteArray take();

private:
    char *extend(qint64 size);
    void writeHeader(quint32 typeId, bool isNull);
    void writeString(const QString &text);
    void writeBytes(const QByteArray &bytes);
    template <typename Number> void writeNumber(Number number);
    void writeMap(const QVariantMap &entries);
    void writeHash(const QVariantHash &entries);
    void writeByStream(const QVariant &value);
    void passOn();

    // Its first m_size bytes are the output; the rest is room to write into.
    QByteArray m_bytes;
    int m_size = 0;
    Base64Codec::Writer *m_text = nullptr;
    // What was passed on to m_text before the first of m_bytes.
    qint64 m_passed = 0;
    // Made on the first value that needs it, and writing into m_bytes.
    std::unique_ptr<QDataStream> m_stream;
    bool m_failed = false;
};

#endif
