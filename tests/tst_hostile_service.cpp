#include "rawservice.h"
#include "testcertificates.h"

#include <commandcatalogue.h>
#include <frame.h>
#include <payloadcodec.h>
#include <remotoservice.h>
#include <request.h>
#include <socketconnection.h>
#include <transport.h>

#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpSocket>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

#include <memory>
#include <vector>

using Velmor::Command::Message;
using Velmor::Connection::State;
using Wire::Frame;

namespace {

constexpr int Patience = 30000;
// What an admitted client hears first of a service publishing one object.
const QList<int> announced { Velmor::Command::ObjectUp, Wire::Frame::InitialObjectsAnnounced };
constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int Invoke = CommandCatalogue::Invoke;
constexpr int MiB = 1024 * 1024;
// The first object a service publishes.
constexpr quint32 FirstObjectId = 1;

class Hoard : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE QByteArray blob(int size) const { return QByteArray(size, 'x'); }
};

QByteArray hello(const QByteArray &token = QByteArray())
{
    return Frame::hello(token).encode();
}

QByteArray request(int command, const QByteArray &payload = QByteArray(), quint32 uid = 7)
{
    Frame frame;
    frame.type = Frame::Request;
    frame.requestUid = uid;
    frame.objectId = FirstObjectId;
    frame.command = command;
    frame.magic = Velmor::Command::Marker;
    frame.payload = payload;
    return frame.encode();
}

QByteArray blobRequests(int count)
{
    const QByteArray one = request(Invoke,
        Wire::PayloadCodec::encodeValueList({ QString(), QStringLiteral("blob(int)"), MiB }));
    return one.repeated(count);
}

// The start of a request as large as a frame gets.
QByteArray partialRequest(int bytes)
{
    return request(Invoke, QByteArray(int(Frame::maxPayloadSize(Frame::Request)), 'p')).left(bytes);
}

// A client speaking raw frames, collecting what the service sends.
class RawClient
{
public:
    RawClient()
    {
        QObject::connect(&socket, &QLocalSocket::readyRead, [this] { drain(); });
    }

    bool connectTo(const QString &name)
    {
        socket.connectToServer(name);
        return socket.waitForConnected(10000);
    }
    bool waitUntilClosed()
    {
        return QTest::qWaitFor(
            [this] { return socket.state() == QLocalSocket::UnconnectedState; }, Patience);
    }
    QList<int> refusals() const { return kindsOf(Frame::Refusal); }
    QList<int> messageKinds() const { return kindsOf(Frame::Message); }

    QLocalSocket socket;
    QList<Frame> frames;

private:
    void drain()
    {
        while (reader.state() == Wire::FrameReader::Incomplete && socket.bytesAvailable() > 0) {
            const QByteArray chunk
                = socket.read(qMin(socket.bytesAvailable(), reader.bytesWanted()));
            reader.feed(chunk.constData(), chunk.size());
            if (reader.state() == Wire::FrameReader::Complete)
                frames.append(reader.takeFrame());
        }
    }
    QList<int> kindsOf(Frame::Type type) const
    {
        QList<int> kinds;
        for (const Frame &frame : frames) {
            if (frame.type == type)
                kinds.append(frame.kind);
        }
        return kinds;
    }

    Wire::FrameReader reader { Frame::Message, Frame::Refusal };
};

QList<State> statesOf(const QSignalSpy &spy)
{
    QList<State> states;
    for (const QList<QVariant> &arguments : spy)
        states.append(arguments.at(0).value<State>());
    return states;
}

int objectUps(const QSignalSpy &messages)
{
    int count = 0;
    for (const QList<QVariant> &arguments : messages)
        count += arguments.at(0).value<Message>().kind == Velmor::Command::ObjectUp;
    return count;
}

} // namespace

// The service facing peers that hold on to what they are given: descriptors, slots, memory,
// time. Each attack must cost the attacker its link and leave the service serving others.
class tst_HostileService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void refusedAndClosed_data();
    void refusedAndClosed();
    void clientLimit();
    void tlsHandshakeBounded_data();
    void tlsHandshakeBounded();
    void memoryBudget_data();
    void memoryBudget();
    void connectionReportsRefusal();
    void occupiedSocketPath_data();
    void occupiedSocketPath();
    void socketFileVanishes();
    void listenerSurvivesDescriptorExhaustion();

private:
    std::unique_ptr<RemotoService> service;
    Hoard hoard;
    QString name;
};

void tst_HostileService::init()
{
    qRegisterMetaType<Message>();
    qRegisterMetaType<State>();
    service = std::make_unique<RemotoService>();
    QVERIFY(service->publish(QStringLiteral("hoard"), &hoard));
    name = uniqueSocketName();
    QVERIFY2(service->listen(QStringLiteral("local:") + name), qPrintable(service->errorString()));
}

void tst_HostileService::cleanup()
{
    service.reset();
}

void tst_HostileService::refusedAndClosed_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<int>("helloTimeout");
    QTest::addColumn<int>("frameTimeout");
    QTest::addColumn<QByteArray>("bytes");
    // Sent one byte at a time, well within the frame timeout of each other.
    QTest::addColumn<QByteArray>("trickle");
    QTest::addColumn<QList<int>>("refusals");
    // The uids of the requests answered or refused before the link closed, in order.
    QTest::addColumn<QList<int>>("answered");

    const int standard = 30000;
    const QList<int> none;
    QTest::newRow("no hello in time") << QByteArray() << 200 << standard << QByteArray()
                                      << QByteArray() << QList<int> { Frame::HelloTimeout } << none;
    QTest::newRow("wrong token") << QByteArrayLiteral("s3cret") << standard << standard
                                 << hello("guess") << QByteArray()
                                 << QList<int> { Frame::AccessRefused } << none;
    QTest::newRow("frame trickled past its deadline")
        << QByteArray() << standard << 300 << hello() << request(GetInfo) << none << none;
    // Before admission nothing larger than a hello and a small request is read.
    QTest::newRow("large frame before admission")
        << QByteArrayLiteral("s3cret") << standard << standard << partialRequest(64 * 1024)
        << QByteArray() << none << none;
    // Requests that came whole in the same write as the fault are answered before the close.
    const QByteArray answerable = request(Invoke, {}, 1) + request(GetInfo, {}, 2)
        + request(CommandCatalogue::GetMetaInfo, {}, 3);
    QTest::newRow("requests before a malformed frame")
        << QByteArray() << standard << standard
        << hello() + answerable + QByteArray("\0\0\0\x04\x09\x02\0\0", 8) << QByteArray() << none
        << QList<int> { 1, 2, 3 };
    QTest::newRow("requests before a second hello")
        << QByteArray() << standard << standard << hello() + answerable + hello() << QByteArray()
        << none << QList<int> { 1, 2, 3 };
}

void tst_HostileService::refusedAndClosed()
{
    QFETCH(QByteArray, token);
    QFETCH(int, helloTimeout);
    QFETCH(int, frameTimeout);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, trickle);
    QFETCH(QList<int>, refusals);
    QFETCH(QList<int>, answered);

    QVERIFY(service->setAccessToken(token));
    service->setHelloTimeout(helloTimeout);
    service->setStallTimeout(frameTimeout);
    RawClient client;
    QVERIFY(client.connectTo(name));
    client.socket.write(bytes);
    for (int i = 0; i < trickle.size() && client.socket.state() != QLocalSocket::UnconnectedState;
         ++i) {
        client.socket.write(trickle.mid(i, 1));
        QTest::qWait(40);
    }

    QVERIFY(client.waitUntilClosed());
    QCOMPARE(client.refusals(), refusals);
    QList<int> uids;
    for (const Frame &frame : qAsConst(client.frames))
        uids.append(int(frame.requestUid));
    uids.removeAll(0);
    QCOMPARE(uids, answered);
    QTRY_COMPARE_WITH_TIMEOUT(service->clientCount(), 0, Patience);
}

void tst_HostileService::clientLimit()
{
    service->setMaxClients(2);
    RawClient first, second, third;
    for (RawClient *client : { &first, &second }) {
        QVERIFY(client->connectTo(name));
        client->socket.write(hello());
        QTRY_COMPARE_WITH_TIMEOUT(client->messageKinds().size(), 2, Patience);
    }

    // Told at once, before it could even send its hello.
    QVERIFY(third.connectTo(name));
    QVERIFY(third.waitUntilClosed());
    QCOMPARE(third.refusals(), QList<int> { Frame::TooManyClients });
    QCOMPARE(service->clientCount(), 2);

    // A freed place is taken again.
    first.socket.abort();
    QTRY_COMPARE_WITH_TIMEOUT(service->clientCount(), 1, Patience);
    RawClient fourth;
    QVERIFY(fourth.connectTo(name));
    fourth.socket.write(hello());
    QTRY_COMPARE_WITH_TIMEOUT(fourth.messageKinds(), announced, Patience);
    QCOMPARE(second.socket.state(), QLocalSocket::ConnectedState);
}

void tst_HostileService::tlsHandshakeBounded_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // Whether the service still waits for more: the garbage is refused at once.
    QTest::addColumn<bool>("stalls");

    QTest::newRow("garbage before the handshake") << hello() << false;
    // The header of a record announcing a ClientHello that never comes.
    QTest::newRow("stalled handshake") << QByteArray("\x16\x03\x01\x02\x00", 5) << true;
}

// Until its handshake is done a TLS client holds a place like any other and has no longer than
// any other to send its hello.
void tst_HostileService::tlsHandshakeBounded()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, stalls);

    const QString made = testCertificates();
    QVERIFY(!made.isEmpty());
    QVERIFY(service->setTlsCertificate(made + "service.pem", made + "service.key"));
    QVERIFY(service->listen(QStringLiteral("tls://127.0.0.1:0")));
    service->setHelloTimeout(300);
    service->setMaxClients(1);
    const QUrl address(service->address());
    QTcpSocket client;
    client.connectToHost(address.host(), quint16(address.port()));
    QVERIFY(client.waitForConnected(10000));
    client.write(bytes);
    if (stalls) {
        QTRY_COMPARE_WITH_TIMEOUT(service->clientCount(), 1, Patience);
        QTcpSocket second;
        second.connectToHost(address.host(), quint16(address.port()));
        QVERIFY(second.waitForConnected(10000));
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QAbstractSocket::UnconnectedState, Patience);
    }
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, Patience);
    QTRY_COMPARE_WITH_TIMEOUT(service->clientCount(), 0, Patience);
}

void tst_HostileService::memoryBudget_data()
{
    // What each of two modest clients and one greedy client send; none of them reads.
    QTest::addColumn<QByteArray>("modest");
    QTest::addColumn<QByteArray>("greedy");
    // Over TLS, where output waits encrypted as well.
    QTest::addColumn<bool>("tls");

    QTest::newRow("frames held half-sent")
        << hello() + partialRequest(MiB) << hello() + partialRequest(12 * MiB) << false;
    QTest::newRow("answers left unread")
        << hello() + blobRequests(1) << hello() + blobRequests(12) << false;
    QTest::newRow("answers left unread over tls")
        << hello() + blobRequests(1) << hello() + blobRequests(12) << true;
}

void tst_HostileService::memoryBudget()
{
    QFETCH(QByteArray, modest);
    QFETCH(QByteArray, greedy);
    QFETCH(bool, tls);

    const QString made = tls ? testCertificates() : QString();
    SocketConnection peer;
    if (tls) {
        QVERIFY(service->setTlsCertificate(made + "service.pem", made + "service.key"));
        QVERIFY(service->listen(QStringLiteral("tls://127.0.0.1:0")));
        QVERIFY(peer.setTlsCaFile(made + "ca.pem"));
    }
    const QUrl address(service->address());
    // Both modest clients together stay below it, whatever their buffers' slack.
    service->setMemoryBudget(8 * MiB);
    QLocalSocket locals[3];
    QSslSocket secures[3];
    QIODevice *clients[3];
    for (int i = 0; i < 3; ++i) {
        if (tls) {
            secures[i].setPeerVerifyMode(QSslSocket::VerifyNone);
            secures[i].connectToHostEncrypted(address.host(), quint16(address.port()));
            QTRY_VERIFY_WITH_TIMEOUT(secures[i].isEncrypted(), Patience);
            clients[i] = &secures[i];
        } else {
            locals[i].connectToServer(name);
            QVERIFY(locals[i].waitForConnected(10000));
            clients[i] = &locals[i];
        }
        // Left in the kernel, unread answers hold the service's output back.
        locals[i].setReadBufferSize(1);
        secures[i].setReadBufferSize(1);
        clients[i]->write(i == 1 ? greedy : modest);
    }
    QTRY_COMPARE_WITH_TIMEOUT(service->clientCount(), 2, Patience);
    // Reading again, each client learns whether its link is still there.
    for (int i = 0; i < 3; ++i) {
        locals[i].setReadBufferSize(0);
        secures[i].setReadBufferSize(0);
    }
    const auto linked = [&](int i) {
        return tls ? secures[i].state() == QAbstractSocket::ConnectedState
                   : locals[i].state() == QLocalSocket::ConnectedState;
    };
    QTRY_VERIFY_WITH_TIMEOUT(!linked(1), Patience);

    // A client that behaves is served meanwhile, and the modest ones keep their links.
    QSignalSpy messages(&peer, &SocketConnection::message);
    QVERIFY(peer.connectToService(service->address()));
    QTRY_COMPARE_WITH_TIMEOUT(objectUps(messages), 1, Patience);
    const Request info(0, int(FirstObjectId), GetInfo, QByteArray(), Velmor::Command::Marker);
    peer.request(&info);
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 2, Patience);
    QCOMPARE(messages.last().at(0).value<Message>().kind, int(Velmor::Command::Answer));
    QVERIFY(linked(0));
    QVERIFY(linked(2));
    QCOMPARE(service->clientCount(), 3);
}

void tst_HostileService::connectionReportsRefusal()
{
    QVERIFY(service->setAccessToken("s3cret"));
    SocketConnection connection;
    QVERIFY(connection.setAccessToken("guess"));
    connection.setAutoReconnect(true);
    connection.setReconnectDelays(10, 50);
    QSignalSpy errors(&connection, &SocketConnection::errorOccurred);
    QSignalSpy states(&connection, &SocketConnection::stateChanged);
    QSignalSpy messages(&connection, &SocketConnection::message);
    QVERIFY(connection.connectToService(QStringLiteral("local:") + name));

    // The same token would be refused again, so there is no retry.
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), Velmor::Connection::Disconnected, Patience);
    QTest::qWait(200);
    QCOMPARE(statesOf(states),
        (QList<State> { Velmor::Connection::Connecting, Velmor::Connection::Connected,
            Velmor::Connection::ConnectionLost, Velmor::Connection::Disconnected }));
    const QString refused = QStringLiteral("the service refused the access token");
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().at(0).toString(), refused);
    QCOMPARE(connection.errorString(), refused);
    QCOMPARE(messages.size(), 0);
}

void tst_HostileService::occupiedSocketPath_data()
{
    QTest::addColumn<QString>("occupant");
    QTest::addColumn<bool>("replaced");

    QTest::newRow("file with content") << "file" << false;
    QTest::newRow("directory") << "directory" << false;
    QTest::newRow("socket file nobody answers on") << "socket" << true;
}

void tst_HostileService::occupiedSocketPath()
{
    QFETCH(QString, occupant);
    QFETCH(bool, replaced);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("service"));
    if (occupant == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious");
    } else if (occupant == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(path));
    } else {
        // Moved away from under its server, the socket file outlives it as a crash leaves it.
        QLocalServer gone;
        QVERIFY(gone.listen(dir.filePath(QStringLiteral("gone"))));
        QVERIFY(QFile::rename(gone.fullServerName(), path));
    }

    RemotoService other;
    QCOMPARE(other.listen(QStringLiteral("local:") + path), replaced);
    if (replaced) {
        QLocalSocket client;
        client.connectToServer(path);
        QVERIFY(client.waitForConnected(10000));
        return;
    }
    QVERIFY2(other.errorString().contains(path), qPrintable(other.errorString()));
    if (occupant == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("precious"));
    } else {
        QVERIFY(QFileInfo(path).isDir());
    }
}

void tst_HostileService::socketFileVanishes()
{
    QSignalSpy failed(service.get(), &RemotoService::listenerFailed);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("listener on .* failed")));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("listening again")));
    QVERIFY(QFile::remove(Wire::Transport::socketFilePath(name)));

    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(service->isListening(), Patience);
    RawClient client;
    QVERIFY(client.connectTo(name));
    client.socket.write(hello());
    QTRY_COMPARE_WITH_TIMEOUT(client.messageKinds(), announced, Patience);
}

void tst_HostileService::listenerSurvivesDescriptorExhaustion()
{
#ifdef __SANITIZE_ADDRESS__
    // The sanitized build checks for undefined behaviour too, and that check probes memory
    // through a pipe: in a process out of descriptors it reports valid objects as broken.
    QSKIP("the sanitizers' own checks need descriptors the service has run out of");
#endif
    // Allowed more clients than it has descriptors for, the service runs out while accepting.
    const QString demoName = uniqueSocketName();
    const QString address = QStringLiteral("local:") + demoName;
    QProcess demo;
    demo.setProgram(QStringLiteral("/bin/sh"));
    demo.setArguments({ QStringLiteral("-c"), QStringLiteral("ulimit -n 32 && exec \"$0\" \"$@\""),
        QStringLiteral(REMOTO_DEMO_SERVICE), QStringLiteral("--listen"), address,
        QStringLiteral("--max-clients"), QStringLiteral("1000") });
    demo.start();
    QByteArray out;
    QVERIFY(QTest::qWaitFor(
        [&] {
            out += demo.readAllStandardOutput();
            return out.contains('\n') || demo.state() == QProcess::NotRunning;
        },
        Patience));
    QVERIFY2(out.startsWith("listening on "), out.constData());

    std::vector<std::unique_ptr<QLocalSocket>> clients;
    for (int i = 0; i < 100; ++i) {
        clients.push_back(std::make_unique<QLocalSocket>());
        clients.back()->connectToServer(demoName);
    }
    QByteArray err;
    QVERIFY(QTest::qWaitFor(
        [&] {
            err += demo.readAllStandardError();
            return err.contains("failed");
        },
        Patience));
    clients.clear();

    SocketConnection host;
    host.setAutoReconnect(true);
    host.setReconnectDelays(50, 500);
    QSignalSpy messages(&host, &SocketConnection::message);
    QVERIFY(host.connectToService(address));
    QTRY_COMPARE_WITH_TIMEOUT(objectUps(messages), 4, Patience);
    QCOMPARE(demo.state(), QProcess::Running);
    demo.kill();
    demo.waitForFinished(Patience);
    QLocalServer::removeServer(demoName);
}

QTEST_MAIN(tst_HostileService)
#include "tst_hostile_service.moc"
