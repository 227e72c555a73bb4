#include "frame.h"

#include "keptbuffer.h"
#include "message.h"
#include "transport.h"

#include <QtCore/QIODevice>
#include <QtCore/QtEndian>

#include <cstring>
#include <utility>

namespace Wire {

namespace {

constexpr int HelloHeaderSize = Frame::HeadSize;
constexpr int RequestHeaderSize = Frame::MaxHeaderSize;
constexpr int MessageHeaderSize = Frame::HeadSize + 4 * 4;
constexpr int RefusalHeaderSize = Frame::HeadSize + 4;

void putU32(char *at, quint32 value)
{
    qToBigEndian(value, at);
}
quint32 getU32(const char *at)
{
    return qFromBigEndian<quint32>(at);
}
qint32 getI32(const char *at)
{
    return qint32(getU32(at));
}

quint16 allowedFlags(quint8 type)
{
    return type == Frame::Request ? quint16(Frame::Unwrapped) : quint16(0);
}

// Judges version, type and flags, and whether the declared body size suits the type.
// Returns the type, or 0 with `error` set.
quint8 judgeHead(const char *head, quint32 bodySize, QString *error)
{
    const quint8 version = quint8(head[0]);
    const quint8 type = quint8(head[1]);
    const quint16 flags = qFromBigEndian<quint16>(head + 2);
    QString why;
    if (version != Frame::Version)
        why = QStringLiteral("unsupported frame version %1").arg(version);
    else if (Frame::headerSize(type) == 0)
        why = QStringLiteral("unknown frame type %1").arg(type);
    else if (flags & ~allowedFlags(type))
        why = QStringLiteral("frame of type %1 carries unknown flags %2")
                  .arg(type)
                  .arg(flags & ~allowedFlags(type), 4, 16, QLatin1Char('0'));
    else if (bodySize < quint32(Frame::headerSize(type)))
        why = QStringLiteral("frame of type %1 is shorter than its header").arg(type);
    else if (bodySize - quint32(Frame::headerSize(type))
        > quint64(Frame::maxPayloadSize(Frame::Type(type))))
        why = QStringLiteral("frame of type %1 carries too long a payload").arg(type);
    if (why.isEmpty())
        return type;
    if (error)
        *error = why;
    return 0;
}

// The fields after the head, from a body whose head judgeHead() accepted as `type`.
void readHeader(const char *in, Frame::Type type, Frame *frame)
{
    frame->type = type;
    frame->flags = qFromBigEndian<quint16>(in + 2);
    switch (type) {
    case Frame::Hello:
        break;
    case Frame::Request:
        frame->requestUid = getU32(in + 4);
        frame->sequence = getI32(in + 8);
        frame->objectId = getU32(in + 12);
        frame->command = getI32(in + 16);
        frame->magic = getI32(in + 20);
        break;
    case Frame::Message:
        frame->requestUid = getU32(in + 4);
        frame->objectId = getU32(in + 8);
        frame->kind = getI32(in + 12);
        frame->magic = getI32(in + 16);
        break;
    case Frame::Refusal:
        frame->kind = getI32(in + 4);
        break;
    }
}

} // namespace

Frame Frame::hello(const QByteArray &token)
{
    Frame frame;
    frame.type = Hello;
    frame.payload = token;
    return frame;
}

Frame Frame::refusal(Reason reason, const QString &text)
{
    Frame frame;
    frame.type = Refusal;
    frame.kind = reason;
    frame.payload = text.toUtf8().left(MaxReasonSize);
    return frame;
}

Frame Frame::message(qint32 kind, quint32 requestUid, quint32 objectId, const QByteArray &payload)
{
    Frame frame;
    frame.type = Message;
    frame.kind = kind;
    frame.requestUid = requestUid;
    frame.objectId = objectId;
    frame.magic = Velmor::Command::Marker;
    frame.payload = payload;
    return frame;
}

QByteArray Frame::featureWord(quint32 features)
{
    QByteArray word(4, Qt::Uninitialized);
    putU32(word.data(), features);
    return word;
}

quint32 Frame::offeredFeatures(const QByteArray &payload)
{
    return payload.size() >= 4 ? getU32(payload.constData()) & TakesUnwrapped : 0;
}

int Frame::headerSize(quint8 type)
{
    switch (type) {
    case Hello:
        return HelloHeaderSize;
    case Request:
        return RequestHeaderSize;
    case Message:
        return MessageHeaderSize;
    case Refusal:
        return RefusalHeaderSize;
    }
    return 0;
}

qint64 Frame::maxPayloadSize(Type type)
{
    if (type == Hello)
        return MaxTokenSize;
    if (type == Refusal)
        return MaxReasonSize;
    return qint64(MaxBodySize) - headerSize(type);
}

int Frame::encodeHeader(char *head) const
{
    const int header = headerSize(type);
    if (header == 0 || payload.size() > maxPayloadSize(type))
        return 0;
    std::memset(head, 0, size_t(PrefixSize + header));
    putU32(head, quint32(header + payload.size()));
    char *out = head + PrefixSize;
    out[0] = char(Version);
    out[1] = char(type);
    qToBigEndian(quint16(flags & allowedFlags(type)), out + 2);
    switch (type) {
    case Hello:
        break;
    case Request:
        putU32(out + 4, requestUid);
        putU32(out + 8, quint32(sequence));
        putU32(out + 12, objectId);
        putU32(out + 16, quint32(command));
        putU32(out + 20, quint32(magic));
        break;
    case Message:
        putU32(out + 4, requestUid);
        putU32(out + 8, objectId);
        putU32(out + 12, quint32(kind));
        putU32(out + 16, quint32(magic));
        break;
    case Refusal:
        putU32(out + 4, quint32(kind));
        break;
    }
    return PrefixSize + header;
}

QByteArray Frame::encode() const
{
    char head[MaxPrefixAndHeaderSize];
    const int headSize = encodeHeader(head);
    if (headSize == 0)
        return QByteArray();
    QByteArray bytes;
    bytes.reserve(headSize + payload.size());
    bytes.append(head, headSize);
    bytes.append(payload);
    return bytes;
}

bool Frame::decode(const QByteArray &body, Frame *frame, QString *error)
{
    if (body.size() < HeadSize) {
        if (error)
            *error = QStringLiteral("frame is shorter than its head");
        return false;
    }
    if (quint32(body.size()) > MaxBodySize) {
        if (error)
            *error = QStringLiteral("frame exceeds the size limit");
        return false;
    }
    const char *in = body.constData();
    const quint8 type = judgeHead(in, quint32(body.size()), error);
    if (type == 0)
        return false;
    Frame decoded;
    readHeader(in, Type(type), &decoded);
    decoded.payload = body.mid(headerSize(type));
    *frame = std::move(decoded);
    return true;
}

FrameReader::FrameReader(std::initializer_list<Frame::Type> accepted)
{
    for (Frame::Type type : accepted)
        m_acceptedTypes |= 1u << type;
}

void FrameReader::setMaxBodySize(quint32 size)
{
    m_maxBodySize = qMin(size, Frame::MaxBodySize);
}

qint64 FrameReader::bytesWanted() const
{
    if (m_state != Incomplete)
        return 0;
    if (m_fixedFill < m_fixedSize)
        return m_fixedSize - m_fixedFill;
    return m_payloadSize - m_payloadFill;
}

namespace {
// The payload of the thread's last frame that came in pieces. Once its receiver has let go of
// it, the next such frame of about its size is read into it: fresh memory for a payload of
// hundreds of kilobytes costs more than reading it.
thread_local KeptBuffer recycledPayload;
} // namespace

char *FrameReader::window(qint64 offered, qint64 *room)
{
    const qint64 count = qMin(offered, bytesWanted());
    *room = count;
    if (m_fixedFill < m_fixedSize)
        return m_fixed + m_fixedFill;
    const qint64 needed = m_payloadFill + count;
    // Only a buffer of about the payload's size: the receiver may keep this payload for long.
    if (m_payload.isNull())
        m_payload = recycledPayload.takeFitting(int(m_payloadSize));
    if (needed > m_payload.size()) {
        // Room for twice what has arrived, at most the declared size: a lying length costs
        // no memory, and a large payload arriving in pieces is moved only a few times.
        m_payload.resize(int(qMin(qMax<qint64>(2 * needed, 4096), m_payloadSize)));
    }
    return m_payload.data() + m_payloadFill;
}

void FrameReader::commit(qint64 count)
{
    if (m_fixedFill < m_fixedSize) {
        m_fixedFill += int(count);
        if (m_fixedFill < m_fixedSize)
            return;
        if (m_fixedFill == Frame::PrefixSize)
            checkPrefix();
        else if (m_fixedFill == Frame::PrefixSize + Frame::HeadSize)
            checkHead();
        else
            finishHeader();
        return;
    }
    m_payloadFill += count;
    if (m_payloadFill == m_payloadSize) {
        m_payload.resize(int(m_payloadSize));
        m_frame.payload = std::move(m_payload);
        m_payload = QByteArray();
        recycledPayload.keep(m_frame.payload);
        m_state = Complete;
    }
}

qint64 FrameReader::feed(const char *data, qint64 size)
{
    if (const qint64 whole = takeWholeFrame(data, size))
        return whole;
    qint64 taken = 0;
    while (taken < size && m_state == Incomplete) {
        qint64 room = 0;
        char *to = window(size - taken, &room);
        std::memcpy(to, data + taken, size_t(room));
        taken += room;
        commit(room);
    }
    return taken;
}

qint64 FrameReader::takeWholeFrame(const char *data, qint64 size)
{
    // Small frames mostly arrive whole, many in one read: such a frame is taken in one step.
    // Anything else, a fault included, goes the long way, which judges it byte by byte.
    if (m_state != Incomplete || m_fixedFill != 0 || size < Frame::PrefixSize + Frame::HeadSize)
        return 0;
    const quint32 bodySize = qFromBigEndian<quint32>(data);
    if (bodySize > m_maxBodySize || bodySize < quint32(Frame::HeadSize)
        || qint64(bodySize) > size - Frame::PrefixSize)
        return 0;
    const char *body = data + Frame::PrefixSize;
    const quint8 type = judgeHead(body, bodySize, nullptr);
    if (type == 0 || !(m_acceptedTypes & (1u << type)))
        return 0;
    const int header = Frame::headerSize(type);
    readHeader(body, Frame::Type(type), &m_frame);
    m_frame.payload = QByteArray(body + header, int(bodySize) - header);
    m_state = Complete;
    return Frame::PrefixSize + qint64(bodySize);
}

qint64 FrameReader::readFrom(QIODevice *device, qint64 available)
{
    qint64 room = 0;
    char *to = window(available, &room);
    if (room == 0)
        return 0;
    const qint64 got = device->read(to, room);
    if (got > 0)
        commit(got);
    return got;
}

qint64 FrameReader::readNow(QIODevice *socket)
{
    if (m_state != Incomplete || m_fixedFill < m_fixedSize)
        return 0;
    // The buffer grows as it would for one more byte, and all of its room is offered.
    qint64 room = 0;
    window(1, &room);
    room = qMin(m_payload.size() - m_payloadFill, bytesWanted());
    const qint64 got = Transport::readNow(socket, m_payload.data() + m_payloadFill, room);
    if (got > 0)
        commit(got);
    return got;
}

bool FrameReader::isMidFrame() const
{
    return m_state == Incomplete && m_fixedFill > 0;
}

Frame FrameReader::takeFrame()
{
    Frame frame = std::move(m_frame);
    m_frame = Frame();
    m_state = Incomplete;
    m_fixedFill = 0;
    m_fixedSize = Frame::PrefixSize;
    m_bodySize = 0;
    m_payloadSize = 0;
    m_payloadFill = 0;
    return frame;
}

void FrameReader::fail(const QString &error)
{
    m_state = Malformed;
    m_error = error;
    m_payload = QByteArray();
}

void FrameReader::checkPrefix()
{
    m_bodySize = qFromBigEndian<quint32>(m_fixed);
    if (m_bodySize > m_maxBodySize)
        fail(QStringLiteral("declared frame length %1 exceeds the limit of %2")
                 .arg(m_bodySize)
                 .arg(m_maxBodySize));
    else if (m_bodySize < quint32(Frame::HeadSize))
        fail(QStringLiteral("declared frame length %1 is shorter than a frame head")
                 .arg(m_bodySize));
    else
        m_fixedSize = Frame::PrefixSize + Frame::HeadSize;
}

void FrameReader::checkHead()
{
    QString error;
    const quint8 type = judgeHead(m_fixed + Frame::PrefixSize, m_bodySize, &error);
    if (type == 0) {
        fail(error);
        return;
    }
    if (!(m_acceptedTypes & (1u << type))) {
        fail(QStringLiteral("frame type %1 is not expected from this peer").arg(type));
        return;
    }
    m_fixedSize = Frame::PrefixSize + Frame::headerSize(type);
    if (m_fixedFill == m_fixedSize)
        finishHeader();
}

void FrameReader::finishHeader()
{
    const char *body = m_fixed + Frame::PrefixSize;
    readHeader(body, Frame::Type(quint8(body[1])), &m_frame);
    m_payloadSize = qint64(m_bodySize) - (m_fixedSize - Frame::PrefixSize);
    if (m_payloadSize == 0)
        m_state = Complete;
}

} // namespace Wire
