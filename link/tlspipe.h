#ifndef TLSPIPE_H
#define TLSPIPE_H

#include <QtCore/QIODevice>

#include <memory>

namespace Wire {

class TlsWorker;
struct TlsLink;

// The service's side of a TLS link whose socket a TlsWorker serves: reads what the worker
// decrypted and hands it what to encrypt, without touching the socket. Connected from the
// start, while the handshake goes on, until ended() or close().
class TlsPipe : public QIODevice
{
    Q_OBJECT
public:
    TlsPipe(const std::shared_ptr<TlsWorker> &worker, const std::shared_ptr<TlsLink> &link,
        QObject *parent = nullptr);
    ~TlsPipe() override;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override;
    // Ends the link: what was written goes out as far as the system takes it at once.
    void close() override;
    bool isConnected() const;
    // As write(), keeping a reference to `bytes` rather than a copy.
    qint64 writeShared(const QByteArray &bytes);

signals:
    // The link ended from the other side or failed, handshake included.
    void ended(const QString &reason);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    friend class TlsWorker;
    // Called in a delivery of the worker's news: there is something to read or the link ended.
    void takeNews();

    std::shared_ptr<TlsWorker> m_worker;
    std::shared_ptr<TlsLink> m_link;
    bool m_ended = false;
};

} // namespace Wire

#endif
