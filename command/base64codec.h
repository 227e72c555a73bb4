#ifndef BASE64CODEC_H
#define BASE64CODEC_H

#include <QtCore/QByteArray>
#include <QtCore/QVector>

// Base64 (standard alphabet, padded) as QByteArray writes and reads it, only faster: Qt 5
// spends some 25 instructions a character, which dominates calls that carry large values.
// Text that is not plainly canonical (characters outside the alphabet, padding anywhere but at
// the end, a length that is no multiple of four) is left to Qt, so every result is Qt's.
class Base64Codec
{
public:
    // As QByteArray::toBase64().
    static QByteArray encode(const QByteArray &bytes);
    // The same, written over what `text` holds from `offset` on: a buffer kept for reuse
    // keeps its room, and what comes before the offset stays.
    static void encode(const QByteArray &bytes, QByteArray *text, int offset = 0);
    // Base64 written piece by piece, the same as encode() gives for the pieces joined, after
    // the first `offset` bytes of `text`, which keeps its room when it has some. A string's
    // UTF-16 goes in big-endian as it is encoded: the bytes never lie whole in memory.
    class Writer
    {
    public:
        Writer(QByteArray *text, int offset);
        Writer(const Writer &) = delete;
        Writer &operator=(const Writer &) = delete;

        void append(const char *bytes, int size);
        void appendBigEndian16(const ushort *units, int count);
        // Ends the text, padded; false when it would not fit in a QByteArray.
        bool finish();

    private:
        char *room(qint64 bytes);

        QByteArray *m_text;
        qint64 m_size;
        quint8 m_carry[3] = {};
        int m_carried = 0;
        bool m_failed = false;
    };

    // Readies a buffer kept from one text to the next to be written over: it is emptied
    // when KeptBuffer's rule says it may not be reused.
    static void prepareReuse(QByteArray *buffer);
    // As QByteArray::fromBase64(): characters outside the alphabet are skipped.
    static QByteArray decode(const QByteArray &text);
    // As QByteArray::fromBase64Encoding() with AbortOnBase64DecodingErrors; false on an error,
    // and then `bytes` holds anything.
    static bool decodeStrict(const QByteArray &text, QByteArray *bytes);

    // The loops that encode, and decode canonical text: vector ones where the processor has
    // them, the fastest of which is used unless the tests, the fuzzer or the benchmark choose.
    enum class Path { Scalar, Ssse3, Avx2, Avx512Vbmi };
    // Those this build and processor offer, fastest last.
    static QVector<Path> availablePaths();
    // False, with nothing changed, for a path not offered. For the whole process.
    static bool setPath(Path path);

    enum class Mode { Lenient, Strict };
    // Decoded bytes that are read once and dropped, in a buffer the thread keeps from one use
    // to the next as KeptBuffer says: fresh memory for a value of megabytes costs more than the
    // decoding itself.
    class Reused
    {
    public:
        Reused(const QByteArray &text, Mode mode);
        ~Reused();
        Reused(const Reused &) = delete;
        Reused &operator=(const Reused &) = delete;

        // False when strict decoding failed.
        bool isValid() const { return m_valid; }
        const QByteArray &bytes() const { return m_bytes; }

    private:
        QByteArray m_bytes;
        bool m_valid = true;
    };

    // The bytes of canonical text, decoded only as far as they are asked for, so that a long
    // string among them can be decoded straight into the string's own memory. Text that is not
    // plainly canonical (see above) is not taken, and is left to Reused.
    class Gradual
    {
    public:
        explicit Gradual(const QByteArray &text);
        ~Gradual();
        Gradual(const Gradual &) = delete;
        Gradual &operator=(const Gradual &) = delete;

        bool isTaken() const { return m_text != nullptr; }
        // All the decoded bytes, of which those not yet asked for hold anything.
        const QByteArray &bytes() const { return m_view; }
        // Decodes the bytes up to `end`; false once a character is outside the alphabet.
        bool ensure(qint64 end);
        // The `count` big-endian UTF-16 units from `offset` on, decoded into `units` in the
        // processor's order; their bytes in bytes() may then hold anything. Bytes before them
        // that are not decoded yet must not be asked for later either.
        bool takeUnits(qint64 offset, int count, ushort *units);
        // Decodes the rest; false when the text holds a character outside the alphabet.
        bool finish();

    private:
        bool decodeTo(qint64 end);

        const quint8 *m_text = nullptr;
        QByteArray m_bytes;
        QByteArray m_view;
        // The bytes of the groups without padding, and of all.
        qint64 m_whole = 0;
        qint64 m_size = 0;
        int m_padding = 0;
        // Decoded from the start up to here: group by group, then through the padded group.
        qint64 m_decoded = 0;
        bool m_invalid = false;
    };

private:
    static void decode(const QByteArray &text, QByteArray *bytes);
    static bool decodeCanonical(const QByteArray &text, QByteArray *bytes);
};

#endif
