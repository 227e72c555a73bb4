#ifndef REMOTOSERVICE_H
#define REMOTOSERVICE_H

#include "serviceexport.h"

#include <QtCore/QObject>
#include <QtCore/QStringList>

#include <memory>

QT_BEGIN_NAMESPACE
class QSslCertificate;
class QSslKey;
QT_END_NAMESPACE

// The remote side: publishes objects of this process under names and serves any number of
// clients over a local socket or TCP. Clients reach only what is published, and of that only
// what ObjectInterface offers. Published objects must live in the service's thread.
class REMOTOSERVICE_EXPORT RemotoService : public QObject
{
    Q_OBJECT
public:
    // How many clients are admitted at once unless setMaxClients() says otherwise, on systems
    // that set no limit on a process's open files. Elsewhere the default is what the soft
    // limit in force when the service is made leaves after the service's own files.
    static constexpr int DefaultMaxClients = 256;
    // Milliseconds a client may take to send its hello unless setHelloTimeout() says otherwise.
    static constexpr int DefaultHelloTimeout = 10000;
    // Bytes all clients together may hold unless setMemoryBudget() says otherwise.
    static constexpr qint64 DefaultMemoryBudget = 128 * 1024 * 1024;

    // A service that publishes nothing and does not listen yet.
    explicit RemotoService(QObject *parent = nullptr);
    // Stops listening and drops every client; the published objects are not deleted.
    ~RemotoService() override;

    // "local:NAME", or "tcp://HOST:PORT" or "tls://HOST:PORT" with HOST an IP address or
    // "localhost"; an empty host ("tcp://:PORT") means loopback, port 0 any free port. A
    // tls:// address needs setTlsCertificate() first. A host other machines can reach needs
    // an access token, a client CA (tls:// only) or setAllowUnauthenticated(). A local socket file
    // left behind by a service that is gone is replaced; one that a live service answers on, and
    // anything that is not a socket file, is not. Stops any previous listening first.
    bool listen(const QString &address);
    // Stops listening and drops every client; published objects stay published.
    void close();
    // False while the service is listening again after listenerFailed().
    bool isListening() const;
    // The address being listened on, with the port actually taken.
    QString address() const;
    // Why listen() failed, or why the listener stopped, in plain English.
    QString errorString() const;

    // Clients whose hello arrives from now on must carry this token; an empty token lets
    // every client in. False, changing nothing, for a token longer than a hello carries.
    bool setAccessToken(const QByteArray &token);
    // The certificate chain, its first certificate the service's own, and unencrypted private
    // key (PEM files) that tls:// listeners from now on show. False, with errorString() and
    // nothing changed, when either file cannot be used.
    bool setTlsCertificate(const QString &chainFile, const QString &keyFile);
    // The same from certificates and a key in memory. False, changing nothing, for an empty
    // chain or a null key.
    bool setTlsCertificate(const QList<QSslCertificate> &chain, const QSslKey &key);
    // The CA certificates (PEM) whose certificates clients of tls:// listeners from now on
    // must show; an empty name asks clients for none. False, with errorString() and nothing
    // changed, when the file holds no certificate.
    bool setTlsClientCa(const QString &file);
    // The same from certificates in memory; an empty list asks clients for none.
    void setTlsClientCa(const QList<QSslCertificate> &authorities);
    // Lets listen() take a TCP address beyond loopback while no access token is set.
    void setAllowUnauthenticated(bool allow);
    // How long a frame from a client may take, from its first byte to its last.
    void setStallTimeout(int msecs);
    // Clients beyond this many at once are refused as they connect.
    void setMaxClients(int count);
    // How many clients are admitted at once: by default the soft limit on open files less
    // room for the service's own, or DefaultMaxClients where the system sets none.
    int maxClients() const;
    // How long a client connecting from now on may take to send its hello.
    void setHelloTimeout(int msecs);
    // What all clients together may hold of the service's memory in frames being read and
    // output not yet taken; past it the client holding most is dropped.
    void setMemoryBudget(qint64 bytes);

    // Every publication gets a new object id, never reused while the service lives. False
    // for an empty or taken name, a null object, an object already published, or one living
    // in another thread.
    bool publish(const QString &name, QObject *object);
    // Clients are told, and the object's signals stop reaching them. An object destroyed
    // while published is withdrawn the same way.
    bool withdraw(const QString &name);
    // 0 when nothing is published under `name`.
    quint32 objectId(const QString &name) const;
    // The names of the published objects, in the order they were published.
    QStringList publishedNames() const;
    // The clients connected now, admitted or still to send their hello.
    int clientCount() const;

signals:
    // A client set the event mask of a published object.
    void eventMaskReceived(quint32 objectId, const QByteArray &mask);
    // The listener stopped taking clients (descriptors ran out, its socket file vanished,
    // ...). The service listens again on the same address, retrying after a delay while
    // that fails; connected clients stay.
    void listenerFailed(const QString &reason);
    // Listening again failed for long enough that the service gave up; it no longer
    // listens.
    void listenerLost(const QString &reason);

private:
    struct Q_DECL_HIDDEN Private;
    std::unique_ptr<Private> d;
};

#endif
