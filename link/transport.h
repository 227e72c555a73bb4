#ifndef TRANSPORT_H
#define TRANSPORT_H

#include "serviceaddress.h"
#include "tlssettings.h"

#include <QtCore/QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QIODevice;
class QObject;
class QTcpServer;
QT_END_NAMESPACE

namespace Wire {

// Local sockets and TCP sockets share no base class below QIODevice that knows about
// connecting, aborting or flushing, nor do their servers; this is the one place that tells
// them apart, so the link code on both ends deals in QIODevice and QObject alone.
namespace Transport {

// A socket of the address's kind, owned by `parent`, not yet connecting; a TLS one shows and
// trusts what `tls` says.
QIODevice *createSocket(const ServiceAddress &address, const TlsSettings &tls, QObject *parent);
// Connected before startConnecting(), since a local socket may fail from inside it. A TLS
// socket counts as connected once its handshake is done and the service's certificate passed
// `tls`; one that did not pass fails with `final` set, since trying again changes nothing.
void watchAttempt(QIODevice *socket, const TlsSettings &tls, QObject *context,
    const std::function<void()> &connected,
    const std::function<void(const QString &, bool final)> &failed);
void startConnecting(QIODevice *socket, const ServiceAddress &address);

// `ended` runs with the reason when a connected socket is closed by the peer or fails.
void watchEnd(
    QIODevice *socket, QObject *context, const std::function<void(const QString &)> &ended);
// Sends what is written without waiting for the peer to acknowledge earlier bytes: frames go
// out whole, and one the peer waits for is flushed at once, so holding it back only delays it.
void sendWithoutDelay(QIODevice *socket);
// A device that is no socket counts as connected while it is open.
bool isConnected(QIODevice *socket);
// Output written and not yet taken by the system, whatever waits already encrypted included.
qint64 bytesToWrite(QIODevice *socket);
// Hands buffered output to the system, as far as it takes it without waiting.
void flush(QIODevice *socket);
// Writes `bytes`, which the socket's output may share rather than copy.
qint64 writeShared(QIODevice *socket, const QByteArray &bytes);
// Hands `data` to the system past the socket's own buffer, as far as it takes it without
// waiting, for a plain socket with nothing buffered; returns how many bytes it took (0 for any
// other socket). The socket's buffer would arm its write notifier for every write, and some
// event dispatchers pay for that in proportion to all the sockets they watch.
qint64 writeNow(QIODevice *socket, const char *data, qint64 size);
// Reads up to `size` bytes into `data` past the socket's own buffer, as many as the system
// holds now, for a plain socket whose buffer holds nothing; returns how many it read (0 for any
// other socket). The end of the connection and failures are left to the socket's own next
// read: the system tells of the end again, and of a failure read here as the end at least.
qint64 readNow(QIODevice *socket, char *data, qint64 size);
// Has a socket readNow() reads from buffer at most `size` bytes, or with 0 any number: Qt takes
// everything the system holds into that buffer on each notification, and copying it out again
// costs as much as the rest of reading a large frame. What the buffer leaves in the system,
// readNow() takes straight to where it goes.
void limitReadBuffer(QIODevice *socket, qint64 size);
// The descriptor writeNow() and readNow() use, for a socket they use at all: -1 for any other
// socket, and on systems where they use none.
qintptr plainDescriptor(QIODevice *socket);
// Drops the connection at once, buffered output included.
void abort(QIODevice *socket);

// A TCP server whose connections carry TLS as `tls` says.
QTcpServer *createTlsServer(const TlsSettings &tls, QObject *parent);
// `accepted` gets every connection that `server`, a listening QLocalServer or QTcpServer,
// takes in, bursts of many at once included.
void watchServer(
    QObject *server, QObject *context, const std::function<void(QIODevice *)> &accepted);
bool isListening(QObject *server);
QString serverError(QObject *server);
// Where a local server listening on `name` keeps its socket file, on systems whose local
// sockets are files; elsewhere nothing is found there.
QString socketFilePath(const QString &name);

} // namespace Transport
} // namespace Wire

#endif
