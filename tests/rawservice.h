#ifndef RAWSERVICE_H
#define RAWSERVICE_H

#include <frame.h>

#include <QtCore/QCoreApplication>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>
#include <QtTest/QtTest>

#include <memory>

// A local socket name no other test program or run on this machine uses, so tests can run side
// by side.
inline QString uniqueSocketName()
{
    static int counter = 0;
    return QStringLiteral("remoto-%1-%2-%3")
        .arg(QCoreApplication::applicationName())
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

// Stands in for a service at the byte level: a SocketConnection can be fed whatever bytes a test
// likes, and the frames it sends can be read back.
class RawService
{
public:
    bool listen()
    {
        name = uniqueSocketName();
        return server.listen(name);
    }
    bool waitForClient()
    {
        if (!server.waitForNewConnection(10000))
            return false;
        socket.reset(server.nextPendingConnection());
        return socket != nullptr;
    }
    bool readFrame(Wire::Frame *frame)
    {
        const bool done = QTest::qWaitFor(
            [this] {
                while (reader.state() == Wire::FrameReader::Incomplete
                    && socket->bytesAvailable() > 0) {
                    const QByteArray chunk
                        = socket->read(qMin(socket->bytesAvailable(), reader.bytesWanted()));
                    reader.feed(chunk.constData(), chunk.size());
                }
                return reader.state() != Wire::FrameReader::Incomplete;
            },
            10000);
        if (!done || reader.state() != Wire::FrameReader::Complete)
            return false;
        *frame = reader.takeFrame();
        return true;
    }

    QLocalServer server;
    std::unique_ptr<QLocalSocket> socket;
    Wire::FrameReader reader { Wire::Frame::Hello, Wire::Frame::Request };
    QString name;
};

#endif
