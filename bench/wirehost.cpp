#include "wirehost.h"

#include "benchtools.h"

#include <QtCore/QDataStream>
#include <QtCore/QUrl>
#include <QtCore/QtEndian>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpSocket>

#include <cstring>

namespace {

enum FrameType { Hello = 1, Request = 2, Message = 3 };
enum Kind { Notify = 0, Answer = 1, ObjectUp = 3, ObjectsAnnounced = 256 };
enum Command { GetInfo = 0x1100, GetMetaInfo = 0x1101, Invoke = 0x1102, SigConnect = 0x1103 };
constexpr qint32 Marker = 0x29111993;

QByteArray frame(int type, const QByteArray &header, const QByteArray &payload)
{
    QByteArray bytes(8, '\0');
    qToBigEndian<quint32>(quint32(4 + header.size() + payload.size()), bytes.data());
    bytes[4] = 1;
    bytes[5] = char(type);
    return bytes + header + payload;
}

QByteArray invokePayload(const QVariantList &call)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << call;
    return bytes.toBase64();
}

} // namespace

WireHost::WireHost(Tally *tally)
    : m_tally(tally)
{
}

WireHost::~WireHost() = default;

void WireHost::open(const QString &address, Opening opening)
{
    m_opening = opening;
    const auto hello = [this] {
        // A host that left while connecting still sees the connection made.
        if (m_opening == Handshake && m_socket->isOpen())
            m_socket->write(frame(Hello, QByteArray(), QByteArray()));
    };
    const QUrl url(address);
    // A full backlog leaves a socket connecting for a while.
    if (address.startsWith(QLatin1String("local:"))) {
        auto socket = new QLocalSocket;
        m_socket.reset(socket);
        connect(socket, &QLocalSocket::connected, this, hello);
        socket->connectToServer(address.mid(int(std::strlen("local:"))));
    } else if (url.scheme() == QLatin1String("tls")) {
        QSslSocket *socket = BenchTools::tlsSocket(url, nullptr);
        m_socket.reset(socket);
        connect(socket, &QSslSocket::encrypted, this, [socket, hello] {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            hello();
        });
    } else {
        auto socket = new QTcpSocket;
        m_socket.reset(socket);
        connect(socket, &QTcpSocket::connected, this, [socket, hello] {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            hello();
        });
        socket->connectToHost(url.host(), quint16(url.port()));
    }
    connect(m_socket.get(), &QIODevice::readyRead, this, &WireHost::read);
}

void WireHost::call(int calls)
{
    m_callsLeft = calls;
    nextCall();
}

void WireHost::fire()
{
    static const QByteArray burst = invokePayload({ QVariant(), QStringLiteral("burst(int)"), 1 });
    invoke(burst);
}

void WireHost::leave()
{
    m_socket->close();
}

void WireHost::abort()
{
    if (auto socket = qobject_cast<QAbstractSocket *>(m_socket.get()))
        socket->abort();
    else if (auto socket = qobject_cast<QLocalSocket *>(m_socket.get()))
        socket->abort();
}

void WireHost::nextCall()
{
    static const QByteArray add
        = invokePayload({ QVariant(), QStringLiteral("add(int,int)"), 2, 3 });
    --m_callsLeft;
    invoke(add);
}

void WireHost::invoke(const QByteArray &payload)
{
    m_waitingSince = m_tally->clock.nsecsElapsed();
    request(Invoke, payload);
}

void WireHost::request(qint32 command, const QByteArray &payload)
{
    QByteArray header(20, '\0');
    qToBigEndian<quint32>(++m_lastUid, header.data());
    qToBigEndian<qint32>(qint32(m_lastUid), header.data() + 4);
    qToBigEndian<quint32>(m_bench, header.data() + 8);
    qToBigEndian<qint32>(command, header.data() + 12);
    qToBigEndian<qint32>(Marker, header.data() + 16);
    m_socket->write(frame(Request, header, payload));
}

void WireHost::read()
{
    m_pending += m_socket->readAll();
    int at = 0;
    while (m_pending.size() - at >= 24) {
        const char *bytes = m_pending.constData() + at;
        const int size = 4 + int(qFromBigEndian<quint32>(bytes));
        if (m_pending.size() - at < size)
            break;
        const quint32 object = qFromBigEndian<quint32>(bytes + 12);
        const qint32 kind = qFromBigEndian<qint32>(bytes + 16);
        at += size;
        if (bytes[5] != Message)
            BenchTools::fail(qPrintable(QStringLiteral("a wire host was refused, reason %1")
                                            .arg(qFromBigEndian<qint32>(bytes + 8))));
        if (kind == Notify) {
            ++m_tally->received;
        } else if (kind == ObjectUp) {
            m_bench = object;
        } else if (kind == ObjectsAnnounced && m_opening == Handshake) {
            m_waitingSince = m_tally->clock.nsecsElapsed();
            request(GetInfo);
            request(GetMetaInfo);
            request(SigConnect, QByteArray("fired(int)").toBase64());
            Q_EMIT announced();
        } else if (kind == Answer && ++m_answers == HandshakeAnswers) {
            m_waitingSince = -1;
            ++m_tally->subscribed;
            Q_EMIT subscribed();
        } else if (kind == Answer && m_answers > HandshakeAnswers) {
            // The answer's result code, after its time stamp.
            if (size < 36 || qFromLittleEndian<qint32>(bytes + 32) != 0)
                BenchTools::fail("a call from a wire host failed");
            m_tally->latencies.push_back((m_tally->clock.nsecsElapsed() - m_waitingSince) / 1e6);
            m_waitingSince = -1;
            if (m_callsLeft > 0)
                nextCall();
            Q_EMIT answered();
        }
    }
    m_pending.remove(0, at);
}
