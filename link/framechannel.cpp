#include "framechannel.h"

#include "transport.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QIODevice>
#include <QtCore/QPointer>
#include <QtCore/QSocketNotifier>
#include <QtCore/QVector>

#include <cstring>
#include <utility>

namespace Wire {

namespace {
// Small frames are read in bulk and cut up here, which costs one read from the socket for
// many of them; a payload at least this large is read straight into its frame. Meanwhile the
// socket's own buffer takes in no more at a time, and leaves the rest with the system; between
// large payloads it takes all there is, so that a burst of small frames costs few passes.
constexpr qint64 ChunkSize = 32 * 1024;
constexpr qint64 SmallFrameSize = 1024;

// The channels of this thread that are delivering a frame right now, and the event dispatcher
// whose passes are watched for them.
struct Deliveries
{
    QPointer<QAbstractEventDispatcher> watched;
    QVector<QPointer<FrameChannel>> channels;
};
thread_local Deliveries deliveries;
} // namespace

FrameChannel::FrameChannel(
    QIODevice *socket, std::initializer_list<Frame::Type> accepted, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_reader(accepted)
{
    m_socket->setParent(this);
    Transport::sendWithoutDelay(m_socket);
    m_stallTimer.setSingleShot(true);
    m_stallTimer.setInterval(DefaultStallTimeout);
    connect(&m_stallTimer, &QTimer::timeout, this,
        [this] { close(QStringLiteral("a frame stayed incomplete for too long")); });
    connect(m_socket, &QIODevice::readyRead, this, &FrameChannel::readFrames);
    Transport::watchEnd(m_socket, this, [this](const QString &reason) { socketGone(reason); });
    // Bytes, or the end of the connection, may have come before these connections existed.
    QMetaObject::invokeMethod(this, &FrameChannel::start, Qt::QueuedConnection);
}

FrameChannel::~FrameChannel()
{
    // Deleted by a receiver of its own frames.
    if (m_deliveryDepth > 0)
        deliveries.channels.removeAll(this);
}

bool FrameChannel::send(const Frame &frame)
{
    if (m_closed)
        return false;
    char head[Frame::MaxPrefixAndHeaderSize];
    const int headSize = frame.encodeHeader(head);
    if (headSize == 0)
        return false;
    const qint64 size = headSize + frame.payload.size();
    if (!roomFor(size))
        return false;
    bool written;
    if (size <= SmallFrameSize) {
        // One write into the socket's buffer costs more than copying a small frame together.
        char whole[SmallFrameSize];
        std::memcpy(whole, head, size_t(headSize));
        std::memcpy(whole + headSize, frame.payload.constData(), size_t(frame.payload.size()));
        written = write(whole, size);
    } else {
        // A large payload is not assembled first, and what the system does not take at once
        // is held by reference.
        written = write(head, headSize)
            && write(frame.payload.constData(), frame.payload.size(), &frame.payload);
    }
    signalGrowth();
    return written;
}

bool FrameChannel::sendEncoded(const QByteArray &frame)
{
    if (m_closed || !roomFor(frame.size()))
        return false;
    const bool written = write(frame.constData(), frame.size(), &frame);
    signalGrowth();
    return written;
}

bool FrameChannel::write(const char *data, qint64 size, const QByteArray *shared)
{
    qint64 direct = 0;
    if (m_held.isEmpty()) {
        direct = Transport::writeNow(m_socket, data, size);
        if (direct == size)
            return true;
        const qintptr descriptor = Transport::plainDescriptor(m_socket);
        if (descriptor < 0 || m_socket->bytesToWrite() > 0 || !Transport::isConnected(m_socket)) {
            // The socket's buffer shares what it is given whole.
            if (direct == 0 && shared)
                return Transport::writeShared(m_socket, *shared) == size;
            return m_socket->write(data + direct, size - direct) == size - direct;
        }
        // Made when first needed: most links never hold output.
        if (!m_writable) {
            m_writable = new QSocketNotifier(descriptor, QSocketNotifier::Write, this);
            connect(m_writable, &QSocketNotifier::activated, this, &FrameChannel::writeHeld);
        }
    }
    const qint64 rest = size - direct;
    if (shared && rest >= SmallFrameSize) {
        if (m_held.isEmpty())
            m_heldOffset = direct;
        m_held.append(*shared);
        m_tailOwned = false;
    } else if (m_tailOwned) {
        // Small frames are gathered, so that a burst of them goes out in few writes.
        m_held.last().append(data + direct, int(rest));
    } else {
        if (m_held.isEmpty())
            m_heldOffset = 0;
        m_held.append(QByteArray(data + direct, int(rest)));
        m_tailOwned = true;
    }
    m_heldBytes += rest;
    m_writable->setEnabled(true);
    return true;
}

void FrameChannel::writeHeld()
{
    while (!m_held.isEmpty()) {
        const QByteArray &front = m_held.first();
        const qint64 left = front.size() - m_heldOffset;
        const qint64 taken = Transport::writeNow(m_socket, front.constData() + m_heldOffset, left);
        if (taken == 0 && !Transport::isConnected(m_socket)) {
            // The link is ending: the socket says why, and nothing more goes out.
            dropHeld();
            break;
        }
        m_heldBytes -= taken;
        if (taken < left) {
            m_heldOffset += taken;
            break;
        }
        m_held.removeFirst();
        m_heldOffset = 0;
        if (m_held.isEmpty())
            m_tailOwned = false;
    }
    if (m_writable)
        m_writable->setEnabled(!m_held.isEmpty());
}

void FrameChannel::dropHeld()
{
    m_held.clear();
    m_heldOffset = 0;
    m_heldBytes = 0;
    m_tailOwned = false;
}

qint64 FrameChannel::unsentBytes() const
{
    return m_heldBytes + Transport::bytesToWrite(m_socket);
}

bool FrameChannel::roomFor(qint64 size)
{
    if (unsentBytes() + size <= MaxPendingBytes)
        return true;
    abort(QStringLiteral("the peer stopped reading"));
    return false;
}

void FrameChannel::flush()
{
    if (m_closed)
        return;
    writeHeld();
    Transport::flush(m_socket);
}

void FrameChannel::setStallTimeout(int msecs)
{
    m_stallTimer.setInterval(msecs);
}

void FrameChannel::setMaxFrameSize(quint32 bodySize)
{
    m_reader.setMaxBodySize(bodySize);
}

void FrameChannel::signalGrowth()
{
    if (!std::exchange(m_growthSignalled, true))
        emit bufferedBytesGrew();
}

qint64 FrameChannel::bufferedBytes() const
{
    m_growthSignalled = false;
    return m_reader.bufferedBytes() + m_inboxBytes + m_socket->bytesAvailable() + unsentBytes();
}

void FrameChannel::abortAfter(const Frame &last, const QString &reason)
{
    if (m_closed)
        return;
    const QByteArray bytes = last.encode();
    if (unsentBytes() + bytes.size() <= MaxPendingBytes)
        write(bytes.constData(), bytes.size(), &bytes);
    abort(reason);
}

void FrameChannel::abort(const QString &reason)
{
    // This side is done with the link: frames not yet delivered are of no use to anyone.
    m_inbox.clear();
    m_inboxBytes = 0;
    close(reason);
}

void FrameChannel::close(const QString &reason)
{
    if (m_closed)
        return;
    m_closed = true;
    m_stallTimer.stop();
    disconnect(m_socket, nullptr, this, nullptr);
    // Whatever ends the link, what this side sent before goes out: the answers to the frames
    // handled before a fault included, which a receiver leaves to the next pass. Only what
    // the system does not take at once is lost.
    writeHeld();
    dropHeld();
    delete m_writable;
    m_writable = nullptr;
    Transport::flush(m_socket);
    Transport::abort(m_socket);
    // Posted after any delivery of frames still waiting, so those come first.
    QMetaObject::invokeMethod(
        this, [this, reason] { emit closed(reason); }, Qt::QueuedConnection);
}

void FrameChannel::start()
{
    // Frames are delivered from here, and a receiver may delete the channel.
    const QPointer<FrameChannel> alive(this);
    readFrames();
    if (alive && !m_closed && !Transport::isConnected(m_socket))
        socketGone(QStringLiteral("the peer closed the connection"));
}

void FrameChannel::readFrames()
{
    if (!m_closed)
        readAvailable();
    if (!deliverFrames())
        return;
    // Frames that arrived whole before a fault are still delivered, before the link closes.
    if (m_reader.state() == FrameReader::Malformed)
        close(m_reader.errorString());
}

void FrameChannel::readAvailable()
{
    char chunk[ChunkSize];
    while (m_reader.state() == FrameReader::Incomplete) {
        const bool large = m_reader.payloadSize() >= ChunkSize;
        if (large != m_readLimited) {
            Transport::limitReadBuffer(m_socket, large ? ChunkSize : 0);
            m_readLimited = large;
        }
        const qint64 available = m_socket->bytesAvailable();
        if (large) {
            // What the socket's buffer does not hold yet is read past it, from the system.
            const qint64 got = available > 0 ? m_reader.readFrom(m_socket, available)
                                             : m_reader.readNow(m_socket);
            if (got <= 0)
                break;
            takeCompleteFrame();
            continue;
        }
        if (available <= 0)
            break;
        const qint64 size = m_socket->read(chunk, qMin(available, ChunkSize));
        if (size <= 0)
            break;
        for (qint64 taken = 0; taken < size && m_reader.state() != FrameReader::Malformed;) {
            taken += m_reader.feed(chunk + taken, size - taken);
            takeCompleteFrame();
        }
    }
    if (m_reader.state() == FrameReader::Malformed || !m_reader.isMidFrame())
        return;
    // Counted from the frame's first byte, so trickling bytes does not keep a frame alive.
    if (!m_stallTimer.isActive())
        m_stallTimer.start();
    signalGrowth();
}

void FrameChannel::takeCompleteFrame()
{
    if (m_reader.state() != FrameReader::Complete)
        return;
    m_stallTimer.stop();
    m_inbox.push_back(m_reader.takeFrame());
    m_inboxBytes += m_inbox.back().payload.size();
}

bool FrameChannel::deliverFrames()
{
    if (m_inbox.empty())
        return true;
    const QPointer<FrameChannel> alive(this);
    if (m_deliveryDepth++ == 0)
        watchNestedLoops();
    while (!m_inbox.empty()) {
        const Frame frame = std::move(m_inbox.front());
        m_inbox.pop_front();
        m_inboxBytes -= frame.payload.size();
        emit frameReceived(frame);
        if (!alive)
            return false;
    }
    if (--m_deliveryDepth == 0)
        deliveries.channels.removeOne(this);
    return true;
}

void FrameChannel::watchNestedLoops()
{
    deliveries.channels.append(this);
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || deliveries.watched == dispatcher)
        return;
    deliveries.watched = dispatcher;
    // Every event dispatcher emits awake() on each pass of any loop it runs, nested ones
    // included; with the glib one, right after the pass handled the sockets.
    connect(dispatcher, &QAbstractEventDispatcher::awake, dispatcher,
        &FrameChannel::continueNestedDeliveries);
}

void FrameChannel::continueNestedDeliveries()
{
    if (deliveries.channels.isEmpty())
        return;
    // A copy: deliveries from here add and remove channels, and may delete them.
    const QVector<QPointer<FrameChannel>> delivering = deliveries.channels;
    for (const QPointer<FrameChannel> &channel : delivering) {
        if (channel)
            channel->readFrames();
    }
    deliveries.channels.removeAll(nullptr);
}

void FrameChannel::socketGone(const QString &reason)
{
    if (m_closed || Transport::isConnected(m_socket))
        return;
    // Whatever the peer sent before it went still counts.
    const QPointer<FrameChannel> alive(this);
    readFrames();
    if (alive)
        close(reason);
}

} // namespace Wire
