#include "valuelistdecoder.h"

#include "base64codec.h"
#include "valuelistencoder.h"

#include <QtCore/QDataStream>
#include <QtCore/QtEndian>
#include <QtCore/QTimeZone>
#include <QtGui/QColor>

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

QByteArray serialised(const QVariantList &values)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_15);
    out << values;
    return bytes;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "valuelistdecoder: %s\n", what);
    std::abort();
}

// What decoding may hold on the heap at its peak, by the input's size, counted as requested
// (without the sanitizer's redzones). Legitimate lists cost up to about 8 bytes per input byte (a
// hash of one-letter keys and invalid values; flat lists of 5-byte invalid values, small strings
// or byte arrays about 5, as each element is a heap node plus a pointer in Qt 5's
// QList<QVariant>); twice that leaves room. The allowance covers the reader's fixed costs (a few
// KiB) and Qt's one-off caches. A decoder that reserves at every nesting level for the elements
// the remaining bytes could hold exceeds the bound about sixfold on 64 such levels in 60 KB.
constexpr qint64 AllocationPerByte = 16;
constexpr qint64 AllocationAllowance = 64 * 1024;

// Heap bytes the decoder holds while it runs, net of what it gives back, and their high mark.
struct HeapWatch
{
    bool on = false;
    qint64 live = 0;
    qint64 peak = 0;
};
HeapWatch watch;

void onMalloc(const volatile void *, size_t size)
{
    if (!watch.on)
        return;
    watch.live += qint64(size);
    watch.peak = std::max(watch.peak, watch.live);
}

void onFree(const volatile void *pointer)
{
    if (watch.on && pointer)
        watch.live -= qint64(__sanitizer_get_allocated_size(pointer));
}

// Each decoded value is the one QDataStream read: of the same type, equally null, and equal to it
// exactly when QDataStream's own second reading of the bytes is (NaN, also deep inside a
// container, is equal to nothing; a list compared with itself is equal by identity). The bytes
// written back compare the null flags and everything nested.
bool sameValues(const QVariantList &decoded, const QVariantList &reference,
    const QVariantList &again)
{
    if (decoded.size() != reference.size() || again.size() != reference.size())
        return false;
    for (int i = 0; i < decoded.size(); ++i) {
        const QVariant &value = decoded.at(i);
        const QVariant &expected = reference.at(i);
        if (value.userType() != expected.userType() || value.isNull() != expected.isNull()
            || (value == expected) != (again.at(i) == expected))
            return false;
    }
    return true;
}

// Lenient and strict decoding answer as Qt does.
void decodesAsQt(const QByteArray &text)
{
    if (Base64Codec::decode(text) != QByteArray::fromBase64(text))
        fail("Base64 differs from Qt's");
    const auto strict = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    QByteArray strictBytes;
    const bool strictOk = Base64Codec::decodeStrict(text, &strictBytes);
    if (strictOk != (strict.decodingStatus == QByteArray::Base64DecodingStatus::Ok)
        || (strictOk && strictBytes != strict.decoded))
        fail("strict Base64 differs from Qt's");
}

// A value list read from Base64 text as it is decoded is the one read from the bytes decoded
// apart, in both modes.
void listReadAsDecoded(const QByteArray &text)
{
    QVariantList fromText;
    QVariantList fromBytes;
    if (ValueListDecoder::decodeBase64(text, Base64Codec::Mode::Lenient, &fromText)
            != ValueListDecoder::decode(QByteArray::fromBase64(text), &fromBytes)
        || serialised(fromText) != serialised(fromBytes))
        fail("a list read from Base64 differs from the list in its bytes");
    const auto strict = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    const bool strictRead = strict.decodingStatus == QByteArray::Base64DecodingStatus::Ok
        && ValueListDecoder::decode(strict.decoded, &fromBytes);
    if (ValueListDecoder::decodeBase64(text, Base64Codec::Mode::Strict, &fromText) != strictRead
        || (strictRead && serialised(fromText) != serialised(fromBytes)))
        fail("a list read strictly from Base64 differs from the list in its bytes");
}

// Whatever the remote side sends must not reach the log through the decoder.
void failOnMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::fprintf(stderr, "message logged: %s\n", qPrintable(message));
    fail("logged a message");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(failOnMessage);
    // Qt keeps the zone list and every zone it loaded for the life of the process: loaded here,
    // they cost no input anything, whichever zones earlier inputs named.
    for (const QByteArray &id : QTimeZone::availableTimeZoneIds())
        QTimeZone zone(id);
    // Qt GUI registers its value types as it loads; without them every input holding one would
    // be refused, and the decoder's reading of them never reached.
    QVariantList colour;
    if (!ValueListDecoder::decode(serialised({ QColor(Qt::red) }), &colour)
        || colour.value(0) != QColor(Qt::red))
        fail("Qt GUI's value types are not read");
    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    return 0;
}

// Beyond what the sanitizers and the allocation limit catch: decoding holds memory in proportion
// to the input, a refusal leaves the list empty, an accepted list is exactly what QDataStream
// makes of the same bytes, ValueListEncoder writes it as QDataStream does, and what QDataStream
// writes for that list is accepted again.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(std::numeric_limits<int>::max()))
        return 0;
    const QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));

    // The Base64 text around value lists: the codec must answer as Qt does, whatever the text,
    // on every path this processor offers.
    static const QVector<Base64Codec::Path> paths = Base64Codec::availablePaths();
    const QByteArray encoded = bytes.toBase64();
    for (const Base64Codec::Path path : paths) {
        Base64Codec::setPath(path);
        decodesAsQt(bytes);
        if (Base64Codec::encode(bytes) != encoded)
            fail("Base64 differs from Qt's");
        // Raw input is seldom canonical text, which the codec decodes by a path of its own: the
        // input's own encoding reaches it at every length, and again with a character the input
        // picks at a place it picks.
        decodesAsQt(encoded);
        listReadAsDecoded(encoded);
        if (size >= 3) {
            QByteArray spoilt = encoded;
            spoilt[int((data[0] | data[1] << 8) % uint(encoded.size()))] = char(data[2]);
            decodesAsQt(spoilt);
            listReadAsDecoded(spoilt);
        }
        // Written over a buffer in use, what comes before the offset stays; written in two
        // pieces the input cuts, the second as big-endian UTF-16 when it can be, the text is
        // the same.
        const int offset = size > 0 ? data[0] % 5 : 0;
        QByteArray reused("head");
        Base64Codec::Writer writer(&reused, offset);
        const int cut = size > 1 ? int(data[1] % (size + 1)) : 0;
        writer.append(bytes.constData(), cut);
        const int rest = int(size) - cut;
        if (rest % 2 == 0) {
            QVector<ushort> units(rest / 2);
            qFromBigEndian<quint16>(bytes.constData() + cut, units.size(), units.data());
            writer.appendBigEndian16(units.constData(), units.size());
        } else {
            writer.append(bytes.constData() + cut, rest);
        }
        writer.finish();
        QByteArray expected = QByteArray("head").left(offset);
        expected += encoded;
        if (reused != expected)
            fail("Base64 written at an offset differs from Qt's");
    }

    QVariantList values { 1 };
    watch = HeapWatch { true, 0, 0 };
    const bool accepted = ValueListDecoder::decode(bytes, &values);
    watch.on = false;
    if (watch.peak > AllocationPerByte * qint64(size) + AllocationAllowance)
        fail("allocated out of proportion to the input");
    if (!accepted) {
        if (!values.isEmpty())
            fail("a refused list was left with values");
        return 0;
    }

    // Only bytes the decoder accepted are safe to give QDataStream: it trusts every count.
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_5_15);
    QVariantList reference;
    in >> reference;
    in.device()->seek(0);
    QVariantList again;
    in >> again;
    const QByteArray written = serialised(values);
    if (in.status() != QDataStream::Ok || written != serialised(reference)
        || !sameValues(values, reference, again))
        fail("accepted a list QDataStream reads differently");
    if (ValueListEncoder::encode(values) != written)
        fail("ValueListEncoder wrote other bytes than QDataStream");
    QByteArray text;
    Base64Codec::Writer base64(&text, 0);
    ValueListEncoder streaming(QByteArray(), &base64);
    streaming.writeCount(quint32(values.size()));
    for (const QVariant &value : qAsConst(values))
        streaming.write(value);
    const QByteArray unstreamed = streaming.take();
    base64.append(unstreamed.constData(), unstreamed.size());
    if (!base64.finish() || text != written.toBase64())
        fail("ValueListEncoder wrote other Base64 than QDataStream's bytes give");

    QVariantList rewritten;
    if (!ValueListDecoder::decode(written, &rewritten))
        fail("refused what QDataStream wrote for an accepted list");
    return 0;
}
