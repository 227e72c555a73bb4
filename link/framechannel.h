#ifndef FRAMECHANNEL_H
#define FRAMECHANNEL_H

#include "frame.h"

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QTimer>

#include <deque>

QT_BEGIN_NAMESPACE
class QIODevice;
class QSocketNotifier;
QT_END_NAMESPACE

namespace Wire {

// Carries frames over one connected socket, the same way on both sides. The first frame
// that breaks the protocol, a frame not complete within the frame timeout of its first byte,
// or a peer that stops reading while data piles up for it ends the connection; nothing the
// peer sends can make this side crash or hold more than one frame's worth of its bytes.
class FrameChannel : public QObject
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

    // False when the channel is closed or the frame is too large to send. The frame goes out
    // with the socket's next pass through the event loop, together with all sent meanwhile.
    bool send(const Frame &frame);
    // As send(), for a frame already encoded: one frame sent to many channels is encoded once,
    // and its bytes are shared by every socket's output rather than copied into each.
    bool sendEncoded(const QByteArray &frame);
    // Hands what was sent to the system now, for a frame whose peer is waiting for it.
    void flush();
    bool isOpen() const { return !m_closed; }
    // How long a frame may take to arrive, counted from its first byte.
    void setStallTimeout(int msecs);
    // Larger frames from the peer break the protocol; applies from the next frame on.
    void setMaxFrameSize(quint32 bodySize);
    // Memory this channel holds for the link: the frame being read, bytes the socket has
    // read but the channel not yet taken, and output the peer has not taken yet. Asking also
    // makes the next growth signalled again.
    qint64 bufferedBytes() const;
    // Drops the connection at once, frames not yet delivered included. What was sent before
    // is handed to the system as far as it takes it without waiting; the rest is dropped.
    void abort(const QString &reason);
    // Sends `last`, then aborts: a peer that reads learns why the link ends, one that does not
    // costs nothing more.
    void abortAfter(const Frame &last, const QString &reason);

signals:
    // Emitted as frames arrive, in order. A receiver that waits in an event loop of its own
    // (a synchronous call made from a slot) still gets the frames that arrive meanwhile: they
    // are delivered from inside its loop, although the socket says nothing of them there.
    void frameReceived(const Wire::Frame &frame);
    // Received or unsent bytes piled up; bufferedBytes() tells how many are held now. Emitted
    // once until bufferedBytes() is next called: a receiver checks when the pass is over, and a
    // signal for every frame of a burst would cost more than the frame itself.
    void bufferedBytesGrew();
    // Emitted once, from the event loop and never from inside a call into the channel, so a
    // receiver may delete the channel with deleteLater() and callers never see it vanish
    // midway.
    void closed(const QString &reason);

private:
    void start();
    void readFrames();
    void readAvailable();
    void takeCompleteFrame();
    // False when a receiver deleted the channel.
    bool deliverFrames();
    // QAbstractSocket does not emit readyRead() again while a slot on it runs, so a receiver's
    // nested loop would never hear of the frames it waits for. Any event loop's pass in the
    // thread reads on for the channels still delivering.
    void watchNestedLoops();
    static void continueNestedDeliveries();
    // False, the link aborted, when `size` more bytes would exceed MaxPendingBytes.
    bool roomFor(qint64 size);
    // Straight to the system while nothing waits before the bytes. What the system does not
    // take yet is held here on a plain socket, by reference when `shared` holds these bytes,
    // and goes into the socket's buffer on any other.
    bool write(const char *data, qint64 size, const QByteArray *shared = nullptr);
    // Hands held output to the system as far as it takes it without waiting.
    void writeHeld();
    void dropHeld();
    // Output written and not yet taken by the system, held here or in the socket.
    qint64 unsentBytes() const;
    void signalGrowth();
    void socketGone(const QString &reason);
    // Ends the link; frames that arrived whole before are still delivered, and what was sent
    // before goes out as abort() says.
    void close(const QString &reason);

    QIODevice *m_socket;
    FrameReader m_reader;
    // Frames read but not yet delivered, oldest first.
    std::deque<Frame> m_inbox;
    qint64 m_inboxBytes = 0;
    // bufferedBytesGrew() was emitted, and bufferedBytes() not asked since.
    mutable bool m_growthSignalled = false;
    QTimer m_stallTimer;
    // Output the system has not taken yet, held rather than copied into the socket's buffer:
    // a payload of megabytes would otherwise be copied once more, into memory allocated for
    // it. The first array is sent from m_heldOffset on. Held only while the socket's own
    // buffer is empty, so bytes never overtake one another.
    QList<QByteArray> m_held;
    qint64 m_heldOffset = 0;
    qint64 m_heldBytes = 0;
    // The last array held is this channel's own, gathering small frames, not a shared payload.
    bool m_tailOwned = false;
    // Says when the system takes more; null until output is first held.
    QSocketNotifier *m_writable = nullptr;
    bool m_closed = false;
    // The socket's buffer takes in a chunk at a time while a large payload comes in.
    bool m_readLimited = false;
    // How deep the channel is in delivering frames: above 1 from receivers' nested loops.
    int m_deliveryDepth = 0;
};

} // namespace Wire

#endif
