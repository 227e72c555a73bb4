#ifndef WIREHOST_H
#define WIREHOST_H

#include <QtCore/QElapsedTimer>
#include <QtCore/QObject>

#include <memory>
#include <vector>

class QIODevice;

// A host of the module on a link of its own, speaking raw frames (docs/wire-protocol.md) as the
// module would: hello, the announcements, GETINFO, GETMETAINFO and SIGCONNECT for fired(int),
// then counting the notifications and calling add(2, 3) when asked. Many fit in one process,
// where as many hosts of the module would each need the plug-in loaded.
class WireHost : public QObject
{
public:
    // What a group of hosts counts together, so that waiting on a thousand of them looks at one
    // figure rather than at every host.
    struct Tally
    {
        int subscribed = 0;
        qint64 received = 0;
        // Of every answered call, in milliseconds on `clock`.
        QElapsedTimer clock;
        std::vector<double> latencies;
    };

    explicit WireHost(Tally *tally);
    ~WireHost() override;

    // Connects to a local:, tcp:// or tls:// address and subscribes.
    void open(const QString &address);
    // Calls add(2, 3) `calls` times, each once the last is answered.
    void call(int calls);

private:
    static constexpr int HandshakeAnswers = 3;

    void nextCall();
    void request(qint32 command, const QByteArray &payload = QByteArray());
    void read();

    Tally *m_tally;
    std::unique_ptr<QIODevice> m_socket;
    QByteArray m_pending;
    quint32 m_bench = 0;
    quint32 m_lastUid = 0;
    int m_answers = 0;
    int m_callsLeft = 0;
    qint64 m_sentAt = 0;
};

#endif
