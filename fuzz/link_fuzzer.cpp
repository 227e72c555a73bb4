#include "frame.h"
#include "framechannel.h"
#include "payloadcodec.h"
#include "remotoresponse.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDataStream>
#include <QtCore/QIODevice>
#include <QtCore/QPointer>
#include <QtCore/QVector>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace {

using Wire::Frame;
using Wire::FrameChannel;
using Wire::FrameReader;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "link: %s\n", what);
    std::abort();
}

// What a reader makes of a stream: the frames in their encoded form, and where and why it
// stopped when the stream broke the protocol.
struct Outcome
{
    QVector<QByteArray> frames;
    bool malformed = false;
    qint64 malformedAt = -1;
    QString error;

    bool operator==(const Outcome &other) const
    {
        return frames == other.frames && malformed == other.malformed
            && malformedAt == other.malformedAt && error == other.error;
    }
};

// How one end reads: the frame types its peer may send and the largest body it takes.
struct Side
{
    std::initializer_list<Frame::Type> accepted;
    quint32 maxBodySize;
};

// Feeds the stream to a fresh reader piece by piece, the pieces ending at `ends`.
Outcome read(const Side &side, const QByteArray &stream, const QVector<int> &ends,
    QVector<Frame> *frames = nullptr)
{
    Outcome outcome;
    FrameReader reader(side.accepted);
    reader.setMaxBodySize(side.maxBodySize);
    qint64 position = 0;
    qint64 frameStart = 0;
    int pieceStart = 0;
    for (int end : ends) {
        const char *piece = stream.constData() + pieceStart;
        qint64 left = end - pieceStart;
        pieceStart = end;
        while (left > 0) {
            const qint64 taken = reader.feed(piece, left);
            if (taken <= 0 || taken > left)
                fail("feed took no bytes or more than it was given");
            piece += taken;
            left -= taken;
            position += taken;
            if (reader.state() == FrameReader::Malformed) {
                outcome.malformed = true;
                outcome.malformedAt = position;
                outcome.error = reader.errorString();
                if (reader.bytesWanted() != 0 || reader.feed(piece, left) != 0)
                    fail("a malformed reader took more bytes");
                return outcome;
            }
            if (reader.state() != FrameReader::Complete)
                continue;
            const Frame frame = reader.takeFrame();
            const QByteArray encoded = frame.encode();
            // The bytes the frame came from, and nothing else, are what it encodes to.
            if (encoded != stream.mid(int(frameStart), int(position - frameStart)))
                fail("an accepted frame does not encode to its bytes");
            Frame again;
            if (!Frame::decode(encoded.mid(Frame::PrefixSize), &again) || again.encode() != encoded)
                fail("an encoded frame does not decode to itself");
            outcome.frames.append(encoded);
            if (frames)
                frames->append(frame);
            frameStart = position;
        }
    }
    if (reader.isMidFrame() != (frameStart < position))
        fail("the reader is mid-frame exactly when a frame is started");
    return outcome;
}

QByteArray serialised(const QVariantList &values)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << values;
    return bytes;
}

// A value list read from a peer is written back the same, and an answer carrying it reads
// back as it was written.
void checkValueList(const QByteArray &text, const Frame &frame, const QDateTime &time)
{
    QVariantList values;
    if (!Wire::PayloadCodec::decodeValueList(text, &values)) {
        if (!values.isEmpty())
            fail("a refused value list left values behind");
        return;
    }
    const QByteArray written = Wire::PayloadCodec::encodeValueList(values);
    QVariantList again;
    if (written.isEmpty() || !Wire::PayloadCodec::decodeValueList(written, &again))
        fail("a decoded value list does not encode and decode again");
    const QByteArray bytes = serialised(values);
    if (serialised(again) != bytes)
        fail("a value list changed on its way through the codec");

    const QByteArray payload
        = Wire::PayloadCodec::encodeAnswer(frame.kind, frame.magic, values, time);
    RemotoResponse response(nullptr, false);
    response.decodeAnswer(payload);
    if (response.error() != frame.kind || response.commandCode() != frame.magic
        || serialised(response.data()) != bytes)
        fail("an answer does not decode to what was encoded");
    if (response.timeStamp() != time)
        fail("an answer's time stamp changed on its way");
}

// A socket stand-in whose bytes arrive in pieces, each announced with readyRead.
class PieceDevice : public QIODevice
{
public:
    PieceDevice() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }

    void deliver(const QByteArray &piece)
    {
        m_data.append(piece);
        emit readyRead();
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return m_data.size() - m_read + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 count = qMin(maxSize, qint64(m_data.size()) - m_read);
        std::copy_n(m_data.constData() + m_read, count, data);
        m_read += count;
        return count;
    }
    qint64 writeData(const char *, qint64 size) override { return size; }

private:
    QByteArray m_data;
    qint64 m_read = 0;
};

enum class Interruption {
    None,
    Abort,
    Delete,
};

// A channel delivers what the reader reads, up to and including the frame whose receiver
// aborted or deleted it; a stream that breaks the protocol closes it with the reader's reason.
void checkChannel(const Side &side, const QByteArray &stream, const QVector<int> &ends,
    const Outcome &expected, Interruption interruption, int interruptAt)
{
    auto *device = new PieceDevice;
    QPointer<FrameChannel> channel = new FrameChannel(device, side.accepted);
    channel->setMaxFrameSize(side.maxBodySize);
    QVector<QByteArray> received;
    QStringList closings;
    const QString ownReason = QStringLiteral("the receiver stopped");
    QObject::connect(channel, &FrameChannel::frameReceived, [&](const Frame &frame) {
        received.append(frame.encode());
        if (received.size() - 1 != interruptAt)
            return;
        if (interruption == Interruption::Abort)
            channel->abort(ownReason);
        else if (interruption == Interruption::Delete)
            delete channel.data();
    });
    QObject::connect(
        channel, &FrameChannel::closed, [&](const QString &reason) { closings.append(reason); });

    // Reading starts from the event loop; bytes may be there before it does.
    int pieceStart = 0;
    for (int i = 0; i < ends.size() && channel; ++i) {
        device->deliver(stream.mid(pieceStart, ends.at(i) - pieceStart));
        pieceStart = ends.at(i);
        if (i == 0)
            QCoreApplication::sendPostedEvents();
    }
    // A pass leaves what its handlers post for the next one: the delivery a read posts, the
    // closing an abort posts.
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::sendPostedEvents();

    const bool interrupted
        = interruption != Interruption::None && interruptAt < expected.frames.size();
    const QVector<QByteArray> frames
        = interrupted ? expected.frames.mid(0, interruptAt + 1) : expected.frames;
    if (received != frames)
        fail("the channel delivered other frames than the reader read");
    QStringList reasons;
    if (interrupted && interruption == Interruption::Abort)
        reasons.append(ownReason);
    else if (!interrupted && expected.malformed)
        reasons.append(expected.error);
    // Reading runs ahead of delivery, so a fault may have closed the link before the receiver
    // aborted it; the link then closed for that fault, still once.
    const bool faultFirst = interrupted && interruption == Interruption::Abort
        && expected.malformed && closings == QStringList { expected.error };
    if (closings != reasons && !faultFirst)
        fail("the channel did not close exactly once, for the reason it had");
    if (channel && channel->isOpen() == (interrupted || expected.malformed))
        fail("the channel's open state disagrees with what happened to it");
    delete channel.data();
    QCoreApplication::sendPostedEvents();
}

// Both ends' readers and a few unusual ones.
const std::initializer_list<Frame::Type> acceptedSets[] = {
    { Frame::Message, Frame::Refusal },
    { Frame::Hello, Frame::Request },
    { Frame::Hello, Frame::Request, Frame::Message, Frame::Refusal },
    { Frame::Message },
    { Frame::Refusal },
    { Frame::Hello },
    { Frame::Request },
    {},
};

// Answers carry times from year 1 to the end of year 9999, within which a double holds the
// millisecond; those before the format's day zero count their time of day forward too.
constexpr qint64 FirstTime = -62135596800000LL;
constexpr qint64 LastTime = 253402300799999LL;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

// The fuzzer's bytes end with the choices (the reading side and its size limit, how a receiver
// interrupts the channel, an answer's time, where the stream is split); the stream is whatever
// precedes them.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Side side { acceptedSets[input.ConsumeIntegralInRange<size_t>(0, std::size(acceptedSets) - 1)],
        Frame::MaxBodySize };
    if (input.ConsumeBool())
        side.maxBodySize = input.ConsumeIntegralInRange<quint32>(0, 1 << 16);
    const auto interruption = Interruption(input.ConsumeIntegralInRange(0, 2));
    const int interruptAt = input.ConsumeIntegral<uint8_t>();
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(
        input.ConsumeIntegralInRange<qint64>(FirstTime, LastTime), Qt::UTC);
    const int splits = input.ConsumeIntegralInRange(0, 16);
    QVector<size_t> cuts;
    for (int i = 0; i < splits; ++i)
        cuts.append(input.ConsumeIntegral<uint16_t>());
    const std::vector<char> bytes = input.ConsumeRemainingBytes<char>();
    const QByteArray stream(bytes.data(), int(bytes.size()));

    QVector<int> ends;
    for (size_t cut : qAsConst(cuts))
        ends.append(int(cut % (bytes.size() + 1)));
    ends.append(stream.size());
    std::sort(ends.begin(), ends.end());

    QVector<Frame> frames;
    const Outcome whole = read(side, stream, { stream.size() }, &frames);
    if (!(read(side, stream, ends) == whole))
        fail("splitting the stream changed what was read");
    for (const Frame &frame : qAsConst(frames)) {
        checkValueList(frame.payload, frame, time);
        // An answer's value list follows its fixed header.
        if (frame.type == Frame::Message)
            checkValueList(frame.payload.mid(AnswerHeader::Size), frame, time);
    }
    checkChannel(side, stream, ends, whole, interruption, interruptAt);
    return 0;
}
