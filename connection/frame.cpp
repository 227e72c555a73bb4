#include "frame.h"

#include "message.h"

#include <QtCore/QtEndian>

#include <cstring>

namespace Wire {

namespace {

constexpr int HelloHeaderSize = Frame::HeadSize;
constexpr int RequestHeaderSize = Frame::HeadSize + 5 * 4;
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

// Judges version, type and reserved field, and whether the declared body size suits the type.
// Returns the type, or 0 with `error` set.
quint8 judgeHead(const char *head, quint32 bodySize, QString *error)
{
    const quint8 version = quint8(head[0]);
    const quint8 type = quint8(head[1]);
    const quint16 reserved = qFromBigEndian<quint16>(head + 2);
    QString why;
    if (version != Frame::Version)
        why = QStringLiteral("unsupported frame version %1").arg(version);
    else if (Frame::headerSize(type) == 0)
        why = QStringLiteral("unknown frame type %1").arg(type);
    else if (reserved != 0)
        why = QStringLiteral("reserved field is not zero");
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

QByteArray Frame::encode() const
{
    const int header = headerSize(type);
    if (header == 0 || payload.size() > maxPayloadSize(type))
        return QByteArray();
    const int bodySize = header + payload.size();
    // The fixed part is laid out on the stack and the payload appended after it.
    char head[PrefixSize + RequestHeaderSize] = {};
    putU32(head, quint32(bodySize));
    char *out = head + PrefixSize;
    out[0] = char(Version);
    out[1] = char(type);
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
    QByteArray bytes;
    bytes.reserve(PrefixSize + bodySize);
    bytes.append(head, PrefixSize + header);
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
    decoded.type = Type(type);
    switch (decoded.type) {
    case Hello:
        break;
    case Request:
        decoded.requestUid = getU32(in + 4);
        decoded.sequence = getI32(in + 8);
        decoded.objectId = getU32(in + 12);
        decoded.command = getI32(in + 16);
        decoded.magic = getI32(in + 20);
        break;
    case Message:
        decoded.requestUid = getU32(in + 4);
        decoded.objectId = getU32(in + 8);
        decoded.kind = getI32(in + 12);
        decoded.magic = getI32(in + 16);
        break;
    case Refusal:
        decoded.kind = getI32(in + 4);
        break;
    }
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
    if (m_prefixFill < Frame::PrefixSize)
        return Frame::PrefixSize - m_prefixFill;
    if (m_body.size() < Frame::HeadSize)
        return Frame::HeadSize - m_body.size();
    return qint64(m_bodySize) - m_body.size();
}

qint64 FrameReader::feed(const char *data, qint64 size)
{
    qint64 taken = 0;
    while (taken < size) {
        const qint64 wanted = bytesWanted();
        if (wanted == 0)
            break;
        const qint64 count = qMin(wanted, size - taken);
        if (m_prefixFill < Frame::PrefixSize) {
            std::memcpy(m_prefix + m_prefixFill, data + taken, size_t(count));
            m_prefixFill += int(count);
            taken += count;
            if (m_prefixFill == Frame::PrefixSize) {
                m_bodySize = qFromBigEndian<quint32>(m_prefix);
                if (m_bodySize > m_maxBodySize)
                    fail(QStringLiteral("declared frame length %1 exceeds the limit of %2")
                             .arg(m_bodySize)
                             .arg(m_maxBodySize));
                else if (m_bodySize < quint32(Frame::HeadSize))
                    fail(QStringLiteral("declared frame length %1 is shorter than a frame head")
                             .arg(m_bodySize));
            }
            continue;
        }
        growBuffer(count);
        m_body.append(data + taken, int(count));
        taken += count;
        if (m_body.size() == Frame::HeadSize)
            checkHead();
        if (m_state == Incomplete && quint32(m_body.size()) == m_bodySize)
            finishBody();
    }
    return taken;
}

bool FrameReader::isMidFrame() const
{
    return m_state == Incomplete && m_prefixFill > 0;
}

Frame FrameReader::takeFrame()
{
    Frame frame = std::move(m_frame);
    m_frame = Frame();
    m_state = Incomplete;
    m_prefixFill = 0;
    m_bodySize = 0;
    m_body.clear();
    return frame;
}

void FrameReader::fail(const QString &error)
{
    m_state = Malformed;
    m_error = error;
    m_body.clear();
}

void FrameReader::checkHead()
{
    QString error;
    const quint8 type = judgeHead(m_body.constData(), m_bodySize, &error);
    if (type == 0)
        fail(error);
    else if (!(m_acceptedTypes & (1u << type)))
        fail(QStringLiteral("frame type %1 is not expected from this peer").arg(type));
}

void FrameReader::finishBody()
{
    QString error;
    if (Frame::decode(m_body, &m_frame, &error)) {
        m_state = Complete;
        m_body.clear();
    } else {
        fail(error);
    }
}

void FrameReader::growBuffer(qint64 extra)
{
    const qint64 needed = m_body.size() + extra;
    if (needed <= m_body.capacity())
        return;
    // Doubling keeps appends cheap; capping at the declared size and at twice what has
    // arrived keeps a lying length from costing memory.
    const qint64 doubled = qMax<qint64>(2 * qint64(m_body.capacity()), 4096);
    m_body.reserve(int(qMax(needed, qMin(doubled, qint64(m_bodySize)))));
}

} // namespace Wire
