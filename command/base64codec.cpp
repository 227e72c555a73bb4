#include "base64codec.h"

#include <QtCore/QtEndian>

#include <array>
#include <cstring>

namespace {

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

// Eight characters for six bytes, as a number to store little-endian.
inline quint64 encodeSix(const quint8 *in)
{
    const quint64 bits = qFromBigEndian<quint64>(in) >> 16;
    return quint64(Pairs[(bits >> 36) & 0xfff]) | quint64(Pairs[(bits >> 24) & 0xfff]) << 16
        | quint64(Pairs[(bits >> 12) & 0xfff]) << 32 | quint64(Pairs[bits & 0xfff]) << 48;
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

} // namespace

QByteArray Base64Codec::encode(const QByteArray &bytes)
{
    QByteArray text;
    encode(bytes, &text);
    return text;
}

void Base64Codec::encode(const QByteArray &bytes, QByteArray *text, int offset)
{
    const auto *in = reinterpret_cast<const quint8 *>(bytes.constData());
    const int size = bytes.size();
    text->resize(offset + ((size + 2) / 3) * 4);
    char *out = text->data() + offset;
    int i = 0;
    // Six bytes at a time, read as one number and written as one, two such groups a round so
    // that their look-ups overlap; single-byte stores would each make the compiler assume the
    // input may have changed.
    for (; i + 14 <= size; i += 12) {
        const quint64 first = encodeSix(in + i);
        const quint64 second = encodeSix(in + i + 6);
        qToLittleEndian(first, out);
        qToLittleEndian(second, out + 8);
        out += 16;
    }
    for (; i + 3 <= size; i += 3) {
        const quint32 group = quint32(in[i]) << 16 | quint32(in[i + 1]) << 8 | in[i + 2];
        qToLittleEndian(quint32(Pairs[group >> 12]) | quint32(Pairs[group & 0xfff]) << 16, out);
        out += 4;
    }
    if (i < size) {
        const bool two = i + 1 < size;
        const quint32 group = quint32(in[i]) << 16 | (two ? quint32(in[i + 1]) << 8 : 0);
        *out++ = Alphabet[group >> 18];
        *out++ = Alphabet[(group >> 12) & 63];
        *out++ = two ? Alphabet[(group >> 6) & 63] : '=';
        *out++ = '=';
    }
}

bool Base64Codec::decodeCanonical(const QByteArray &text, QByteArray *bytes)
{
    const int size = text.size();
    if (size % 4 != 0)
        return false;
    const auto *in = reinterpret_cast<const quint8 *>(text.constData());
    int padding = 0;
    if (size > 0 && in[size - 1] == '=')
        padding = size > 1 && in[size - 2] == '=' ? 2 : 1;
    // Written over what `bytes` holds: a buffer kept for reuse keeps its room.
    QByteArray &decoded = *bytes;
    decoded.resize(size / 4 * 3);
    auto *out = reinterpret_cast<quint8 *>(decoded.data());
    const int whole = padding > 0 ? size - 4 : size;
    quint32 invalid = 0;
    int i = 0;
    // Eight characters at a time, written as one number whose last two bytes the next round
    // overwrites; the decoded buffer has room for them until the last group.
    for (; i + 8 < whole; i += 8) {
        const quint32 high = First[in[i]] | Second[in[i + 1]] | Third[in[i + 2]] | Fourth[in[i + 3]];
        const quint32 low
            = First[in[i + 4]] | Second[in[i + 5]] | Third[in[i + 6]] | Fourth[in[i + 7]];
        invalid |= high | low;
        qToBigEndian((quint64(high) << 40) | (quint64(low) << 16), out);
        out += 6;
    }
    for (; i < whole; i += 4) {
        const quint32 group = First[in[i]] | Second[in[i + 1]] | Third[in[i + 2]] | Fourth[in[i + 3]];
        invalid |= group;
        out[0] = quint8(group >> 16);
        out[1] = quint8(group >> 8);
        out[2] = quint8(group);
        out += 3;
    }
    if (padding > 0) {
        // The last group: two or three characters of the alphabet, then its padding. Bits
        // past the last whole byte are dropped, as Qt drops them.
        const quint32 group = First[in[whole]] | Second[in[whole + 1]]
            | (padding == 1 ? Third[in[whole + 2]] : 0);
        invalid |= group;
        *out++ = quint8(group >> 16);
        if (padding == 1)
            *out++ = quint8(group >> 8);
    }
    if (invalid & Invalid)
        return false;
    decoded.resize(int(out - reinterpret_cast<quint8 *>(decoded.data())));
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

Base64Codec::Reused::Reused(const QByteArray &text, Mode mode)
{
    thread_local QByteArray buffer;
    thread_local bool busy = false;
    const bool reusable = !busy && text.size() / 4 * 3 <= MaxReusedSize;
    if (reusable) {
        // Reserved, so that resizing keeps the room, shrinking included.
        buffer.reserve(text.size() / 4 * 3);
        m_bytes = &buffer;
        m_busy = &busy;
        busy = true;
    } else {
        m_bytes = &m_own;
    }
    if (mode == Mode::Strict)
        m_valid = decodeStrict(text, m_bytes);
    else
        decode(text, m_bytes);
}

Base64Codec::Reused::~Reused()
{
    if (m_busy)
        *m_busy = false;
}
