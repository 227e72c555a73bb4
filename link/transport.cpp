#include "transport.h"

#include "tlspipe.h"
#include "tlsserver.h"

#include <QtCore/QDir>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

#include <memory>
#include <type_traits>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/socket.h>
#endif

namespace Wire {

namespace {

template <typename... Use> struct Overloaded : Use...
{
    using Use::operator()...;
};
template <typename... Use> Overloaded(Use...) -> Overloaded<Use...>;

// Calls `use` with the socket as what it is; false when it is neither kind.
template <typename Use> bool visitSocket(QIODevice *socket, Use &&use)
{
    if (auto local = qobject_cast<QLocalSocket *>(socket)) {
        use(local);
        return true;
    }
    if (auto network = qobject_cast<QAbstractSocket *>(socket)) {
        use(network);
        return true;
    }
    return false;
}

template <typename Use> bool visitServer(QObject *server, Use &&use)
{
    if (auto local = qobject_cast<QLocalServer *>(server)) {
        use(local);
        return true;
    }
    if (auto network = qobject_cast<QTcpServer *>(server)) {
        use(network);
        return true;
    }
    return false;
}

template <typename Socket> using Kind = std::remove_pointer_t<Socket>;

} // namespace

QIODevice *Transport::createSocket(
    const ServiceAddress &address, const TlsSettings &tls, QObject *parent)
{
    if (address.kind == ServiceAddress::Local)
        return new QLocalSocket(parent);
    if (address.kind != ServiceAddress::Tls)
        return new QTcpSocket(parent);
    auto socket = new QSslSocket(parent);
    socket->setSslConfiguration(tls.configuration(false));
    return socket;
}

void Transport::watchAttempt(QIODevice *socket, const TlsSettings &tls, QObject *context,
    const std::function<void()> &connected,
    const std::function<void(const QString &, bool final)> &failed)
{
    if (auto secure = qobject_cast<QSslSocket *>(socket)) {
        // The verdict is kept, since the socket then fails with a message of its own.
        auto refusal = std::make_shared<QString>();
        QObject::connect(secure, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors),
            context, [secure, tls, refusal](const QList<QSslError> &errors) {
                *refusal = tls.verdict(secure->peerCertificate(), errors);
                if (refusal->isEmpty())
                    secure->ignoreSslErrors(errors);
            });
        QObject::connect(secure, &QSslSocket::encrypted, context, [secure, tls, connected, failed] {
            // Without errors the issuer was trusted, yet a pin must match all the same.
            const QString refused = tls.verdict(secure->peerCertificate(), {});
            if (refused.isEmpty())
                connected();
            else
                failed(refused, true);
        });
        QObject::connect(secure, &QSslSocket::errorOccurred, context, [secure, failed, refusal] {
            if (refusal->isEmpty())
                failed(secure->errorString(), false);
            else
                failed(*refusal, true);
        });
        return;
    }
    visitSocket(socket, [&](auto kind) {
        QObject::connect(kind, &Kind<decltype(kind)>::connected, context, connected);
        QObject::connect(kind, &Kind<decltype(kind)>::errorOccurred, context,
            [kind, failed] { failed(kind->errorString(), false); });
    });
}

void Transport::startConnecting(QIODevice *socket, const ServiceAddress &address)
{
    if (auto secure = qobject_cast<QSslSocket *>(socket)) {
        secure->connectToHostEncrypted(address.host, quint16(address.port));
        return;
    }
    visitSocket(socket,
        Overloaded { [&](QLocalSocket *local) { local->connectToServer(address.name); },
            [&](QAbstractSocket *network) {
                network->connectToHost(address.host, quint16(address.port));
            } });
}

void Transport::watchEnd(
    QIODevice *socket, QObject *context, const std::function<void(const QString &)> &ended)
{
    if (auto pipe = qobject_cast<TlsPipe *>(socket)) {
        QObject::connect(pipe, &TlsPipe::ended, context, ended);
        return;
    }
    visitSocket(socket, [&](auto kind) {
        QObject::connect(kind, &Kind<decltype(kind)>::disconnected, context,
            [ended] { ended(QStringLiteral("the peer closed the connection")); });
        QObject::connect(kind, &Kind<decltype(kind)>::errorOccurred, context,
            [kind, ended] { ended(kind->errorString()); });
    });
}

void Transport::sendWithoutDelay(QIODevice *socket)
{
    if (auto network = qobject_cast<QAbstractSocket *>(socket))
        network->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

bool Transport::isConnected(QIODevice *socket)
{
    // Asked before every direct write: plain sockets first.
    bool connected = socket->isOpen();
    if (!visitSocket(socket, [&](auto kind) {
            connected = kind->state() == Kind<decltype(kind)>::ConnectedState;
        })) {
        if (auto pipe = qobject_cast<TlsPipe *>(socket))
            connected = pipe->isConnected();
    }
    return connected;
}

qint64 Transport::bytesToWrite(QIODevice *socket)
{
    qint64 pending = socket->bytesToWrite();
    // Once encrypted, output waits in a buffer of its own that bytesToWrite() leaves out, as
    // much of it as a peer that stops reading lets pile up.
    if (auto secure = qobject_cast<QSslSocket *>(socket))
        pending += secure->encryptedBytesToWrite();
    return pending;
}

void Transport::flush(QIODevice *socket)
{
    visitSocket(socket, [](auto kind) { kind->flush(); });
}

qint64 Transport::writeShared(QIODevice *socket, const QByteArray &bytes)
{
    if (auto pipe = qobject_cast<TlsPipe *>(socket))
        return pipe->writeShared(bytes);
    return socket->write(bytes);
}

#ifdef Q_OS_UNIX
namespace {

// Runs `call` on the descriptor of a connected plain socket that holds nothing in the buffer
// `buffered` counts, again when a signal interrupts it; how many bytes it moved, 0 when it moved
// none or failed: a failure is left to the socket, which reports it as the socket does.
template <typename Call> qint64 moveNow(QIODevice *socket, qint64 buffered, Call call)
{
    const qintptr descriptor = Transport::plainDescriptor(socket);
    if (descriptor < 0 || buffered > 0 || !Transport::isConnected(socket))
        return 0;
    ssize_t moved;
    do
        moved = call(int(descriptor));
    while (moved < 0 && errno == EINTR);
    return moved > 0 ? qint64(moved) : 0;
}

} // namespace
#endif

qint64 Transport::writeNow(QIODevice *socket, const char *data, qint64 size)
{
#ifdef Q_OS_UNIX
    return moveNow(socket, socket->bytesToWrite(), [&](int descriptor) {
        return ::send(descriptor, data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
    });
#else
    Q_UNUSED(socket)
    Q_UNUSED(data)
    Q_UNUSED(size)
    return 0;
#endif
}

qint64 Transport::readNow(QIODevice *socket, char *data, qint64 size)
{
#ifdef Q_OS_UNIX
    return moveNow(socket, socket->bytesAvailable(), [&](int descriptor) {
        return ::recv(descriptor, data, size_t(size), MSG_DONTWAIT);
    });
#else
    Q_UNUSED(socket)
    Q_UNUSED(data)
    Q_UNUSED(size)
    return 0;
#endif
}

void Transport::limitReadBuffer(QIODevice *socket, qint64 size)
{
    if (plainDescriptor(socket) >= 0)
        visitSocket(socket, [size](auto kind) { kind->setReadBufferSize(size); });
}

qintptr Transport::plainDescriptor(QIODevice *socket)
{
#ifdef Q_OS_UNIX
    // Exactly these classes: a subclass may transform the bytes on their way (encryption).
    const QMetaObject *kind = socket->metaObject();
    if (kind == &QLocalSocket::staticMetaObject)
        return static_cast<QLocalSocket *>(socket)->socketDescriptor();
    if (kind == &QTcpSocket::staticMetaObject)
        return static_cast<QTcpSocket *>(socket)->socketDescriptor();
#else
    Q_UNUSED(socket)
#endif
    return -1;
}

void Transport::abort(QIODevice *socket)
{
    if (!visitSocket(socket, [](auto kind) { kind->abort(); }))
        socket->close();
}

QTcpServer *Transport::createTlsServer(const TlsSettings &tls, QObject *parent)
{
    return new TlsServer(tls.configuration(true), parent);
}

void Transport::watchServer(
    QObject *server, QObject *context, const std::function<void(QIODevice *)> &accepted)
{
    visitServer(server, [&](auto kind) {
#ifdef Q_OS_UNIX
        // Qt 5 listens with a backlog of 50. Beyond that the system drops a burst of connecting
        // hosts: they retry for seconds and some give up, reset. Listening again on a listening
        // socket only sets its backlog, here to the system's own bound.
        ::listen(int(kind->socketDescriptor()), SOMAXCONN);
#endif
        QObject::connect(kind, &Kind<decltype(kind)>::newConnection, context, [kind, accepted] {
            while (QIODevice *socket = kind->nextPendingConnection())
                accepted(socket);
        });
    });
    if (auto tls = qobject_cast<TlsServer *>(server))
        QObject::connect(tls, &TlsServer::linkAccepted, context, accepted);
}

bool Transport::isListening(QObject *server)
{
    bool listening = false;
    visitServer(server, [&](auto kind) { listening = kind->isListening(); });
    return listening;
}

QString Transport::serverError(QObject *server)
{
    QString error;
    visitServer(server, [&](auto kind) { error = kind->errorString(); });
    return error;
}

QString Transport::socketFilePath(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::tempPath() + QLatin1Char('/') + name;
}

} // namespace Wire
