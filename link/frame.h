#ifndef FRAME_H
#define FRAME_H

#include <QtCore/QByteArray>
#include <QtCore/QString>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

#include <initializer_list>

namespace Wire {

// One unit on the stream between a host connection and a service, in decoded form. The byte
// layout is described in docs/wire-protocol.md.
struct Frame
{
    enum Type : quint8 {
        Hello = 1,
        Request = 2,
        Message = 3,
        // Service to host, last on a link the service is about to close: why it does.
        Refusal = 4,
    };

    // Why a service refuses a client; carried in a refusal's `kind`.
    enum Reason : qint32 {
        AccessRefused = 1,
        TooManyClients = 2,
        HelloTimeout = 3,
        OverBudget = 4,
    };

    // The kind of a message the service sends a newly admitted client right after announcing
    // the objects it has: the link's own, consumed by the connection and never handed to the
    // module, which ignores kinds it does not know. Far above the module's kinds, so it can
    // never be taken for one of them.
    static constexpr qint32 InitialObjectsAnnounced = 0x100;

    // Bits of the field after the type. A request may carry Unwrapped, and only towards a
    // service that announced it takes it (ServiceFeature); every other bit, and any bit on
    // another type, makes a frame malformed.
    enum Flag : quint16 {
        // The payload is what the command's Base64 text decodes to: a large value crosses
        // the link a quarter smaller, and the service skips decoding it.
        Unwrapped = 0x0001,
    };

    // Bits of the 32-bit word a service puts in the payload of InitialObjectsAnnounced: what
    // its hosts may send it beyond the plain protocol. An empty payload offers nothing.
    enum ServiceFeature : quint32 {
        TakesUnwrapped = 0x00000001,
    };

    static constexpr quint8 Version = 1;
    static constexpr int PrefixSize = 4;
    // Largest body (everything after the length prefix) either side sends or accepts.
    static constexpr quint32 MaxBodySize = 16 * 1024 * 1024;
    static constexpr int MaxTokenSize = 1024;
    // Longest text a refusal carries.
    static constexpr int MaxReasonSize = 256;
    // Version, type and flags: enough to judge a frame before its fields arrive.
    static constexpr int HeadSize = 4;

    Type type = Hello;
    quint16 flags = 0;
    quint32 requestUid = 0;
    qint32 sequence = 0;
    quint32 objectId = 0;
    qint32 command = 0;
    // A message's kind; a refusal's Reason.
    qint32 kind = 0;
    qint32 magic = 0;
    // For a hello, the access token; for a refusal, the reason as UTF-8 text.
    QByteArray payload;

    static Frame hello(const QByteArray &token);
    // A message frame carrying the marker.
    static Frame message(qint32 kind, quint32 requestUid, quint32 objectId,
        const QByteArray &payload = QByteArray());
    // The text is cut to what a refusal carries.
    static Frame refusal(Reason reason, const QString &text);

    // The payload of InitialObjectsAnnounced that offers `features`, and what such a payload
    // offers: bits this side does not know are dropped.
    static QByteArray featureWord(quint32 features);
    static quint32 offeredFeatures(const QByteArray &payload);

    // Where the payload starts in a body of that type; 0 for a type the protocol lacks.
    static int headerSize(quint8 type);
    static qint64 maxPayloadSize(Type type);

    // The whole frame, length prefix included; empty when the payload is too large.
    QByteArray encode() const;
    // The length prefix and header alone, written to `out` (room for MaxPrefixAndHeaderSize
    // bytes): the payload follows them on the wire. Returns their size, or 0 when the payload
    // is too large.
    int encodeHeader(char *out) const;

    // Reads one complete body. On failure `frame` is left alone and `error` says why.
    static bool decode(const QByteArray &body, Frame *frame, QString *error = nullptr);

    static constexpr int MaxHeaderSize = HeadSize + 5 * 4;
    static constexpr int MaxPrefixAndHeaderSize = PrefixSize + MaxHeaderSize;
};

// Assembles frames from a byte stream that arrives in pieces of any size. It holds at most
// the current frame, grows the payload's buffer only as bytes arrive, and judges the declared
// length, version and type as soon as those bytes are in, so a hostile peer cannot make it
// reserve memory it has not sent. Bytes go straight to where the frame keeps them: a payload
// is never copied once it is in.
class FrameReader
{
public:
    enum State {
        Incomplete,
        Complete,
        Malformed,
    };

    // Frames of any other type are malformed for this reader: each side accepts only what
    // its peer may send.
    explicit FrameReader(std::initializer_list<Frame::Type> accepted);

    // How many bytes the current frame still needs before the reader can go on; 0 once a
    // frame is complete or the stream is malformed.
    qint64 bytesWanted() const;
    // Frames whose declared body is larger are malformed; at most Frame::MaxBodySize. Applies
    // from the next frame's length field on.
    void setMaxBodySize(quint32 size);
    // Bytes held for the frame being read.
    qint64 bufferedBytes() const { return m_payload.size(); }
    // Takes up to bytesWanted() bytes from the front of `data`; returns how many it took.
    qint64 feed(const char *data, qint64 size);
    // Reads up to bytesWanted() bytes, at most `available`, from `device` straight into the
    // frame; returns how many it read, or -1 when the device failed.
    qint64 readFrom(QIODevice *device, qint64 available);
    // The same for a socket whose buffer holds nothing, past that buffer (Transport::readNow()),
    // and only into a payload. How many bytes the system holds is not known beforehand: they go
    // into the room the payload has, which grows as it does for bytes that arrive in pieces.
    qint64 readNow(QIODevice *socket);
    // The declared size of the payload being read, once the header is in; otherwise 0.
    qint64 payloadSize() const { return m_payloadSize; }
    State state() const { return m_state; }
    // Some bytes of a frame are in but not all of them.
    bool isMidFrame() const;
    // The completed frame; the reader then starts on the next one.
    Frame takeFrame();
    QString errorString() const { return m_error; }

private:
    // How many bytes a frame that lies whole at the front of `data` takes; 0 when there is none.
    qint64 takeWholeFrame(const char *data, qint64 size);
    // Where up to `offered` more bytes of the frame go; `room` tells how many of them fit.
    char *window(qint64 offered, qint64 *room);
    // `count` bytes were put at the window.
    void commit(qint64 count);
    void fail(const QString &error);
    void checkPrefix();
    void checkHead();
    void finishHeader();

    quint32 m_acceptedTypes = 0;
    quint32 m_maxBodySize = Frame::MaxBodySize;
    State m_state = Incomplete;
    // Length prefix, then the header: fixed in size for each type.
    char m_fixed[Frame::MaxPrefixAndHeaderSize] = {};
    int m_fixedFill = 0;
    int m_fixedSize = Frame::PrefixSize;
    quint32 m_bodySize = 0;
    qint64 m_payloadSize = 0;
    qint64 m_payloadFill = 0;
    QByteArray m_payload;
    Frame m_frame;
    QString m_error;
};

} // namespace Wire

#endif
