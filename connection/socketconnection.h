#ifndef SOCKETCONNECTION_H
#define SOCKETCONNECTION_H

#include "connectionexport.h"
#include "connectionstate.h"
#include "message.h"

#include <QtCore/QObject>

#include <memory>

class Request;

// The host's end of a link to a service, over a local socket or TCP. Lives in one thread, the
// one it was created in or moved to. The module finds message(), stateChanged() and request()
// by their signatures, so those three stay exactly as they are.
class REMOTOCONNECTION_EXPORT SocketConnection : public QObject
{
    Q_OBJECT
public:
    // The delay before the first reconnection attempt, in milliseconds.
    static constexpr int DefaultFirstReconnectDelay = 100;
    // The longest delay between reconnection attempts, in milliseconds.
    static constexpr int DefaultMaxReconnectDelay = 10000;

    // A connection that is not linked to any service yet.
    explicit SocketConnection(QObject *parent = nullptr);
    // Drops the link without reporting it lost.
    ~SocketConnection() override;

    // Accepts "local:NAME", "tcp://HOST:PORT" or "tls://HOST:PORT" and drops any current link
    // first. For an address of another form it returns false and leaves the current link alone;
    // failures of the attempt itself are reported through stateChanged() and errorOccurred().
    Q_INVOKABLE bool connectToService(const QString &address);
    // A link that was up is reported lost before the state settles at Disconnected, so the
    // module lets go of the service's objects. Whenever a link is reported lost, every INVOKE
    // and SIGCONNECT sent on it and still unanswered is first answered here with result code
    // 7 (CONNECTION_ERROR), so a call waiting for it returns at once.
    Q_INVOKABLE void disconnectFromService();

    // The state last reported through stateChanged().
    Velmor::Connection::State state() const;
    // What went wrong last, in plain English; empty before anything did.
    QString errorString() const;
    // Why the service refused the current or last link, as it said in its refusal; 0 when
    // it did not.
    qint32 refusalReason() const;

    // Sent in the hello that opens every link, reconnections included. False, changing
    // nothing, for a token longer than the hello can carry.
    bool setAccessToken(const QByteArray &token);
    // The CA certificates (PEM) that a tls:// service's certificate must be issued by, in
    // place of the system's; an empty name goes back to the system's. False, with
    // errorString() and nothing changed, when the file holds no certificate.
    bool setTlsCaFile(const QString &file);
    // The SHA-256 of the DER SubjectPublicKeyInfo of a tls:// service's certificate, 64 hex
    // digits: a certificate with this key is taken whoever issued it, one with another key
    // never; its host name and dates still count. An empty pin removes it. False, changing
    // nothing, for anything else.
    bool setTlsPin(const QString &sha256Hex);
    // The certificate chain and unencrypted private key (PEM) shown to a tls:// service that
    // asks for one; empty names show none. False, with errorString() and nothing changed,
    // when either file cannot be used.
    bool setTlsClientCertificate(const QString &chainFile, const QString &keyFile);
    // With it on, a lost link or a failed attempt is followed by another attempt, after a
    // delay that starts at the first reconnect delay and doubles up to the maximum.
    void setAutoReconnect(bool enabled);
    // Whether a lost link or a failed attempt is followed by another attempt.
    bool autoReconnect() const;
    // The delays between reconnection attempts, in milliseconds: the first one, doubled up
    // to the maximum.
    void setReconnectDelays(int firstMsecs, int maxMsecs);
    // How long a frame from the service may take, from its first byte to its last.
    void setStallTimeout(int msecs);

signals:
    // One message from the service, or one the connection made itself (a refusal of a
    // request that could not go out, the answers it gives when the link is lost).
    void message(const Velmor::Command::Message &message);
    // The link's state changed; ConnectionLost is reported once per link that was up.
    void stateChanged(const Velmor::Connection::State state);
    // Also emitted when the service refuses the link, as soon as it says so; the link is
    // then reported lost when the service closes it, without a second error. A link refused
    // for its access token, or an attempt whose TLS handshake refused the service's
    // certificate, is not tried again: the state settles at Disconnected.
    void errorOccurred(const QString &text);
    // Once per link, after the messages announcing every object the service had when it
    // admitted the link: from then on a host knows which objects to expect. A service from
    // before this signal existed never sends it, so a wait for it needs a bound.
    void initialObjectsAnnounced();

public slots:
    // Requests that cannot go out (no link, a command that is not a number, a payload too
    // large for a frame) are answered at once with a Refused message, delivered from the
    // event loop, so the module never waits for an answer that cannot come. A payload the
    // module also gave unwrapped goes out as those bytes to a service that takes them. The
    // request is read during the call only.
    void request(const Request *request);

private:
    class Q_DECL_HIDDEN Private;
    std::unique_ptr<Private> d;
};

#endif
