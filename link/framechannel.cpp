#include "framechannel.h"

#include "transport.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QIODevice>
#include <QtCore/QPointer>
#include <QtCore/QVector>

#include <cstring>
#include <utility>

namespace Wire {

namespace {
// Small frames are read in bulk and cut up here, which costs one read from the socket for
// many of them; a payload at least this large is read straight into its frame.
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
        // A large payload is copied at most once, into the socket's buffer, not assembled
        // first.
        written = write(head, headSize) && write(frame.payload.constData(), frame.payload.size());
    }
    signalGrowth();
    return written;
}

bool FrameChannel::sendEncoded(const QByteArray &frame)
{
    if (m_closed || !roomFor(frame.size()))
        return false;
    const qint64 direct = Transport::writeNow(m_socket, frame.constData(), frame.size());
    // What the system did not take waits in the socket's buffer, which shares the bytes.
    const bool written = direct == frame.size()
        || (direct == 0 ? m_socket->write(frame) == frame.size()
                        : write(frame.constData() + direct, frame.size() - direct));
    signalGrowth();
    return written;
}

bool FrameChannel::write(const char *data, qint64 size)
{
    const qint64 direct = Transport::writeNow(m_socket, data, size);
    return direct == size || m_socket->write(data + direct, size - direct) == size - direct;
}

bool FrameChannel::roomFor(qint64 size)
{
    if (Transport::bytesToWrite(m_socket) + size <= MaxPendingBytes)
        return true;
    abort(QStringLiteral("the peer stopped reading"));
    return false;
}

void FrameChannel::flush()
{
    if (!m_closed)
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
    return m_reader.bufferedBytes() + m_inboxBytes + m_socket->bytesAvailable()
        + Transport::bytesToWrite(m_socket);
}

void FrameChannel::abortAfter(const Frame &last, const QString &reason)
{
    if (m_closed)
        return;
    const QByteArray bytes = last.encode();
    if (Transport::bytesToWrite(m_socket) + bytes.size() <= MaxPendingBytes)
        m_socket->write(bytes);
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
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0)
            break;
        if (m_reader.bytesWanted() >= ChunkSize) {
            if (m_reader.readFrom(m_socket, available) <= 0)
                break;
        } else {
            const qint64 size = m_socket->read(chunk, qMin(available, ChunkSize));
            if (size <= 0)
                break;
            for (qint64 taken = 0; taken < size && m_reader.state() != FrameReader::Malformed;) {
                taken += m_reader.feed(chunk + taken, size - taken);
                takeCompleteFrame();
            }
            continue;
        }
        takeCompleteFrame();
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
