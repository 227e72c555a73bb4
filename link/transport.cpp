#include "transport.h"

#include <QtCore/QDir>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

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

QIODevice *Transport::createSocket(const ServiceAddress &address, QObject *parent)
{
    if (address.kind == ServiceAddress::Local)
        return new QLocalSocket(parent);
    return new QTcpSocket(parent);
}

void Transport::watchAttempt(QIODevice *socket, QObject *context,
    const std::function<void()> &connected, const std::function<void(const QString &)> &failed)
{
    visitSocket(socket, [&](auto kind) {
        QObject::connect(kind, &Kind<decltype(kind)>::connected, context, connected);
        QObject::connect(kind, &Kind<decltype(kind)>::errorOccurred, context,
            [kind, failed] { failed(kind->errorString()); });
    });
}

void Transport::startConnecting(QIODevice *socket, const ServiceAddress &address)
{
    visitSocket(socket,
        Overloaded { [&](QLocalSocket *local) { local->connectToServer(address.name); },
            [&](QAbstractSocket *network) {
                network->connectToHost(address.host, quint16(address.port));
            } });
}

void Transport::watchEnd(
    QIODevice *socket, QObject *context, const std::function<void(const QString &)> &ended)
{
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
    bool connected = socket->isOpen();
    visitSocket(socket,
        [&](auto kind) { connected = kind->state() == Kind<decltype(kind)>::ConnectedState; });
    return connected;
}

void Transport::flush(QIODevice *socket)
{
    visitSocket(socket, [](auto kind) { kind->flush(); });
}

qint64 Transport::writeNow(QIODevice *socket, const char *data, qint64 size)
{
#ifdef Q_OS_UNIX
    // Exactly these classes: a subclass may transform the bytes on their way (encryption).
    const QMetaObject *kind = socket->metaObject();
    if ((kind != &QLocalSocket::staticMetaObject && kind != &QTcpSocket::staticMetaObject)
        || socket->bytesToWrite() > 0 || !isConnected(socket))
        return 0;
    qintptr descriptor = -1;
    visitSocket(socket, [&](auto plain) { descriptor = plain->socketDescriptor(); });
    if (descriptor < 0)
        return 0;
    ssize_t written;
    do
        written = ::send(int(descriptor), data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
    while (written < 0 && errno == EINTR);
    // A failure is left to the socket's own write, which reports it as the socket does.
    return written > 0 ? qint64(written) : 0;
#else
    Q_UNUSED(socket)
    Q_UNUSED(data)
    Q_UNUSED(size)
    return 0;
#endif
}

void Transport::abort(QIODevice *socket)
{
    if (!visitSocket(socket, [](auto kind) { kind->abort(); }))
        socket->close();
}

void Transport::watchServer(
    QObject *server, QObject *context, const std::function<void(QIODevice *)> &accepted)
{
    visitServer(server, [&](auto kind) {
        QObject::connect(kind, &Kind<decltype(kind)>::newConnection, context, [kind, accepted] {
            while (QIODevice *socket = kind->nextPendingConnection())
                accepted(socket);
        });
    });
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
