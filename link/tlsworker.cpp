#include "tlsworker.h"

#include "tlspipe.h"
#ifdef Q_OS_LINUX
#include "pollingeventdispatcher.h"
#endif

#include <QtCore/QCoreApplication>
#include <QtCore/QMutexLocker>
#include <QtNetwork/QSslSocket>

#include <utility>

namespace Wire {

namespace {
// What the socket decrypts ahead of the worker's reads: beyond it, the system holds the rest.
constexpr qint64 SocketReadBuffer = 64 * 1024;
} // namespace

TlsWorker::TlsWorker()
    : m_context(new QObject)
    , m_news(std::make_shared<News>())
    , m_receiver(new QObject)
{
#ifdef Q_OS_LINUX
    m_thread.setEventDispatcher(new PollingEventDispatcher);
#endif
    m_thread.setObjectName(QStringLiteral("TLS links"));
    m_context->moveToThread(&m_thread);
    m_thread.start();
}

TlsWorker::~TlsWorker()
{
    // The sockets go in their own thread, which then ends.
    QObject *context = m_context;
    QMetaObject::invokeMethod(context, [context] {
        delete context;
        QThread::currentThread()->quit();
    });
    m_thread.wait();
    // Deleted later when a delivery in it deleted the worker.
    if (m_news->delivering)
        m_receiver->deleteLater();
    else
        delete m_receiver;
}

void TlsWorker::adopt(qintptr descriptor, const QSslConfiguration &configuration,
    const std::shared_ptr<TlsLink> &link)
{
    QMetaObject::invokeMethod(m_context, [this, descriptor, configuration, link] {
        auto socket = new QSslSocket(m_context);
        if (!socket->setSocketDescriptor(descriptor)) {
            endAfterReading(link, socket->errorString());
            delete socket;
            return;
        }
        socket->setSslConfiguration(configuration);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket->setReadBufferSize(SocketReadBuffer);
        link->socket = socket;
        QObject::connect(socket, &QIODevice::readyRead, m_context, [this, link] { read(link); });
        QObject::connect(socket, &QSslSocket::errorOccurred, m_context,
            [this, socket, link] { endAfterReading(link, socket->errorString()); });
        QObject::connect(socket, &QSslSocket::disconnected, m_context, [this, link] {
            endAfterReading(link, QStringLiteral("the peer closed the connection"));
        });
        socket->startServerEncryption();
        // A socket posts itself a flush of what is written unless one is pending, and what the
        // worker writes it flushes at once: the flush made pending here, by writing nothing, is
        // taken back, so writes post none. Nothing else can be posted to the new socket yet.
        socket->write(QByteArray());
        QCoreApplication::removePostedEvents(socket, QEvent::MetaCall);
        // Only now: before the handshake starts, the socket would send it in clear text.
        write(*link);
    });
}

void TlsWorker::scheduleWrite(const std::shared_ptr<TlsLink> &link)
{
    QMutexLocker lock(&m_mutex);
    m_scheduled.push_back(link);
    // One pass takes the output of every link scheduled before it runs.
    if (m_scheduled.size() == 1)
        QMetaObject::invokeMethod(m_context, [this] { writeScheduled(); });
}

void TlsWorker::resumeReading(const std::shared_ptr<TlsLink> &link)
{
    QMetaObject::invokeMethod(m_context, [this, link] { read(link); });
}

void TlsWorker::drop(const std::shared_ptr<TlsLink> &link)
{
    QMetaObject::invokeMethod(m_context, [this, link] {
        if (!link->socket)
            return;
        write(*link);
        QSslSocket *socket = std::exchange(link->socket, nullptr);
        QObject::disconnect(socket, nullptr, m_context, nullptr);
        socket->abort();
        delete socket;
    });
}

void TlsWorker::writeScheduled()
{
    std::vector<std::shared_ptr<TlsLink>> scheduled;
    {
        QMutexLocker lock(&m_mutex);
        scheduled.swap(m_scheduled);
    }
    for (const std::shared_ptr<TlsLink> &link : scheduled)
        write(*link);
}

void TlsWorker::write(TlsLink &link)
{
    // What comes before the socket is made waits for adopt() to write it.
    QSslSocket *socket = link.socket;
    if (!socket)
        return;
    QMutexLocker lock(&link.mutex);
    m_taken.swap(link.outbound);
    link.outboundBytes = 0;
    link.writeScheduled = false;
    lock.unlock();
    if (m_taken.empty())
        return;
    for (const QByteArray &bytes : m_taken)
        socket->write(bytes);
    m_taken.clear();
    socket->flush();
    measureUnsent(link);
}

void TlsWorker::measureUnsent(TlsLink &link)
{
    QSslSocket *socket = link.socket;
    const qint64 unsent = socket->bytesToWrite() + socket->encryptedBytesToWrite();
    // Watched only while the system leaves output waiting: the signal costs every write.
    if (unsent > 0 && !link.drainWatched) {
        link.drainWatched = true;
        QObject::connect(socket, &QSslSocket::encryptedBytesWritten, m_context,
            [this, &link] { measureUnsent(link); });
    } else if (unsent == 0 && link.drainWatched) {
        link.drainWatched = false;
        QObject::disconnect(socket, &QSslSocket::encryptedBytesWritten, m_context, nullptr);
    }
    QMutexLocker lock(&link.mutex);
    link.unsent.storeRelaxed(unsent + link.outboundBytes);
}

void TlsWorker::read(const std::shared_ptr<TlsLink> &link)
{
    QMutexLocker lock(&link->mutex);
    TlsLink &shared = *link;
    if (QSslSocket *socket = link->socket) {
        if (shared.readOffset > 0) {
            shared.inbound.remove(0, shared.readOffset);
            shared.readOffset = 0;
        }
        const qint64 room = MaxUnread - shared.inbound.size();
        const qint64 available = socket->bytesAvailable();
        if (available > 0 && room > 0) {
            const int start = shared.inbound.size();
            shared.inbound.resize(start + int(qMin(available, room)));
            const qint64 got
                = socket->read(shared.inbound.data() + start, shared.inbound.size() - start);
            shared.inbound.resize(start + int(qMax<qint64>(got, 0)));
        }
        shared.readingPaused = socket->bytesAvailable() > 0;
    }
    // The end is told once everything the peer sent before it has been read.
    if (!shared.readingPaused && !shared.reason.isEmpty())
        shared.ended = true;
    if (shared.inbound.size() > shared.readOffset || shared.ended)
        notify(link);
}

void TlsWorker::endAfterReading(const std::shared_ptr<TlsLink> &link, const QString &reason)
{
    {
        // The first reason stands: a failure comes before the disconnection it causes.
        QMutexLocker lock(&link->mutex);
        if (link->reason.isEmpty())
            link->reason = reason;
    }
    read(link);
}

void TlsWorker::notify(const std::shared_ptr<TlsLink> &link)
{
    if (!link->pipe || std::exchange(link->notifyPosted, true))
        return;
    m_pending.push_back(link);
    // Handed over once this pass has read every link that was ready: what the service's thread
    // takes in one go it answers in one go, and a link read after it started would wait for
    // the next round.
    if (m_pending.size() == 1)
        QMetaObject::invokeMethod(m_context, [this] { handOver(); }, Qt::QueuedConnection);
}

void TlsWorker::handOver()
{
    QMutexLocker lock(&m_news->mutex);
    const bool idle = m_news->links.empty();
    m_news->links.insert(m_news->links.end(), m_pending.begin(), m_pending.end());
    m_pending.clear();
    // One delivery takes the news of every link that has some by the time it runs.
    if (idle)
        QMetaObject::invokeMethod(m_receiver, [news = m_news] { deliver(*news); });
}

void TlsWorker::deliver(News &news)
{
    std::vector<std::shared_ptr<TlsLink>> links;
    {
        QMutexLocker lock(&news.mutex);
        links.swap(news.links);
    }
    news.delivering = true;
    for (const std::shared_ptr<TlsLink> &link : links) {
        // Asked each time: a pipe's receivers may delete other pipes, the worker included.
        TlsPipe *pipe;
        {
            QMutexLocker lock(&link->mutex);
            pipe = link->pipe;
        }
        if (pipe)
            pipe->takeNews();
    }
    news.delivering = false;
}

} // namespace Wire
