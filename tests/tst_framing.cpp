#include "rawservice.h"

#include <connectionstate.h>
#include <frame.h>
#include <message.h>
#include <payloadcodec.h>
#include <pollingeventdispatcher.h>
#include <remotoservice.h>
#include <socketconnection.h>
#include <tarn.h>

#include <QtCore/QtEndian>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QTcpServer>
#include <QtTest/QtTest>

#include <cstring>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#include <unistd.h>
#endif

using Velmor::Connection::State;
using Wire::Frame;
using Wire::FrameReader;

namespace {

QByteArray be32(quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

// A frame written out by hand: length prefix, version, type, reserved zero, then `rest`.
QByteArray handFrame(quint8 type, const QByteArray &rest, quint8 version = 1)
{
    QByteArray body;
    body.append(char(version));
    body.append(char(type));
    body.append(2, '\0');
    body.append(rest);
    return be32(quint32(body.size())) + body;
}

Frame sampleRequest()
{
    Frame frame;
    frame.type = Frame::Request;
    frame.requestUid = 0x01020304;
    frame.sequence = -2;
    frame.objectId = 0xFFFFFFF0;
    frame.command = 0x1102;
    frame.magic = 0x29111993;
    frame.payload = QByteArrayLiteral("AAAA");
    return frame;
}

Frame sampleMessage()
{
    Frame frame = Frame::message(17, 0x0A0B0C0D, 7, QByteArrayLiteral("xyz"));
    return frame;
}

void compareFrames(const Frame &actual, const Frame &expected)
{
    QCOMPARE(actual.type, expected.type);
    QCOMPARE(actual.flags, expected.flags);
    QCOMPARE(actual.requestUid, expected.requestUid);
    QCOMPARE(actual.sequence, expected.sequence);
    QCOMPARE(actual.objectId, expected.objectId);
    QCOMPARE(actual.command, expected.command);
    QCOMPARE(actual.kind, expected.kind);
    QCOMPARE(actual.magic, expected.magic);
    QCOMPARE(actual.payload, expected.payload);
}

class Talker : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void said(const QString &text);
};

} // namespace

Q_DECLARE_METATYPE(Wire::Frame)

class tst_Framing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void layout_data();
    void layout();
    void byteByByte();
    void sizeLimit();
    void malformed_data();
    void malformed();
    void readerAfterMalformed();
    void answerTimeStamps_data();
    void answerTimeStamps();

    void serviceDropsBadClient_data();
    void serviceDropsBadClient();
    void serviceDropsClientThatStopsReading();
    void connectionDropsBadService_data();
    void connectionDropsBadService();
    void largeFrameThroughSocket_data();
    void largeFrameThroughSocket();
    void workerThreadDispatcher_data();
    void workerThreadDispatcher();
};

void tst_Framing::answerTimeStamps_data()
{
    QTest::addColumn<QDateTime>("time");
    const auto utc = [](int year, int month, int day, int hour, int minute, int msec = 0) {
        return QDateTime(QDate(year, month, day), QTime(hour, minute, 0, msec), Qt::UTC);
    };
    QTest::newRow("day zero") << utc(1899, 12, 30, 0, 0);
    QTest::newRow("evening before day zero") << utc(1899, 12, 29, 18, 0);
    QTest::newRow("morning two days before") << utc(1899, 12, 28, 6, 0);
    QTest::newRow("year 1") << utc(1, 1, 1, 23, 59, 999);
    QTest::newRow("present") << utc(2026, 12, 7, 12, 34, 567);
    QTest::newRow("end of year 9999") << utc(9999, 12, 31, 23, 59, 999);
}

// The stamp a service writes must read back as the same moment on the host, which takes the
// fraction of a negative day as the time of day counted forward.
void tst_Framing::answerTimeStamps()
{
    QFETCH(QDateTime, time);
    const QByteArray answer = Wire::PayloadCodec::encodeAnswer(0, 0x1100, {}, time);
    QVERIFY(answer.size() >= 8);
    double days;
    const quint64 bits = qFromLittleEndian<quint64>(answer.constData());
    std::memcpy(&days, &bits, sizeof days);
    QCOMPARE(Tarn::doubleToDateTime(days), time);
}

void tst_Framing::layout_data()
{
    QTest::addColumn<Frame>("frame");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("hello with token") << Frame::hello("tok")
                                      << QByteArray::fromHex("00000007"
                                                             "01 01 0000"
                                                             "746f6b");
    QTest::newRow("hello without token") << Frame::hello(QByteArray())
                                         << QByteArray::fromHex("00000004"
                                                                "01 01 0000");
    QTest::newRow("request") << sampleRequest()
                             << QByteArray::fromHex("0000001c"
                                                    "01 02 0000"
                                                    "01020304"
                                                    "fffffffe"
                                                    "fffffff0"
                                                    "00001102"
                                                    "29111993"
                                                    "41414141");
    Frame unwrapped = sampleRequest();
    unwrapped.flags = Frame::Unwrapped;
    unwrapped.payload = QByteArray::fromHex("000000");
    QTest::newRow("unwrapped") << unwrapped
                               << QByteArray::fromHex("0000001b"
                                                      "01 02 0001"
                                                      "01020304"
                                                      "fffffffe"
                                                      "fffffff0"
                                                      "00001102"
                                                      "29111993"
                                                      "000000");
    QTest::newRow("message") << sampleMessage()
                             << QByteArray::fromHex("00000017"
                                                    "01 03 0000"
                                                    "0a0b0c0d"
                                                    "00000007"
                                                    "00000011"
                                                    "29111993"
                                                    "78797a");
}

void tst_Framing::layout()
{
    QFETCH(Frame, frame);
    QFETCH(QByteArray, bytes);

    QCOMPARE(frame.encode().toHex(), bytes.toHex());

    FrameReader reader({ Frame::Hello, Frame::Request, Frame::Message });
    QCOMPARE(reader.feed(bytes.constData(), bytes.size()), qint64(bytes.size()));
    QCOMPARE(reader.state(), FrameReader::Complete);
    compareFrames(reader.takeFrame(), frame);
    QCOMPARE(reader.state(), FrameReader::Incomplete);
    QVERIFY(!reader.isMidFrame());
}

void tst_Framing::byteByByte()
{
    // Payloads of a similar size one after the other: one a receiver has dropped may be read
    // into again, one it still holds (the first) must stay as it came.
    const QList<Frame> frames { sampleMessage(), Frame::message(1, 2, 3),
        Frame::message(0, 0, 9, QByteArray(300, 'p')),
        Frame::message(0, 0, 9, QByteArray(400, 'q')),
        Frame::message(0, 0, 9, QByteArray(350, 'r')) };
    QByteArray stream;
    for (const Frame &frame : frames)
        stream += frame.encode();

    FrameReader reader({ Frame::Message });
    int read = 0;
    QByteArray held;
    for (int i = 0; i < stream.size(); ++i) {
        QVERIFY(reader.bytesWanted() >= 1);
        QCOMPARE(reader.feed(stream.constData() + i, 1), qint64(1));
        QVERIFY(reader.state() != FrameReader::Malformed);
        if (reader.state() == FrameReader::Complete) {
            const Frame frame = reader.takeFrame();
            compareFrames(frame, frames.at(read));
            if (read++ == 2)
                held = frame.payload;
        } else {
            QVERIFY(reader.isMidFrame());
        }
    }
    QCOMPARE(read, frames.size());
    QCOMPARE(held, QByteArray(300, 'p'));
    QVERIFY(!reader.isMidFrame());
}

void tst_Framing::sizeLimit()
{
    const int largest = int(Frame::MaxBodySize) - Frame::headerSize(Frame::Message);
    Frame frame = Frame::message(1, 1, 1, QByteArray(largest, 'L'));
    const QByteArray bytes = frame.encode();
    QCOMPARE(bytes.size(), int(Frame::PrefixSize + Frame::MaxBodySize));

    FrameReader reader({ Frame::Message });
    QCOMPARE(reader.feed(bytes.constData(), bytes.size()), qint64(bytes.size()));
    QCOMPARE(reader.state(), FrameReader::Complete);
    QCOMPARE(reader.takeFrame().payload.size(), largest);

    frame.payload.append('!');
    QVERIFY(frame.encode().isEmpty());
    QVERIFY(Frame::hello(QByteArray(Frame::MaxTokenSize, 't')).encode().size() > 0);
    QVERIFY(Frame::hello(QByteArray(Frame::MaxTokenSize + 1, 't')).encode().isEmpty());
}

void tst_Framing::malformed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // How many bytes the reader needs to see the fault; nothing after them is taken.
    QTest::addColumn<int>("detectedAfter");

    QTest::newRow("declared length over the limit")
        << be32(Frame::MaxBodySize + 1) + QByteArray(64, 'x') << 4;
    QTest::newRow("declared length at the top of the range")
        << be32(0xFFFFFFFF) + QByteArray(64, 'x') << 4;
    QTest::newRow("declared length below a head") << be32(3) + QByteArray(64, 'x') << 4;
    QTest::newRow("text instead of frames") << QByteArrayLiteral("GET / HTTP/1.1\r\n\r\n") << 4;
    QTest::newRow("unknown version") << handFrame(Frame::Message, QByteArray(16, '\0'), 2) << 8;
    QTest::newRow("unknown type") << handFrame(9, QByteArray(16, '\0')) << 8;
    QTest::newRow("type this side never receives")
        << handFrame(Frame::Request, QByteArray(20, '\0')) << 8;
    QTest::newRow("flag on a message")
        << be32(20) + QByteArray::fromHex("01 03 0001") + QByteArray(16, '\0') << 8;
    QTest::newRow("flag on a hello") << be32(4) + QByteArray::fromHex("01 01 0001") << 8;
    QTest::newRow("message shorter than its header")
        << handFrame(Frame::Message, QByteArray(15, '\0')) << 8;
    QTest::newRow("hello token over the limit")
        << handFrame(Frame::Hello, QByteArray(Frame::MaxTokenSize + 1, 't')) << 8;
}

void tst_Framing::malformed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, detectedAfter);

    FrameReader reader({ Frame::Hello, Frame::Message });
    QCOMPARE(reader.feed(bytes.constData(), bytes.size()), qint64(detectedAfter));
    QCOMPARE(reader.state(), FrameReader::Malformed);
    QVERIFY(!reader.errorString().isEmpty());

    // Fed byte by byte, the fault shows at the same point.
    FrameReader slow({ Frame::Hello, Frame::Message });
    for (int i = 0; i < detectedAfter; ++i) {
        QCOMPARE(slow.state(), FrameReader::Incomplete);
        QCOMPARE(slow.feed(bytes.constData() + i, 1), qint64(1));
    }
    QCOMPARE(slow.state(), FrameReader::Malformed);
}

void tst_Framing::readerAfterMalformed()
{
    FrameReader reader({ Frame::Message });
    const QByteArray bad = be32(2);
    reader.feed(bad.constData(), bad.size());
    QCOMPARE(reader.state(), FrameReader::Malformed);

    const QByteArray good = sampleMessage().encode();
    QCOMPARE(reader.feed(good.constData(), good.size()), qint64(0));
    QCOMPARE(reader.bytesWanted(), qint64(0));
    QCOMPARE(reader.state(), FrameReader::Malformed);
}

void tst_Framing::serviceDropsBadClient_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("clientHangsUp");

    const QByteArray hello = Frame::hello(QByteArray()).encode();
    QTest::newRow("oversized") << be32(Frame::MaxBodySize + 1) << false;
    QTest::newRow("text") << QByteArrayLiteral("GET / HTTP/1.1\r\n\r\n") << false;
    QTest::newRow("unknown version") << handFrame(Frame::Hello, QByteArray(), 7) << false;
    QTest::newRow("message frame from a client") << sampleMessage().encode() << false;
    QTest::newRow("second hello") << hello + hello << false;
    QTest::newRow("request with an unknown flag")
        << hello + be32(24) + QByteArray::fromHex("01 02 0002") + QByteArray(20, '\0') << false;
    QTest::newRow("garbage after a good request")
        << hello + sampleRequest().encode() + QByteArray(8, '\xff') << false;
    QTest::newRow("stalled frame")
        << be32(100) + QByteArray::fromHex("01 02 0000") + QByteArray(10, '\0') << false;
    QTest::newRow("truncated, then the client leaves")
        << be32(100) + QByteArray::fromHex("01 02 0000") << true;
}

void tst_Framing::serviceDropsBadClient()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, clientHangsUp);

    RemotoService service;
    service.setStallTimeout(50);
    const QString name = uniqueSocketName();
    QVERIFY2(service.listen(QStringLiteral("local:") + name), qPrintable(service.errorString()));

    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(service.clientCount(), 1, 10000);
    client.write(bytes);
    QVERIFY(client.waitForBytesWritten(10000));
    if (clientHangsUp)
        client.disconnectFromServer();
    else
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(service.clientCount(), 0, 10000);

    // The service goes on serving.
    QLocalSocket next;
    next.connectToServer(name);
    QVERIFY(next.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(service.clientCount(), 1, 10000);
}

void tst_Framing::serviceDropsClientThatStopsReading()
{
    RemotoService service;
    Talker talker;
    QVERIFY(service.publish(QStringLiteral("talker"), &talker));
    const QString name = uniqueSocketName();
    QVERIFY(service.listen(QStringLiteral("local:") + name));

    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(10000));
    Frame subscribe;
    subscribe.type = Frame::Request;
    subscribe.requestUid = 1;
    subscribe.objectId = service.objectId(QStringLiteral("talker"));
    subscribe.command = 0x1103;
    subscribe.magic = Velmor::Command::Marker;
    subscribe.payload = QByteArrayLiteral("said(QString)").toBase64();
    client.write(Frame::hello(QByteArray()).encode() + subscribe.encode());
    // The announcement is one bare message frame; anything more is the answer.
    const int announcement = Frame::PrefixSize + Frame::headerSize(Frame::Message);
    QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() > announcement, 10000);

    // Each notification is about 11 MiB, and this client reads none of them.
    const QString text(4 * 1024 * 1024, QLatin1Char('x'));
    for (int i = 0; i < 8; ++i)
        emit talker.said(text);
    QTRY_COMPARE_WITH_TIMEOUT(service.clientCount(), 0, 30000);
}

void tst_Framing::connectionDropsBadService_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("oversized") << be32(Frame::MaxBodySize + 1);
    QTest::newRow("text") << QByteArrayLiteral("HTTP/1.1 400 Bad Request\r\n\r\n");
    QTest::newRow("unknown version") << handFrame(Frame::Message, QByteArray(16, '\0'), 0);
    QTest::newRow("hello from the service") << Frame::hello(QByteArray()).encode();
    QTest::newRow("request from the service") << sampleRequest().encode();
    QTest::newRow("garbage after a good message")
        << sampleMessage().encode() + QByteArray(6, '\x7f');
    QTest::newRow("stalled frame") << sampleMessage().encode().left(12);
}

void tst_Framing::connectionDropsBadService()
{
    QFETCH(QByteArray, bytes);

    RawService service;
    QVERIFY(service.listen());
    SocketConnection connection;
    connection.setStallTimeout(50);
    QSignalSpy states(&connection, &SocketConnection::stateChanged);
    QSignalSpy messages(&connection, &SocketConnection::message);
    QVERIFY(connection.connectToService(QStringLiteral("local:") + service.name));
    QVERIFY(service.waitForClient());
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), Velmor::Connection::Connected, 10000);

    service.socket->write(bytes);
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), Velmor::Connection::ConnectionLost, 10000);
    QCOMPARE(states.last().at(0).value<State>(), Velmor::Connection::ConnectionLost);
    QVERIFY(!connection.errorString().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(service.socket->state(), QLocalSocket::UnconnectedState, 10000);
    // Whatever was whole before the fault still got through.
    QCOMPARE(messages.size(), bytes.startsWith(sampleMessage().encode()) ? 1 : 0);
}

void tst_Framing::largeFrameThroughSocket_data()
{
    // The frame goes out in pieces with pauses between them, small frames right behind it; or
    // the peer leaves halfway.
    QTest::addColumn<int>("payloadSize");
    QTest::addColumn<bool>("peerLeaves");
    QTest::addColumn<bool>("tcp");

    QTest::newRow("largest") << int(Frame::MaxBodySize) - Frame::headerSize(Frame::Message) << false
                             << false;
    QTest::newRow("over tcp") << 1024 * 1024 << false << true;
    QTest::newRow("peer leaves mid-body") << 1024 * 1024 << true << false;
    QTest::newRow("peer leaves mid-body over tcp") << 1024 * 1024 << true << true;
}

void tst_Framing::largeFrameThroughSocket()
{
    QFETCH(int, payloadSize);
    QFETCH(bool, peerLeaves);
    QFETCH(bool, tcp);

    RawService service;
    QTcpServer tcpServer;
    QVERIFY(tcp ? tcpServer.listen(QHostAddress::LocalHost) : service.listen());
    SocketConnection connection;
    QSignalSpy messages(&connection, &SocketConnection::message);
    QVERIFY(connection.connectToService(tcp
            ? QStringLiteral("tcp://127.0.0.1:%1").arg(tcpServer.serverPort())
            : QStringLiteral("local:") + service.name));
    QVERIFY(tcp ? tcpServer.waitForNewConnection(10000) : service.waitForClient());
    QIODevice *peer
        = tcp ? static_cast<QIODevice *>(tcpServer.nextPendingConnection()) : service.socket.get();

    QByteArray payload(payloadSize, '\0');
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 7);
    const QByteArray bytes = Frame::message(1, 42, 5, payload).encode()
        + Frame::message(2, 43, 5).encode() + Frame::message(2, 44, 5).encode();
    const int piece = 512 * 1024;
    for (int at = 0; at < (peerLeaves ? bytes.size() / 2 : bytes.size()); at += piece) {
        peer->write(bytes.mid(at, piece));
        QTest::qWait(10);
    }
    if (peerLeaves) {
        peer->close();
        // Long before the frame would time out.
        QTRY_COMPARE_WITH_TIMEOUT(connection.state(), Velmor::Connection::ConnectionLost, 10000);
        QCOMPARE(messages.size(), 0);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 3, 60000);
    const auto message = messages.at(0).at(0).value<Velmor::Command::Message>();
    QCOMPARE(message.requestUid, 42u);
    QCOMPARE(message.objectId, 5u);
    QCOMPARE(message.kind, 1);
    QVERIFY(message.payload.toByteArray() == payload);
    QCOMPARE(messages.at(2).at(0).value<Velmor::Command::Message>().requestUid, 44u);
    QCOMPARE(connection.state(), Velmor::Connection::Connected);
}

void tst_Framing::workerThreadDispatcher_data()
{
    // Each runs in a thread that waits on the epoll dispatcher and counts what it saw.
    QTest::addColumn<int>("scenario");
    QTest::addColumn<int>("expected");

    QTest::newRow("repeating timer") << 0 << 5;
    QTest::newRow("write notifier toggled in one pass") << 1 << 3;
    QTest::newRow("burst posted from the main thread") << 2 << 100;
    QTest::newRow("nested loop in a zero timer's slot") << 3 << 3;
    QTest::newRow("notifier deletes the others") << 4 << 1;
}

void tst_Framing::workerThreadDispatcher()
{
#ifndef Q_OS_LINUX
    QSKIP("The epoll dispatcher exists on Linux only");
#else
    QFETCH(int, scenario);
    QFETCH(int, expected);

    int fds[2];
    QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    if (scenario == 4) // readable and writable in one pass
        QCOMPARE(write(fds[1], "x", 1), ssize_t(1));
    QThread thread;
    thread.setEventDispatcher(new Wire::PollingEventDispatcher);
    auto *context = new QObject;
    context->moveToThread(&thread);
    connect(&thread, &QThread::finished, context, &QObject::deleteLater);
    QAtomicInt seen;
    int depth = 0;
    // Quits a little after the expected count, so that a delivery too many shows.
    const auto count = [&] {
        if (++seen == expected)
            QTimer::singleShot(20, context, [&] { thread.quit(); });
    };
    QMetaObject::invokeMethod(
        context,
        [&] {
            switch (scenario) {
            case 0:
            case 3: {
                auto *timer = new QTimer(context);
                connect(timer, &QTimer::timeout, context, [&, timer] {
                    if (depth) { // re-entered
                        thread.quit();
                        return;
                    }
                    if (scenario == 3) {
                        ++depth;
                        QEventLoop loop;
                        QTimer::singleShot(20, &loop, &QEventLoop::quit);
                        loop.exec();
                        --depth;
                    }
                    count();
                    if (seen == expected)
                        timer->stop();
                });
                timer->start(scenario == 3 ? 0 : 2);
                break;
            }
            case 1: {
                auto *reader = new QSocketNotifier(fds[1], QSocketNotifier::Read, context);
                connect(reader, &QSocketNotifier::activated, context, [&] {
                    char bytes[8];
                    for (ssize_t n = read(fds[1], bytes, sizeof bytes); n > 0; --n)
                        count();
                });
                auto *writer = new QSocketNotifier(fds[0], QSocketNotifier::Write, context);
                connect(writer, &QSocketNotifier::activated, context, [&, writer] {
                    if (write(fds[0], "abc", 3) == 3)
                        writer->setEnabled(false);
                });
                for (int i = 0; i < 1001; ++i) // as a TLS socket does on each write, ending enabled
                    writer->setEnabled(i % 2 == 0);
                break;
            }
            case 4: {
                auto *group = new QObject(context);
                const std::pair<int, QSocketNotifier::Type> kinds[]
                    = { { fds[0], QSocketNotifier::Read }, { fds[0], QSocketNotifier::Write },
                          { fds[1], QSocketNotifier::Write } };
                for (const auto &[fd, type] : kinds) {
                    auto *notifier = new QSocketNotifier(fd, type, group);
                    connect(notifier, &QSocketNotifier::activated, context, [&, notifier, group] {
                        notifier->setEnabled(false);
                        for (QSocketNotifier *other : group->findChildren<QSocketNotifier *>()) {
                            if (other != notifier)
                                delete other;
                        }
                        count();
                    });
                }
                break;
            }
            }
        },
        Qt::QueuedConnection);
    thread.start();
    if (scenario == 2) {
        QTest::qWait(50); // long enough to block, not needed for the outcome
        for (int i = 0; i < expected; ++i)
            QMetaObject::invokeMethod(context, count, Qt::QueuedConnection);
    }
    const bool finished = thread.wait(20000);
    thread.quit();
    thread.wait();
    close(fds[0]);
    close(fds[1]);
    QVERIFY(finished);
    QCOMPARE(int(seen), expected);
#endif
}

QTEST_MAIN(tst_Framing)
#include "tst_framing.moc"
