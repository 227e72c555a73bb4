#include "tlspipe.h"

#include "tlsworker.h"

#include <QtCore/QMutexLocker>
#include <QtCore/QPointer>

#include <cstring>
#include <utility>

namespace Wire {

TlsPipe::TlsPipe(
    const std::shared_ptr<TlsWorker> &worker, const std::shared_ptr<TlsLink> &link, QObject *parent)
    : QIODevice(parent)
    , m_worker(worker)
    , m_link(link)
{
    // Unbuffered: the link's own buffers are the only ones, and the bytes are not copied twice.
    QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    QMutexLocker lock(&m_link->mutex);
    m_link->pipe = this;
}

TlsPipe::~TlsPipe()
{
    close();
}

void TlsPipe::close()
{
    {
        // From here on the worker posts nothing more to this object.
        QMutexLocker lock(&m_link->mutex);
        if (!m_link->pipe)
            return;
        m_link->pipe = nullptr;
    }
    m_worker->drop(m_link);
    QIODevice::close();
}

bool TlsPipe::isConnected() const
{
    return isOpen() && !m_ended;
}

qint64 TlsPipe::bytesAvailable() const
{
    QMutexLocker lock(&m_link->mutex);
    return m_link->inbound.size() - m_link->readOffset;
}

qint64 TlsPipe::bytesToWrite() const
{
    // Asked before every write: without the mutex.
    return m_link->unsent.loadRelaxed();
}

qint64 TlsPipe::readData(char *data, qint64 maxSize)
{
    QMutexLocker lock(&m_link->mutex);
    TlsLink &link = *m_link;
    const qint64 size = qMin(maxSize, qint64(link.inbound.size() - link.readOffset));
    if (size <= 0)
        return link.ended ? -1 : 0;
    std::memcpy(data, link.inbound.constData() + link.readOffset, size_t(size));
    link.readOffset += int(size);
    if (link.readOffset == link.inbound.size()) {
        link.inbound.clear();
        link.readOffset = 0;
    }
    const bool resume
        = link.readingPaused && link.inbound.size() - link.readOffset < TlsWorker::MaxUnread / 2;
    if (resume)
        link.readingPaused = false;
    lock.unlock();
    if (resume)
        m_worker->resumeReading(m_link);
    return size;
}

qint64 TlsPipe::writeData(const char *data, qint64 size)
{
    return writeShared(QByteArray(data, int(size)));
}

qint64 TlsPipe::writeShared(const QByteArray &bytes)
{
    QMutexLocker lock(&m_link->mutex);
    if (m_link->ended || !m_link->pipe)
        return -1;
    m_link->outbound.push_back(bytes);
    m_link->outboundBytes += bytes.size();
    m_link->unsent.fetchAndAddRelaxed(bytes.size());
    const bool schedule = !std::exchange(m_link->writeScheduled, true);
    lock.unlock();
    if (schedule)
        m_worker->scheduleWrite(m_link);
    return bytes.size();
}

void TlsPipe::takeNews()
{
    QMutexLocker lock(&m_link->mutex);
    m_link->notifyPosted = false;
    const bool readable = m_link->inbound.size() > m_link->readOffset;
    const bool ending = m_link->ended && !m_ended;
    const QString reason = m_link->reason;
    lock.unlock();
    // A reader may delete the pipe.
    const QPointer<TlsPipe> alive(this);
    if (readable)
        emit readyRead();
    // After what came before the end, and only once.
    if (alive && ending && !m_ended) {
        m_ended = true;
        emit ended(reason);
    }
}

} // namespace Wire
