#include "base64codec.h"

#include "base64simd.h"
#include "keptbuffer.h"

#include <QtCore/QtEndian>

#include <array>
#include <atomic>
#include <cstring>
#include <limits>

namespace {

// What a QByteArray can hold, with room to spare for its header on any platform.
constexpr qint64 MaxTextSize = std::numeric_limits<int>::max() - 64;

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit half of a 3-byte group, the first in the low byte: one
// look-up gives two.
constexpr std::array<quint16, 4096> pairTable()
{
    std::array<quint16, 4096> table {};
    for (int i = 0; i < 4096; ++i)
        table[size_t(i)] = quint16(quint8(Alphabet[i >> 6]) | quint8(Alphabet[i & 63]) << 8);
    return table;
}

constexpr std::array<quint16, 4096> Pairs = pairTable();

// The same pairs in the upper half of a word: a group's four characters are then one OR of two
// look-ups, with no shift.
constexpr std::array<quint32, 4096> highPairTable()
{
    std::array<quint32, 4096> table {};
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = quint32(Pairs[i]) << 16;
    return table;
}

constexpr std::array<quint32, 4096> HighPairs = highPairTable();

// The four characters of the three bytes at `in`, as a number to store little-endian. Reads the
// byte after them too, which must exist.
inline quint32 encodeThree(const quint8 *in)
{
    const quint32 bits = qFromBigEndian<quint32>(in);
    return Pairs[bits >> 20] | HighPairs[(bits >> 8) & 0xfff];
}

// A character's six bits already moved to where they go in a 24-bit group, one table for each
// of the four places; a character outside the alphabet sets a bit above the group instead, so
// one test after the whole text tells whether any was invalid.
constexpr quint32 Invalid = 1u << 24;

constexpr std::array<quint32, 256> shiftedValues(int shift)
{
    std::array<quint32, 256> table {};
    for (auto &entry : table)
        entry = Invalid;
    for (int i = 0; i < 64; ++i)
        table[quint8(Alphabet[i])] = quint32(i) << shift;
    return table;
}

constexpr std::array<quint32, 256> First = shiftedValues(18);
constexpr std::array<quint32, 256> Second = shiftedValues(12);
constexpr std::array<quint32, 256> Third = shiftedValues(6);
constexpr std::array<quint32, 256> Fourth = shiftedValues(0);

// The twelve bits of every pair of characters, indexed by the two as they lie in memory (the
// first in the low byte), or -1 where either is outside the alphabet. Two look-ups then cover
// four characters, against four with the tables above; and -1, widened, sets every bit above
// the place its pair goes to, so one test after the loop still finds any invalid character.
// 128 KiB, of which text in the alphabet touches some 12 KiB: built on first use rather than at
// compile time, which would put it in the binary and strain compilers' constexpr limits.
struct PairValues
{
    qint16 value[65536];

    // A row for each second character, from one row of first characters' values: -1 absorbs
    // what is ORed into it, so the loop stays plain enough for the compiler to vectorize, and
    // the first use costs some fifty thousand instructions rather than a million.
    PairValues()
    {
        qint16 firsts[256];
        for (size_t c = 0; c < 256; ++c)
            firsts[c] = Fourth[c] & Invalid ? qint16(-1) : qint16(Fourth[c] << 6);
        for (size_t c = 0; c < 256; ++c) {
            qint16 *row = value + 256 * c;
            const qint16 second = Fourth[c] & Invalid ? qint16(-1) : qint16(Fourth[c]);
            for (size_t first = 0; first < 256; ++first)
                row[first] = qint16(firsts[first] | second);
        }
    }
};

const qint16 *pairValues()
{
    static const PairValues table;
    return table.value;
}

// Characters 8 to 8 * chunks, eight at a time and from the last eight backwards: the six bytes
// of each eight go out as one 64-bit store whose first two bytes fall on the eight before, which
// is written next and overwrites them. The loop is bound by its instruction count, and
// narrower stores, or a shift to put the bytes at the top, would add to it. The first eight are
// left to the caller, since their store would begin before the buffer. False if any character
// is outside the alphabet.
bool decodeChunks(const quint8 *in, int chunks, quint8 *out)
{
    const qint16 *pairs = pairValues();
    const auto chunk = [pairs, in](int k) {
        const quint8 *at = in + 8 * k;
        return quint64(pairs[qFromLittleEndian<quint16>(at)]) << 36
            | quint64(pairs[qFromLittleEndian<quint16>(at + 2)]) << 24
            | quint64(pairs[qFromLittleEndian<quint16>(at + 4)]) << 12
            | quint64(pairs[qFromLittleEndian<quint16>(at + 6)]);
    };
    quint64 invalid = 0;
    int k = chunks - 1;
    for (; k >= 4; k -= 4) {
        const quint64 first = chunk(k);
        const quint64 second = chunk(k - 1);
        const quint64 third = chunk(k - 2);
        const quint64 fourth = chunk(k - 3);
        invalid |= first | second | third | fourth;
        qToBigEndian(first, out + 6 * k - 2);
        qToBigEndian(second, out + 6 * k - 8);
        qToBigEndian(third, out + 6 * k - 14);
        qToBigEndian(fourth, out + 6 * k - 20);
    }
    for (; k >= 1; --k) {
        const quint64 bits = chunk(k);
        invalid |= bits;
        qToBigEndian(bits, out + 6 * k - 2);
    }
    return (invalid >> 48) == 0;
}

// The fastest path unless told otherwise, looked for on first use: that may come before main.
std::atomic<Base64Codec::Path> &chosenPath()
{
    static std::atomic<Base64Codec::Path> path { Base64Codec::availablePaths().constLast() };
    return path;
}

// The vector loops of a path, which take what they can from the start of the text or bytes and
// say how much they took, or -1 for text with a character outside the alphabet. The scalar path
// has none that take anything: the scalar loops of encode() and decodeCanonical() do all.
struct VectorLoops
{
    int (*encode)(const quint8 *in, int size, char *out);
    int (*encodeSwapped)(const quint8 *units, int from, int size, char *out);
    int (*decode)(const quint8 *in, int size, quint8 *out);
    int (*decodeSwapped)(const quint8 *in, int size, quint8 *out);
};

int encodeNone(const quint8 *, int, char *)
{
    return 0;
}

int encodeSwappedNone(const quint8 *, int, int, char *)
{
    return 0;
}

int decodeNone(const quint8 *, int, quint8 *)
{
    return 0;
}

VectorLoops chosenLoops()
{
    switch (chosenPath().load(std::memory_order_relaxed)) {
#ifdef BASE64_AVX512_VBMI
    case Base64Codec::Path::Avx512Vbmi:
        return { Base64Simd::encodeAvx512Vbmi, Base64Simd::encodeSwappedAvx512Vbmi,
            Base64Simd::decodeAvx512Vbmi, Base64Simd::decodeSwappedAvx512Vbmi };
#endif
#ifdef BASE64_SIMD
    case Base64Codec::Path::Avx2:
        return { Base64Simd::encodeAvx2, Base64Simd::encodeSwappedAvx2, Base64Simd::decodeAvx2,
            Base64Simd::decodeSwappedAvx2 };
    case Base64Codec::Path::Ssse3:
        return { Base64Simd::encodeSsse3, Base64Simd::encodeSwappedSsse3, Base64Simd::decodeSsse3,
            Base64Simd::decodeSwappedSsse3 };
#endif
    default:
        return { encodeNone, encodeSwappedNone, decodeNone, decodeNone };
    }
}

// The last one or two bytes at `in`, if `size` says there are any, as a padded group at `out`.
void encodeLast(const quint8 *in, int size, char *out)
{
    if (size == 0)
        return;
    const bool two = size == 2;
    const quint32 group = quint32(in[0]) << 16 | (two ? quint32(in[1]) << 8 : 0);
    out[0] = Alphabet[group >> 18];
    out[1] = Alphabet[(group >> 12) & 63];
    out[2] = two ? Alphabet[(group >> 6) & 63] : '=';
    out[3] = '=';
}

// Encodes the `size` bytes at `in`, a multiple of three, four characters a group at `out`.
void encodeGroups(const quint8 *in, int size, char *out)
{
    int i = chosenLoops().encode(in, size, out);
    out += i / 3 * 4;
    // Eight groups a round, two to each 64-bit store: 32-bit stores side by side tempt the
    // compiler into assembling them in a vector register, which costs more than it saves. The
    // last group reads one byte past itself.
    for (; i + 25 <= size; i += 24) {
        qToLittleEndian(quint64(encodeThree(in + i)) | quint64(encodeThree(in + i + 3)) << 32, out);
        qToLittleEndian(
            quint64(encodeThree(in + i + 6)) | quint64(encodeThree(in + i + 9)) << 32, out + 8);
        qToLittleEndian(
            quint64(encodeThree(in + i + 12)) | quint64(encodeThree(in + i + 15)) << 32, out + 16);
        qToLittleEndian(
            quint64(encodeThree(in + i + 18)) | quint64(encodeThree(in + i + 21)) << 32, out + 24);
        out += 32;
    }
    for (; i < size; i += 3) {
        const quint32 group = quint32(in[i]) << 16 | quint32(in[i + 1]) << 8 | in[i + 2];
        qToLittleEndian(quint32(Pairs[group >> 12]) | quint32(Pairs[group & 0xfff]) << 16, out);
        out += 4;
    }
}

} // namespace

QVector<Base64Codec::Path> Base64Codec::availablePaths()
{
    QVector<Path> paths { Path::Scalar };
#ifdef BASE64_SIMD
    if (Base64Simd::hasSsse3())
        paths.append(Path::Ssse3);
    if (Base64Simd::hasAvx2())
        paths.append(Path::Avx2);
#endif
#ifdef BASE64_AVX512_VBMI
    if (Base64Simd::hasAvx512Vbmi())
        paths.append(Path::Avx512Vbmi);
#endif
    return paths;
}

bool Base64Codec::setPath(Path path)
{
    if (!availablePaths().contains(path))
        return false;
    chosenPath().store(path, std::memory_order_relaxed);
    return true;
}

QByteArray Base64Codec::encode(const QByteArray &bytes)
{
    QByteArray text;
    encode(bytes, &text);
    return text;
}

void Base64Codec::encode(const QByteArray &bytes, QByteArray *text, int offset)
{
    const auto *in = reinterpret_cast<const quint8 *>(bytes.constData());
    const int whole = bytes.size() / 3 * 3;
    text->resize(offset + (bytes.size() + 2) / 3 * 4);
    char *out = text->data() + offset;
    encodeGroups(in, whole, out);
    encodeLast(in + whole, bytes.size() - whole, out + whole / 3 * 4);
}

Base64Codec::Writer::Writer(QByteArray *text, int offset)
    : m_text(text)
    , m_size(offset)
{
    // Written over: a kept buffer's room is all there to use.
    m_text->resize(qMax(offset, int(m_text->capacity())));
}

char *Base64Codec::Writer::room(qint64 bytes)
{
    const qint64 end = m_size + (bytes + 2) / 3 * 4;
    if (m_failed || end > MaxTextSize) {
        m_failed = true;
        return nullptr;
    }
    if (end > m_text->size()) {
        // Doubling keeps writing piece by piece linear.
        m_text->resize(int(qMin<qint64>(MaxTextSize, qMax(end, 2 * qint64(m_text->size())))));
    }
    return m_text->data() + m_size;
}

void Base64Codec::Writer::append(const char *bytes, int size)
{
    const auto *in = reinterpret_cast<const quint8 *>(bytes);
    if (m_carried > 0) {
        while (m_carried < 3 && size > 0) {
            m_carry[m_carried++] = *in++;
            --size;
        }
        if (m_carried < 3)
            return;
        char *out = room(3);
        if (!out)
            return;
        encodeGroups(m_carry, 3, out);
        m_size += 4;
        m_carried = 0;
    }
    const int whole = size / 3 * 3;
    char *out = room(whole);
    if (!out)
        return;
    encodeGroups(in, whole, out);
    m_size += whole / 3 * 4;
    for (int i = whole; i < size; ++i)
        m_carry[m_carried++] = in[i];
}

void Base64Codec::Writer::appendBigEndian16(const ushort *units, int count)
{
    const int size = count * 2;
    if (!room(qint64(size) + m_carried))
        return;
    int from = 0;
    // The vector loops swap the bytes as they encode them, from a whole group on.
    if (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
        const auto *bytes = reinterpret_cast<const quint8 *>(units);
        if (m_carried > 0) {
            const quint8 first[2] = { bytes[1], bytes[0] };
            from = qMin(3 - m_carried, size);
            append(reinterpret_cast<const char *>(first), from);
        }
        const int encoded = chosenLoops().encodeSwapped(
            bytes, from, (size - from) / 3 * 3, m_text->data() + m_size);
        m_size += encoded / 3 * 4;
        from += encoded;
    }
    // The rest is swapped a cache-sized piece at a time and read back at once.
    constexpr int Piece = 4096;
    quint16 swapped[Piece];
    while (from < size) {
        const int first = from / 2;
        const int n = qMin(count - first, Piece);
        qToBigEndian<quint16>(units + first, n, swapped);
        const int skipped = from % 2;
        append(reinterpret_cast<const char *>(swapped) + skipped, n * 2 - skipped);
        from = (first + n) * 2;
    }
}

bool Base64Codec::Writer::finish()
{
    char *out = room(m_carried);
    if (!out)
        return false;
    if (m_carried > 0) {
        encodeLast(m_carry, m_carried, out);
        m_size += 4;
        m_carried = 0;
    }
    m_text->resize(int(m_size));
    return true;
}

void Base64Codec::prepareReuse(QByteArray *buffer)
{
    if (!KeptBuffer::isReusable(*buffer))
        *buffer = QByteArray();
}

namespace {

// The padding at the end of text of a length divisible by four, which is all that canonical
// text may have: 0, 1 or 2.
int paddingOf(const quint8 *in, int size)
{
    if (size == 0 || in[size - 1] != '=')
        return 0;
    return size > 1 && in[size - 2] == '=' ? 2 : 1;
}

// Decodes `size` characters at `in`, whole groups of the alphabet, into size / 4 * 3 bytes at
// `out`, writing nowhere else; false if any character is outside the alphabet.
bool decodeGroups(const quint8 *in, int size, quint8 *out)
{
    const int vectored = chosenLoops().decode(in, size, out);
    if (vectored < 0)
        return false;
    // What the vector loop left, if there is one, the loops below take.
    const quint8 *rest = in + vectored;
    const int left = size - vectored;
    out += vectored / 4 * 3;
    quint32 invalid = 0;
    const auto groups = [rest, &invalid](int from, int to, quint8 *at) {
        for (int i = from; i < to; i += 4) {
            const quint32 group
                = First[rest[i]] | Second[rest[i + 1]] | Third[rest[i + 2]] | Fourth[rest[i + 3]];
            invalid |= group;
            at[0] = quint8(group >> 16);
            at[1] = quint8(group >> 8);
            at[2] = quint8(group);
            at += 3;
        }
        return at;
    };
    const int chunks = left / 8;
    if (chunks >= 2) {
        if (!decodeChunks(rest, chunks, out))
            return false;
        // The first eight characters only now, as the second eight wrote over their end; then
        // the four left after the last eight, if any.
        groups(0, 8, out);
        groups(8 * chunks, left, out + 6 * chunks);
    } else {
        groups(0, left, out);
    }
    return !(invalid & Invalid);
}

// The last group: two or three characters of the alphabet, then its `padding`, into one or two
// bytes at `out`. Bits past the last whole byte are dropped, as Qt drops them.
bool decodePadded(const quint8 *in, int padding, quint8 *out)
{
    const quint32 group = First[in[0]] | Second[in[1]] | (padding == 1 ? Third[in[2]] : 0);
    out[0] = quint8(group >> 16);
    if (padding == 1)
        out[1] = quint8(group >> 8);
    return !(group & Invalid);
}

} // namespace

bool Base64Codec::decodeCanonical(const QByteArray &text, QByteArray *bytes)
{
    const int size = text.size();
    if (size % 4 != 0)
        return false;
    const auto *in = reinterpret_cast<const quint8 *>(text.constData());
    const int padding = paddingOf(in, size);
    // Written over what `bytes` holds: a buffer kept for reuse keeps its room.
    QByteArray &decoded = *bytes;
    decoded.resize(size / 4 * 3);
    auto *out = reinterpret_cast<quint8 *>(decoded.data());
    const int whole = padding > 0 ? size - 4 : size;
    if (!decodeGroups(in, whole, out)
        || (padding > 0 && !decodePadded(in + whole, padding, out + whole / 4 * 3)))
        return false;
    decoded.resize(size / 4 * 3 - padding);
    return true;
}

QByteArray Base64Codec::decode(const QByteArray &text)
{
    QByteArray bytes;
    decode(text, &bytes);
    return bytes;
}

void Base64Codec::decode(const QByteArray &text, QByteArray *bytes)
{
    if (!decodeCanonical(text, bytes))
        *bytes = QByteArray::fromBase64(text);
}

bool Base64Codec::decodeStrict(const QByteArray &text, QByteArray *bytes)
{
    if (decodeCanonical(text, bytes))
        return true;
    QByteArray::FromBase64Result result
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return false;
    *bytes = std::move(result.decoded);
    return true;
}

namespace {
thread_local KeptBuffer decodedBytes;
}

Base64Codec::Reused::Reused(const QByteArray &text, Mode mode)
{
    const int size = text.size() / 4 * 3;
    m_bytes = decodedBytes.take(size);
    // Reserved, so that resizing keeps the room, shrinking included.
    m_bytes.reserve(size);
    if (mode == Mode::Strict)
        m_valid = decodeStrict(text, &m_bytes);
    else
        decode(text, &m_bytes);
}

Base64Codec::Reused::~Reused()
{
    decodedBytes.keep(m_bytes);
}

Base64Codec::Gradual::Gradual(const QByteArray &text)
{
    const int size = text.size();
    if (size % 4 != 0)
        return;
    m_text = reinterpret_cast<const quint8 *>(text.constData());
    m_padding = paddingOf(m_text, size);
    m_whole = (m_padding > 0 ? size - 4 : size) / 4 * 3;
    m_size = size / 4 * 3 - m_padding;
    m_bytes = decodedBytes.take(size / 4 * 3);
    m_bytes.resize(size / 4 * 3);
    // Filled through m_bytes, which nothing else shares, so that it is never copied.
    m_view = QByteArray::fromRawData(m_bytes.constData(), int(m_size));
}

Base64Codec::Gradual::~Gradual()
{
    m_view = QByteArray();
    decodedBytes.keep(m_bytes);
}

bool Base64Codec::Gradual::decodeTo(qint64 end)
{
    if (m_invalid)
        return false;
    if (end <= m_decoded)
        return true;
    auto *out = reinterpret_cast<quint8 *>(m_bytes.data());
    const qint64 groupsEnd = qMin(end, m_whole);
    if (groupsEnd > m_decoded) {
        if (!decodeGroups(m_text + m_decoded / 3 * 4, int(groupsEnd - m_decoded) / 3 * 4,
                out + m_decoded)) {
            m_invalid = true;
            return false;
        }
        m_decoded = groupsEnd;
    }
    if (end > m_whole && m_padding > 0) {
        if (!decodePadded(m_text + m_whole / 3 * 4, m_padding, out + m_whole)) {
            m_invalid = true;
            return false;
        }
        m_decoded = m_size;
    }
    return true;
}

bool Base64Codec::Gradual::ensure(qint64 end)
{
    // A few kilobytes at a time: asking costs a comparison, decoding a call per piece.
    constexpr qint64 Piece = 3 * 1024;
    if (end <= m_decoded)
        return !m_invalid;
    return decodeTo(qMin(m_size, (qMax(end, m_decoded + Piece) + 2) / 3 * 3));
}

bool Base64Codec::Gradual::takeUnits(qint64 offset, int count, ushort *units)
{
    const qint64 end = offset + 2 * qint64(count);
    auto *out = reinterpret_cast<quint8 *>(units);
    qint64 from = offset;
    // Whole groups not yet decoded go straight into the units, from the first that starts an
    // even number of bytes into them.
    qint64 start = qMax(m_decoded, (offset + 2) / 3 * 3);
    if ((start - offset) % 2 != 0)
        start += 3;
    const qint64 stop = start + qMax<qint64>(0, end - start) / 3 * 3;
    if (QSysInfo::ByteOrder == QSysInfo::LittleEndian && stop > start && stop <= m_whole) {
        if (!decodeTo(start))
            return false;
        const int decoded = chosenLoops().decodeSwapped(
            m_text + start / 3 * 4, int(stop - start) / 3 * 4, out + (start - offset));
        if (decoded < 0) {
            m_invalid = true;
            return false;
        }
        qFromBigEndian<quint16>(m_bytes.constData() + offset, int(start - offset) / 2, units);
        // Even, as the loops take a multiple of four groups.
        m_decoded = start + decoded / 4 * 3;
        from = m_decoded;
    }
    if (!ensure(end))
        return false;
    qFromBigEndian<quint16>(
        m_bytes.constData() + from, int(end - from) / 2, units + (from - offset) / 2);
    return true;
}

bool Base64Codec::Gradual::finish()
{
    return decodeTo(m_size);
}
