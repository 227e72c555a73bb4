#include "valuelistdecoder.h"

#include <QtCore/QDataStream>

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
    return 0;
}

// Beyond what the sanitizers and the allocation limit catch: a refusal leaves the list empty, an
// accepted list is exactly what QDataStream makes of the same bytes, and what QDataStream writes
// for that list is accepted again.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(std::numeric_limits<int>::max()))
        return 0;
    const QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));

    QVariantList values { 1 };
    if (!ValueListDecoder::decode(bytes, &values)) {
        if (!values.isEmpty())
            fail("a refused list was left with values");
        return 0;
    }

    // Only bytes the decoder accepted are safe to give QDataStream: it trusts every count.
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_5_15);
    QVariantList reference;
    in >> reference;
    const QByteArray written = serialised(values);
    if (in.status() != QDataStream::Ok || written != serialised(reference))
        fail("accepted a list QDataStream reads differently");

    QVariantList again;
    if (!ValueListDecoder::decode(written, &again))
        fail("refused what QDataStream wrote for an accepted list");
    return 0;
}
