#ifndef TLSWORKER_H
#define TLSWORKER_H

#include <QtCore/QAtomicInteger>
#include <QtCore/QByteArray>
#include <QtCore/QMutex>
#include <QtCore/QObject>
#include <QtCore/QThread>
#include <QtNetwork/QSslConfiguration>

#include <memory>
#include <vector>

QT_BEGIN_NAMESPACE
class QSslSocket;
QT_END_NAMESPACE

namespace Wire {

class TlsPipe;

// What one TLS link's two ends share: the pipe in the service's thread and the socket in the
// worker's. Everything but `socket` is guarded by `mutex`; `unsent` is also read without it.
struct TlsLink
{
    QMutex mutex;
    // Decrypted bytes the pipe has not read yet, from `readOffset` on.
    QByteArray inbound;
    int readOffset = 0;
    // Written by the pipe and not yet taken by the worker: a frame sent to many links is
    // shared by all of them, not copied.
    std::vector<QByteArray> outbound;
    qint64 outboundBytes = 0;
    // Written by the pipe and not yet taken by the system: what the worker took counts until
    // it has measured what the socket still holds. Changed under `mutex`, read without it.
    QAtomicInteger<qint64> unsent = 0;
    bool writeScheduled = false;
    bool notifyPosted = false;
    // The worker stopped reading while the pipe holds this much unread.
    bool readingPaused = false;
    // Told once `reason` is set and everything before it has been read.
    bool ended = false;
    QString reason;
    // The pipe to tell of news; null once it is gone.
    TlsPipe *pipe = nullptr;
    // The worker's thread only.
    QSslSocket *socket = nullptr;
    bool drainWatched = false;
};

// Serves the sockets of TLS links in a thread of its own, so that the service's thread pays
// for none of what a TLS socket costs its event dispatcher per write. The sockets are made,
// handshake and all, written, read and deleted in that thread alone; the service's side of
// each link is a TlsPipe. Shared by the server that accepts the links and every pipe, and the
// thread ends with the last of them.
class TlsWorker
{
public:
    // Beyond this much unread in a pipe, the worker leaves the rest with the system.
    static constexpr int MaxUnread = 1024 * 1024;

    TlsWorker();
    ~TlsWorker();
    TlsWorker(const TlsWorker &) = delete;
    TlsWorker &operator=(const TlsWorker &) = delete;

    // Takes over an accepted descriptor for `link` and starts the service's side of the
    // handshake.
    void adopt(qintptr descriptor, const QSslConfiguration &configuration,
        const std::shared_ptr<TlsLink> &link);
    // Has the worker take what the pipe wrote; one pass of the worker takes it for every link
    // scheduled since the last.
    void scheduleWrite(const std::shared_ptr<TlsLink> &link);
    // Reads again for a link whose pipe has taken enough of what was read.
    void resumeReading(const std::shared_ptr<TlsLink> &link);
    // Hands what was written to the system as far as it takes it at once, and ends the link.
    void drop(const std::shared_ptr<TlsLink> &link);

private:
    void writeScheduled();
    void write(TlsLink &link);
    void measureUnsent(TlsLink &link);
    void read(const std::shared_ptr<TlsLink> &link);
    void endAfterReading(const std::shared_ptr<TlsLink> &link, const QString &reason);
    // Links whose pipes have news, for the service's thread to deliver in one go.
    struct News
    {
        QMutex mutex;
        std::vector<std::shared_ptr<TlsLink>> links;
        // The service's thread only.
        bool delivering = false;
    };

    // Tells the pipe to look again; called with the link's mutex held.
    void notify(const std::shared_ptr<TlsLink> &link);
    void handOver();
    static void deliver(News &news);

    QThread m_thread;
    // Lives in m_thread and parents every socket.
    QObject *m_context;
    QMutex m_mutex;
    std::vector<std::shared_ptr<TlsLink>> m_scheduled;
    // Links with news in this pass of the worker; its thread only.
    std::vector<std::shared_ptr<TlsLink>> m_pending;
    std::shared_ptr<News> m_news;
    // Lives in the service's thread, where the news is delivered.
    QObject *m_receiver;
    // Swapped with a link's output, so that neither side allocates anew for every write.
    std::vector<QByteArray> m_taken;
};

} // namespace Wire

#endif
