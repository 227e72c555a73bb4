#include "base64codec.h"

#include <array>

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr quint8 NotInAlphabet = 0xff;

constexpr std::array<quint8, 256> decodingTable()
{
    std::array<quint8, 256> table {};
    for (auto &entry : table)
        entry = NotInAlphabet;
    for (int i = 0; i < 64; ++i)
        table[quint8(Alphabet[i])] = quint8(i);
    return table;
}

constexpr std::array<quint8, 256> Values = decodingTable();

} // namespace

QByteArray Base64Codec::encode(const QByteArray &bytes)
{
    const auto *in = reinterpret_cast<const quint8 *>(bytes.constData());
    const int size = bytes.size();
    QByteArray text(((size + 2) / 3) * 4, Qt::Uninitialized);
    char *out = text.data();
    int i = 0;
    for (; i + 3 <= size; i += 3) {
        const quint32 group = quint32(in[i]) << 16 | quint32(in[i + 1]) << 8 | in[i + 2];
        *out++ = Alphabet[group >> 18];
        *out++ = Alphabet[(group >> 12) & 63];
        *out++ = Alphabet[(group >> 6) & 63];
        *out++ = Alphabet[group & 63];
    }
    if (i < size) {
        const bool two = i + 1 < size;
        const quint32 group = quint32(in[i]) << 16 | (two ? quint32(in[i + 1]) << 8 : 0);
        *out++ = Alphabet[group >> 18];
        *out++ = Alphabet[(group >> 12) & 63];
        *out++ = two ? Alphabet[(group >> 6) & 63] : '=';
        *out++ = '=';
    }
    return text;
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
    QByteArray decoded(size / 4 * 3, Qt::Uninitialized);
    auto *out = reinterpret_cast<quint8 *>(decoded.data());
    const int whole = padding > 0 ? size - 4 : size;
    for (int i = 0; i < whole; i += 4) {
        const quint32 a = Values[in[i]], b = Values[in[i + 1]], c = Values[in[i + 2]],
                      d = Values[in[i + 3]];
        if ((a | b | c | d) > 63)
            return false;
        const quint32 group = a << 18 | b << 12 | c << 6 | d;
        *out++ = quint8(group >> 16);
        *out++ = quint8(group >> 8);
        *out++ = quint8(group);
    }
    if (padding > 0) {
        // The last group: two or three characters of the alphabet, then its padding. Bits
        // past the last whole byte are dropped, as Qt drops them.
        const quint32 a = Values[in[whole]], b = Values[in[whole + 1]];
        const quint32 c = padding == 1 ? Values[in[whole + 2]] : 0;
        if ((a | b | c) > 63)
            return false;
        const quint32 group = a << 18 | b << 12 | c << 6;
        *out++ = quint8(group >> 16);
        if (padding == 1)
            *out++ = quint8(group >> 8);
    }
    decoded.truncate(int(out - reinterpret_cast<quint8 *>(decoded.data())));
    *bytes = std::move(decoded);
    return true;
}

QByteArray Base64Codec::decode(const QByteArray &text)
{
    QByteArray bytes;
    if (decodeCanonical(text, &bytes))
        return bytes;
    return QByteArray::fromBase64(text);
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
