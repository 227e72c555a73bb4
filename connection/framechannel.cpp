#include "framechannel.h"

#include "transport.h"

#include <QtCore/QIODevice>
#include <QtCore/QPointer>

namespace Wire {

namespace {
constexpr qint64 ReadChunk = 64 * 1024;
}

FrameChannel::FrameChannel(
    QIODevice *socket, std::initializer_list<Frame::Type> accepted, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_reader(accepted)
{
    m_socket->setParent(this);
    m_stallTimer.setSingleShot(true);
    m_stallTimer.setInterval(DefaultStallTimeout);
    connect(&m_stallTimer, &QTimer::timeout, this,
        [this] { close(QStringLiteral("a frame stayed incomplete for too long")); });
    connect(m_socket, &QIODevice::readyRead, this, &FrameChannel::readFrames);
    Transport::watchEnd(m_socket, this, [this](const QString &reason) { socketGone(reason); });
    // Bytes, or the end of the connection, may have come before these connections existed.
    QMetaObject::invokeMethod(this, &FrameChannel::start, Qt::QueuedConnection);
}

FrameChannel::~FrameChannel() = default;

bool FrameChannel::send(const Frame &frame)
{
    if (m_closed)
        return false;
    const QByteArray bytes = frame.encode();
    if (bytes.isEmpty())
        return false;
    if (m_socket->bytesToWrite() + bytes.size() > MaxPendingBytes) {
        abort(QStringLiteral("the peer stopped reading"));
        return false;
    }
    const bool written = m_socket->write(bytes) == bytes.size();
    emit bufferedBytesGrew();
    return written;
}

void FrameChannel::setStallTimeout(int msecs)
{
    m_stallTimer.setInterval(msecs);
}

void FrameChannel::setMaxFrameSize(quint32 bodySize)
{
    m_reader.setMaxBodySize(bodySize);
}

qint64 FrameChannel::bufferedBytes() const
{
    return m_reader.bufferedBytes() + m_inboxBytes + m_socket->bytesAvailable()
        + m_socket->bytesToWrite();
}

void FrameChannel::abortAfter(const Frame &last, const QString &reason)
{
    if (m_closed)
        return;
    const QByteArray bytes = last.encode();
    if (m_socket->bytesToWrite() + bytes.size() <= MaxPendingBytes) {
        m_socket->write(bytes);
        Transport::flush(m_socket);
    }
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
    Transport::abort(m_socket);
    // Posted after any delivery of frames still waiting, so those come first.
    QMetaObject::invokeMethod(
        this, [this, reason] { emit closed(reason); }, Qt::QueuedConnection);
}

void FrameChannel::start()
{
    readFrames();
    if (!m_closed && !Transport::isConnected(m_socket))
        socketGone(QStringLiteral("the peer closed the connection"));
}

void FrameChannel::readFrames()
{
    while (!m_closed) {
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0)
            break;
        const QByteArray chunk
            = m_socket->read(qMin(qMin(available, ReadChunk), m_reader.bytesWanted()));
        if (chunk.isEmpty())
            break;
        m_reader.feed(chunk.constData(), chunk.size());
        if (m_reader.state() == FrameReader::Malformed)
            break;
        if (m_reader.state() == FrameReader::Complete) {
            m_stallTimer.stop();
            m_inbox.append(m_reader.takeFrame());
            m_inboxBytes += m_inbox.last().payload.size();
        }
    }
    postDelivery();
    // Frames that arrived whole before a fault are still delivered, before the link closes.
    if (m_reader.state() == FrameReader::Malformed)
        close(m_reader.errorString());
    if (m_closed || !m_reader.isMidFrame())
        return;
    // Counted from the frame's first byte, so trickling bytes does not keep a frame alive.
    if (!m_stallTimer.isActive())
        m_stallTimer.start();
    emit bufferedBytesGrew();
}

void FrameChannel::postDelivery()
{
    if (m_inbox.isEmpty() || m_deliveryPosted)
        return;
    m_deliveryPosted = true;
    QMetaObject::invokeMethod(this, &FrameChannel::deliverFrames, Qt::QueuedConnection);
}

void FrameChannel::deliverFrames()
{
    m_deliveryPosted = false;
    const QPointer<FrameChannel> alive(this);
    while (!m_inbox.isEmpty()) {
        const Frame frame = m_inbox.takeFirst();
        m_inboxBytes -= frame.payload.size();
        // A receiver may run an event loop of its own (a synchronous call waiting for its
        // answer); the frames after this one are then delivered from inside that loop.
        postDelivery();
        emit frameReceived(frame);
        if (!alive)
            return;
    }
}

void FrameChannel::socketGone(const QString &reason)
{
    if (m_closed || Transport::isConnected(m_socket))
        return;
    // Whatever the peer sent before it went still counts.
    readFrames();
    close(reason);
}

} // namespace Wire
