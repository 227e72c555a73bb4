#ifndef SOCKETCONNECTION_H
#define SOCKETCONNECTION_H

#include "connectionexport.h"
#include "connectionstate.h"
#include "framechannel.h"
#include "message.h"
#include "serviceaddress.h"

#include <QtCore/QMap>
#include <QtCore/QObject>
#include <QtCore/QTimer>

class Request;

// The host's end of a link to a service. The module finds message(), stateChanged() and
// request() by their signatures, so those three stay exactly as they are.
class REMOTOCONNECTION_EXPORT SocketConnection : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultFirstReconnectDelay = 100;
    static constexpr int DefaultMaxReconnectDelay = 10000;

    explicit SocketConnection(QObject *parent = nullptr);
    ~SocketConnection() override;

    // Accepts "local:NAME" or "tcp://HOST:PORT" and drops any current link first. For an
    // address of another form it returns false and leaves the current link alone; failures
    // of the attempt itself are reported through stateChanged() and errorOccurred().
    Q_INVOKABLE bool connectToService(const QString &address);
    // A link that was up is reported lost before the state settles at Disconnected, so the
    // module lets go of the service's objects. Whenever a link is reported lost, every INVOKE
    // and SIGCONNECT sent on it and still unanswered is first answered here with result code
    // 7 (CONNECTION_ERROR), so a call waiting for it returns at once.
    Q_INVOKABLE void disconnectFromService();

    Velmor::Connection::State state() const { return m_state; }
    QString errorString() const { return m_error; }
    // Why the service refused the current or last link, as it said in its refusal; 0 when
    // it did not.
    qint32 refusalReason() const { return m_refusalReason; }

    // Sent in the hello that opens every link, reconnections included. False, changing
    // nothing, for a token longer than the hello can carry.
    bool setAccessToken(const QByteArray &token);
    // With it on, a lost link or a failed attempt is followed by another attempt, after a
    // delay that starts at the first reconnect delay and doubles up to the maximum.
    void setAutoReconnect(bool enabled);
    bool autoReconnect() const { return m_autoReconnect; }
    void setReconnectDelays(int firstMsecs, int maxMsecs);
    // How long a frame from the service may take, from its first byte to its last.
    void setStallTimeout(int msecs);

signals:
    void message(const Velmor::Command::Message &message);
    void stateChanged(const Velmor::Connection::State state);
    // Also emitted when the service refuses the link, as soon as it says so; the link is
    // then reported lost when the service closes it, without a second error. A link refused
    // for its access token is not tried again: the state settles at Disconnected.
    void errorOccurred(const QString &text);
    // Once per link, after the messages announcing every object the service had when it
    // admitted the link: from then on a host knows which objects to expect. A service from
    // before this signal existed never sends it, so a wait for it needs a bound.
    void initialObjectsAnnounced();

public slots:
    // Requests that cannot go out (no link, a command that is not a number, a payload too
    // large for a frame) are answered at once with a Refused message, delivered from the
    // event loop, so the module never waits for an answer that cannot come. A payload the
    // module also gave unwrapped goes out as those bytes to a service that takes them.
    void request(const Request *request);

private:
    void startAttempt();
    void attemptSucceeded();
    void attemptFailed(const QString &error);
    void linkLost(Wire::FrameChannel *channel, const QString &reason);
    void frameArrived(const Wire::Frame &frame);
    void refusalArrived(const Wire::Frame &frame);
    void refuseLocally(const Request &request);
    void scheduleReconnect();
    void setState(Velmor::Connection::State state);
    // Reports the link lost, first answering the calls still waiting on it.
    void reportLinkLost();
    void dropPendingSocket();

    Wire::ServiceAddress m_address;
    QByteArray m_token;
    // The socket of an attempt still connecting.
    QIODevice *m_pending = nullptr;
    Wire::FrameChannel *m_channel = nullptr;
    struct Unanswered
    {
        quint32 objectId;
        qint32 command;
    };
    // INVOKE and SIGCONNECT requests sent on the current link and not yet answered, by uid.
    QMap<quint32, Unanswered> m_unanswered;
    QTimer m_reconnectTimer;
    Velmor::Connection::State m_state = Velmor::Connection::Disconnected;
    QString m_error;
    bool m_autoReconnect = false;
    // Why the service is closing the current link; 0 while it has not said.
    qint32 m_refusalReason = 0;
    bool m_initialObjectsAnnounced = false;
    // What the service on the current link said it takes beyond the plain protocol.
    quint32 m_serviceFeatures = 0;
    // The host asked for a link and has not asked to drop it.
    bool m_wanted = false;
    int m_firstDelay = DefaultFirstReconnectDelay;
    int m_maxDelay = DefaultMaxReconnectDelay;
    int m_nextDelay = DefaultFirstReconnectDelay;
    int m_stallTimeout = Wire::FrameChannel::DefaultStallTimeout;
};

#endif
