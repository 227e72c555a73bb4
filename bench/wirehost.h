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
    Q_OBJECT
public:
    // What a group of hosts counts together, so that waiting on a thousand of them looks at one
    // figure rather than at every host.
    struct Tally
    {
        Tally() { clock.start(); }

        int subscribed = 0;
        qint64 received = 0;
        // Of every answered call, in milliseconds on `clock`.
        QElapsedTimer clock;
        std::vector<double> latencies;
    };
    // A silent host connects and says nothing, not even hello.
    enum Opening { Handshake, Silent };

    explicit WireHost(Tally *tally);
    ~WireHost() override;

    // Connects to a local:, tcp:// or tls:// address and goes on as `opening` says.
    void open(const QString &address, Opening opening = Handshake);
    // Calls add(2, 3) `calls` times, each once the last is answered.
    void call(int calls);
    // Calls burst(1), which notifies every subscriber once.
    void fire();
    bool isSubscribed() const { return m_answers >= HandshakeAnswers; }
    // Since when, on the tally's clock, the oldest request still unanswered has waited; -1 when
    // none waits.
    qint64 waitingSince() const { return m_waitingSince; }
    // Ends the link as a host that is done with it.
    void leave();
    // Ends the link at once, whatever is on its way.
    void abort();

Q_SIGNALS:
    // The handshake's requests went out.
    void announced();
    void subscribed();
    void answered();

private:
    static constexpr int HandshakeAnswers = 3;

    void nextCall();
    void invoke(const QByteArray &payload);
    void request(qint32 command, const QByteArray &payload = QByteArray());
    void read();

    Tally *m_tally;
    std::unique_ptr<QIODevice> m_socket;
    Opening m_opening = Handshake;
    QByteArray m_pending;
    quint32 m_bench = 0;
    quint32 m_lastUid = 0;
    int m_answers = 0;
    int m_callsLeft = 0;
    qint64 m_waitingSince = -1;
};

#endif
