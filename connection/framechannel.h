#ifndef FRAMECHANNEL_H
#define FRAMECHANNEL_H

#include "connectionexport.h"
#include "frame.h"

#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QTimer>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

namespace Wire {

// Carries frames over one connected socket, the same way on both sides. The first frame
// that breaks the protocol, a frame not complete within the frame timeout of its first byte,
// or a peer that stops reading while data piles up for it ends the connection; nothing the
// peer sends can make this side crash or hold more than one frame's worth of its bytes.
class REMOTOCONNECTION_EXPORT FrameChannel : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultStallTimeout = 30000;
    // Unsent bytes beyond this mean the peer has stopped reading.
    static constexpr qint64 MaxPendingBytes = 4 * qint64(Frame::MaxBodySize);

    // Takes ownership of `socket`, a connected QLocalSocket or QAbstractSocket. Frames of
    // types outside `accepted` break the protocol.
    FrameChannel(
        QIODevice *socket, std::initializer_list<Frame::Type> accepted, QObject *parent = nullptr);
    ~FrameChannel() override;

    // False when the channel is closed or the frame is too large to send.
    bool send(const Frame &frame);
    bool isOpen() const { return !m_closed; }
    // How long a frame may take to arrive, counted from its first byte.
    void setStallTimeout(int msecs);
    // Larger frames from the peer break the protocol; applies from the next frame on.
    void setMaxFrameSize(quint32 bodySize);
    // Memory this channel holds for the link: the frame being read, bytes the socket has
    // read but the channel not yet taken, and output the peer has not taken yet.
    qint64 bufferedBytes() const;
    // Drops the connection at once, pending output and frames not yet delivered included.
    void abort(const QString &reason);
    // Hands `last` to the socket, as far as it takes it without waiting, then aborts: a
    // peer that reads learns why the link ends, one that does not costs nothing more.
    void abortAfter(const Frame &last, const QString &reason);

signals:
    // Emitted from the event loop, never from inside the socket's readyRead(): a receiver
    // that waits in an event loop of its own still gets the frames that arrive meanwhile,
    // in order, and they are delivered from inside its loop.
    void frameReceived(const Wire::Frame &frame);
    // Received or unsent bytes piled up; bufferedBytes() tells how many are held now.
    void bufferedBytesGrew();
    // Emitted once, from the event loop and never from inside a call into the channel, so a
    // receiver may delete the channel with deleteLater() and callers never see it vanish
    // midway.
    void closed(const QString &reason);

private:
    void start();
    void readFrames();
    void postDelivery();
    void deliverFrames();
    void socketGone(const QString &reason);
    // Ends the link; frames that arrived whole before are still delivered.
    void close(const QString &reason);

    QIODevice *m_socket;
    FrameReader m_reader;
    // Frames read but not yet delivered, oldest first.
    QList<Frame> m_inbox;
    qint64 m_inboxBytes = 0;
    QTimer m_stallTimer;
    bool m_closed = false;
    bool m_deliveryPosted = false;
};

} // namespace Wire

#endif
