#include "rawservice.h"
#include "testcertificates.h"

#include <commandcatalogue.h>
#include <connectionstate.h>
#include <frame.h>
#include <message.h>
#include <remotoservice.h>
#include <request.h>
#include <serviceaddress.h>
#include <socketconnection.h>

#include <QtCore/QtEndian>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QTcpServer>
#include <QtTest/QtTest>

#include <limits>

using Velmor::Command::Message;
using Velmor::Connection::State;
using Wire::Frame;
using Wire::ServiceAddress;

namespace {

QList<State> statesOf(const QSignalSpy &spy)
{
    QList<State> states;
    for (const QList<QVariant> &arguments : spy)
        states.append(arguments.at(0).value<State>());
    return states;
}

// Holds the module's half of the signatures and reaches the connection only through them.
class ModuleSide : public QObject
{
    Q_OBJECT
public:
    QList<Message> messages;
    QList<State> states;

Q_SIGNALS:
    void request(const Request *request);

public Q_SLOTS:
    void message(const Velmor::Command::Message &message) { messages.append(message); }
    void stateChanged(const Velmor::Connection::State state) { states.append(state); }
};

// A port nobody listens on, as far as this machine can tell.
int closedTcpPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return -1;
    return probe.serverPort();
}

// A service on loopback showing `shown`, one of make-test-certificates.sh's certificates, and
// a connection trusting their CA, or only `pin` when it has one.
bool setUpTls(
    RemotoService &service, const QString &shown, SocketConnection &connection, const QString &pin)
{
    const QString made = testCertificates();
    return !made.isEmpty()
        && service.setTlsCertificate(
            made + shown + QStringLiteral(".pem"), made + QStringLiteral("service.key"))
        && service.listen(QStringLiteral("tls://127.0.0.1:0"))
        && (pin.isEmpty() ? connection.setTlsCaFile(made + QStringLiteral("ca.pem"))
                          : connection.setTlsPin(pin));
}

} // namespace

class tst_Connection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void addresses_data();
    void addresses();
    void unusableAddressRefused_data();
    void unusableAddressRefused();

    void moduleSignatures_data();
    void moduleSignatures();
    void framesCarryRequestAndMessageFields();
    void largePayloadsUnwrappedWhereOffered_data();
    void largePayloadsUnwrappedWhereOffered();
    void initialObjectsAnnouncedConsumed_data();
    void initialObjectsAnnouncedConsumed();
    void localRefusals_data();
    void localRefusals();

    void linkLostWhenServiceGoes_data();
    void linkLostWhenServiceGoes();
    void failedAttempt_data();
    void failedAttempt();
    void disconnectReportsLoss();
    void waitingCallsAnsweredAtLoss_data();
    void waitingCallsAnsweredAtLoss();
    void autoReconnectAfterLoss();
    void autoReconnectUntilServiceStarts();
};

void tst_Connection::addresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("local") << "local:svc-1" << int(ServiceAddress::Local) << "svc-1" << QString()
                           << -1;
    QTest::newRow("tcp") << "tcp://127.0.0.1:5000" << int(ServiceAddress::Tcp) << QString()
                         << "127.0.0.1" << 5000;
    QTest::newRow("tcp without host")
        << "tcp://:5000" << int(ServiceAddress::Tcp) << QString() << QString() << 5000;
    QTest::newRow("tcp on IPv6") << "tcp://[::1]:7" << int(ServiceAddress::Tcp) << QString()
                                 << "::1" << 7;
    QTest::newRow("tls") << "tls://localhost:5000" << int(ServiceAddress::Tls) << QString()
                         << "localhost" << 5000;
    QTest::newRow("tcp without port")
        << "tcp://host" << int(ServiceAddress::Tcp) << QString() << "host" << -1;
    QTest::newRow("local without name")
        << "local:" << int(ServiceAddress::Invalid) << QString() << QString() << -1;
    QTest::newRow("other scheme") << "udp://h:1" << int(ServiceAddress::Invalid) << QString()
                                  << QString() << -1;
    QTest::newRow("tcp with path")
        << "tcp://h:1/x" << int(ServiceAddress::Invalid) << QString() << QString() << -1;
    QTest::newRow("tcp with user")
        << "tcp://u@h:1" << int(ServiceAddress::Invalid) << QString() << QString() << -1;
    QTest::newRow("tcp with query")
        << "tcp://h:1?q" << int(ServiceAddress::Invalid) << QString() << QString() << -1;
    QTest::newRow("port out of range")
        << "tcp://h:70000" << int(ServiceAddress::Invalid) << QString() << QString() << -1;
    QTest::newRow("empty") << "" << int(ServiceAddress::Invalid) << QString() << QString() << -1;
}

void tst_Connection::addresses()
{
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(QString, name);
    QFETCH(QString, host);
    QFETCH(int, port);

    const ServiceAddress address = ServiceAddress::parse(text);
    QCOMPARE(int(address.kind), kind);
    if (address.kind == ServiceAddress::Invalid)
        return;
    QCOMPARE(address.name, name);
    QCOMPARE(address.host, host);
    QCOMPARE(address.port, port);
    if (!host.isEmpty() && port >= 0)
        QCOMPARE(ServiceAddress::parse(address.toString()).host, host);
}

void tst_Connection::unusableAddressRefused_data()
{
    QTest::addColumn<QString>("address");

    QTest::newRow("no host") << "tcp://:5000";
    QTest::newRow("no port") << "tcp://localhost";
    QTest::newRow("port zero") << "tcp://localhost:0";
    QTest::newRow("tls without port") << "tls://localhost";
    QTest::newRow("not an address") << "svc";
}

void tst_Connection::unusableAddressRefused()
{
    QFETCH(QString, address);

    SocketConnection connection;
    QSignalSpy states(&connection, &SocketConnection::stateChanged);
    QVERIFY(!connection.connectToService(address));
    QVERIFY(!connection.errorString().isEmpty());
    QCOMPARE(connection.state(), Velmor::Connection::Disconnected);
    QCOMPARE(states.size(), 0);
}

void tst_Connection::moduleSignatures_data()
{
    QTest::addColumn<bool>("tcp");

    QTest::newRow("local socket") << false;
    QTest::newRow("tcp") << true;
}

void tst_Connection::moduleSignatures()
{
    QFETCH(bool, tcp);

    RemotoService service;
    QObject published;
    QVERIFY(service.publish(QStringLiteral("thing"), &published));
    const QString address
        = tcp ? QStringLiteral("tcp://127.0.0.1:0") : QStringLiteral("local:") + uniqueSocketName();
    QVERIFY2(service.listen(address), qPrintable(service.errorString()));

    SocketConnection connection;
    ModuleSide module;
    QVERIFY(QObject::connect(&connection, SIGNAL(message(Velmor::Command::Message)), &module,
        SLOT(message(Velmor::Command::Message))));
    QVERIFY(QObject::connect(&connection, SIGNAL(stateChanged(Velmor::Connection::State)), &module,
        SLOT(stateChanged(Velmor::Connection::State))));
    QVERIFY(QObject::connect(
        &module, SIGNAL(request(const Request *)), &connection, SLOT(request(const Request *))));

    QVERIFY(connection.connectToService(service.address()));
    QTRY_COMPARE_WITH_TIMEOUT(module.messages.size(), 1, 10000);
    QCOMPARE(module.states,
        (QList<State> { Velmor::Connection::Connecting, Velmor::Connection::Connected }));
    QCOMPARE(module.messages.at(0).kind, int(Velmor::Command::ObjectUp));
    const quint32 objectId = module.messages.at(0).objectId;

    const Request request(1, int(objectId), 0x1100, QByteArray(), Velmor::Command::Marker);
    emit module.request(&request);
    QTRY_COMPARE_WITH_TIMEOUT(module.messages.size(), 2, 10000);
    QCOMPARE(module.messages.at(1).kind, int(Velmor::Command::Answer));
    QCOMPARE(module.messages.at(1).requestUid, quint32(request.uid()));
}

void tst_Connection::framesCarryRequestAndMessageFields()
{
    RawService service;
    QVERIFY(service.listen());
    SocketConnection connection;
    QSignalSpy messages(&connection, &SocketConnection::message);
    QVERIFY(connection.setAccessToken("open sesame"));
    QVERIFY(!connection.setAccessToken(QByteArray(Frame::MaxTokenSize + 1, 't')));
    QVERIFY(connection.connectToService(QStringLiteral("local:") + service.name));
    QVERIFY(service.waitForClient());

    Frame frame;
    QVERIFY(service.readFrame(&frame));
    QCOMPARE(frame.type, Frame::Hello);
    QCOMPARE(frame.payload, QByteArrayLiteral("open sesame"));

    QByteArray mask(255, '\0');
    mask[0] = 2;
    const Request request(5, -3, 0x1105, mask, Velmor::Command::Marker);
    connection.request(&request);
    QVERIFY(service.readFrame(&frame));
    QCOMPARE(frame.type, Frame::Request);
    QCOMPARE(frame.requestUid, quint32(request.uid()));
    QCOMPARE(frame.sequence, 5);
    QCOMPARE(frame.objectId, 0xFFFFFFFDu);
    QCOMPARE(frame.command, 0x1105);
    QCOMPARE(frame.magic, Velmor::Command::Marker);
    QCOMPARE(frame.payload, mask);

    service.socket->write(Frame::message(1, 0xFFFFFFFE, 9, "body").encode());
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, 10000);
    const auto message = messages.at(0).at(0).value<Message>();
    QCOMPARE(message.requestUid, 0xFFFFFFFEu);
    QCOMPARE(message.objectId, 9u);
    QCOMPARE(message.kind, 1);
    QCOMPARE(message.magic, Velmor::Command::Marker);
    QCOMPARE(message.payload.userType(), int(QMetaType::QByteArray));
    QCOMPARE(message.payload.toByteArray(), QByteArrayLiteral("body"));
}

void tst_Connection::largePayloadsUnwrappedWhereOffered_data()
{
    QTest::addColumn<QByteArray>("announcement");
    QTest::addColumn<int>("payloadSize");
    QTest::addColumn<bool>("withProperty");
    QTest::addColumn<bool>("unwrapped");

    const QByteArray offer = Frame::featureWord(Frame::TakesUnwrapped);
    const int large = CommandCatalogue::MinUnwrappedPayloadSize;
    QTest::newRow("offered") << offer << large << true << true;
    QTest::newRow("more than the system takes at once") << offer << 4096 * large << true << true;
    QTest::newRow("not offered") << QByteArray() << large << true << false;
    QTest::newRow("only features this side does not know")
        << Frame::featureWord(~quint32(Frame::TakesUnwrapped)) << large << true << false;
    QTest::newRow("feature word cut short") << offer.left(3) << large << true << false;
    QTest::newRow("payload below the size") << offer << large - 4 << true << false;
    QTest::newRow("request without the property") << offer << large << false << false;
}

// A large Base64 payload goes as the bytes it stands for only to a service that said it takes
// them; any other service still gets the text, which is what a plain peer understands.
void tst_Connection::largePayloadsUnwrappedWhereOffered()
{
    QFETCH(QByteArray, announcement);
    QFETCH(int, payloadSize);
    QFETCH(bool, withProperty);
    QFETCH(bool, unwrapped);

    RawService service;
    QVERIFY(service.listen());
    SocketConnection connection;
    QSignalSpy announced(&connection, &SocketConnection::initialObjectsAnnounced);
    QVERIFY(connection.connectToService(QStringLiteral("local:") + service.name));
    QVERIFY(service.waitForClient());
    Frame frame;
    QVERIFY(service.readFrame(&frame));
    service.socket->write(
        Frame::message(Frame::InitialObjectsAnnounced, 0, 0, announcement).encode());
    QVERIFY(announced.wait(10000));

    const QByteArray bytes(payloadSize * 3 / 4, '\x7f');
    const QByteArray text = bytes.toBase64();
    QCOMPARE(text.size(), payloadSize);
    Request request(1, 2, 0x1102, text, Velmor::Command::Marker);
    if (withProperty)
        request.setProperty(CommandCatalogue::UnwrappedPayloadProperty, bytes);
    connection.request(&request);
    QVERIFY(service.readFrame(&frame));
    QCOMPARE(frame.flags, quint16(unwrapped ? Frame::Unwrapped : 0));
    QCOMPARE(frame.payload, unwrapped ? bytes : text);
}

void tst_Connection::initialObjectsAnnouncedConsumed_data()
{
    QTest::addColumn<QList<int>>("kinds");
    QTest::addColumn<int>("deliveredBeforeSignal");

    const int end = Frame::InitialObjectsAnnounced;
    const int up = Velmor::Command::ObjectUp;
    QTest::newRow("after the objects present") << QList<int> { up, up, end, up } << 2;
    QTest::newRow("no objects") << QList<int> { end } << 0;
    QTest::newRow("sent again") << QList<int> { end, up, end } << 0;
}

void tst_Connection::initialObjectsAnnouncedConsumed()
{
    QFETCH(QList<int>, kinds);
    QFETCH(int, deliveredBeforeSignal);

    RawService service;
    QVERIFY(service.listen());
    SocketConnection connection;
    QList<Message> delivered;
    QList<int> deliveredAtSignal;
    connect(&connection, &SocketConnection::message, this,
        [&](const Message &message) { delivered.append(message); });
    connect(&connection, &SocketConnection::initialObjectsAnnounced, this,
        [&] { deliveredAtSignal.append(delivered.size()); });
    QVERIFY(connection.connectToService(QStringLiteral("local:") + service.name));
    QVERIFY(service.waitForClient());

    QByteArray stream;
    for (int i = 0; i < kinds.size(); ++i)
        stream += Frame::message(kinds.at(i), 0, quint32(i + 1)).encode();
    // The last message delivered, so nothing before it can still be on its way.
    stream += Frame::message(Velmor::Command::ObjectDown, 0, 99).encode();
    service.socket->write(stream);
    QTRY_VERIFY_WITH_TIMEOUT(!delivered.isEmpty() && delivered.last().objectId == 99, 10000);

    QCOMPARE(deliveredAtSignal, QList<int> { deliveredBeforeSignal });
    for (const Message &message : qAsConst(delivered))
        QVERIFY(message.kind != Frame::InitialObjectsAnnounced);
    QCOMPARE(delivered.size(), kinds.count(Velmor::Command::ObjectUp) + 1);
}

void tst_Connection::localRefusals_data()
{
    QTest::addColumn<bool>("linked");
    QTest::addColumn<QVariant>("command");
    QTest::addColumn<QVariant>("payload");

    QTest::newRow("no link") << false << QVariant(0x1100) << QVariant(QByteArray());
    QTest::newRow("command not a number")
        << true << QVariant(QStringLiteral("GETINFO")) << QVariant(QByteArray());
    QTest::newRow("payload neither bytes nor text") << true << QVariant(0x1100) << QVariant(2.5);
    QTest::newRow("payload larger than a frame")
        << true << QVariant(0x1100) << QVariant(QByteArray(int(Frame::MaxBodySize), 'x'));
}

void tst_Connection::localRefusals()
{
    QFETCH(bool, linked);
    QFETCH(QVariant, command);
    QFETCH(QVariant, payload);

    RawService service;
    SocketConnection connection;
    QSignalSpy messages(&connection, &SocketConnection::message);
    Frame frame;
    if (linked) {
        QVERIFY(service.listen());
        QVERIFY(connection.connectToService(QStringLiteral("local:") + service.name));
        QVERIFY(service.waitForClient());
        QVERIFY(service.readFrame(&frame));
    }

    const Request refused(1, 77, command, payload, Velmor::Command::Marker);
    connection.request(&refused);
    QCOMPARE(messages.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, 10000);
    const auto message = messages.at(0).at(0).value<Message>();
    QCOMPARE(message.kind, int(Velmor::Command::Refused));
    QCOMPARE(message.requestUid, quint32(refused.uid()));
    QCOMPARE(message.objectId, 77u);
    QCOMPARE(message.magic, Velmor::Command::Marker);
    QCOMPARE(message.payload.toByteArray(), QByteArray());

    if (linked) {
        // Nothing of the refused request went out: the next frame is the next request.
        const Request next(2, 78, 0x1100, QByteArray(), Velmor::Command::Marker);
        connection.request(&next);
        QVERIFY(service.readFrame(&frame));
        QCOMPARE(frame.requestUid, quint32(next.uid()));
    }
}

void tst_Connection::linkLostWhenServiceGoes_data()
{
    QTest::addColumn<QString>("address");
    // What a tls:// connection trusts: the test CA, or this pin.
    QTest::addColumn<QString>("pin");

    QTest::newRow("local socket") << QStringLiteral("local:") + uniqueSocketName() << QString();
    QTest::newRow("tcp") << "tcp://:0" << QString();
    QTest::newRow("tls") << "tls:" << QString();
    // Pinned, the key alone counts: the connection trusts neither the CA nor the system's.
    QTest::newRow("tls pinned") << "tls:" << testCertificatePin();
}

void tst_Connection::linkLostWhenServiceGoes()
{
    QFETCH(QString, address);
    QFETCH(QString, pin);

    auto service = std::make_unique<RemotoService>();
    SocketConnection connection;
    if (address.startsWith(QLatin1String("tls")))
        QVERIFY(setUpTls(*service, QStringLiteral("service"), connection, pin));
    else
        QVERIFY2(service->listen(address), qPrintable(service->errorString()));
    QSignalSpy states(&connection, &SocketConnection::stateChanged);
    QVERIFY(connection.connectToService(service->address()));
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), Velmor::Connection::Connected, 10000);

    service.reset();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), Velmor::Connection::ConnectionLost, 10000);
    QCOMPARE(statesOf(states),
        (QList<State> { Velmor::Connection::Connecting, Velmor::Connection::Connected,
            Velmor::Connection::ConnectionLost }));
}

void tst_Connection::failedAttempt_data()
{
    QTest::addColumn<QString>("address");
    // The certificate a tls:// service shows, for the address it then listens on.
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("pin");
    QTest::addColumn<QString>("error");

    QTest::newRow("local socket") << QStringLiteral("local:") + uniqueSocketName() << QString()
                                  << QString() << QString();
    QTest::newRow("tcp") << QStringLiteral("tcp://127.0.0.1:%1").arg(closedTcpPort()) << QString()
                         << QString() << QString();
    QTest::newRow("tls expired") << QString() << "expired" << QString() << "has expired";
    QTest::newRow("tls wrong host name")
        << QString() << "wronghost" << QString() << "for another host name";
    QTest::newRow("tls unknown issuer")
        << QString() << "stranger" << QString() << "has an unknown issuer";
    QTest::newRow("tls pin mismatch") << QString() << "service" << QString(64, QLatin1Char('0'))
                                      << "does not match the pinned public key";
}

void tst_Connection::failedAttempt()
{
    QFETCH(QString, address);
    QFETCH(QString, shown);
    QFETCH(QString, pin);
    QFETCH(QString, error);

    RemotoService service;
    SocketConnection connection;
    if (!shown.isEmpty()) {
        QVERIFY(setUpTls(service, shown, connection, pin));
        address = service.address();
        // A refused certificate would be refused again, so it is not retried even so.
        connection.setAutoReconnect(true);
        connection.setReconnectDelays(10, 10);
    }
    QSignalSpy states(&connection, &SocketConnection::stateChanged);
    QSignalSpy errors(&connection, &SocketConnection::errorOccurred);
    QVERIFY(connection.connectToService(address));
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), Velmor::Connection::Disconnected, 10000);
    QTest::qWait(50);
    QCOMPARE(statesOf(states),
        (QList<State> { Velmor::Connection::Connecting, Velmor::Connection::Disconnected }));
    QCOMPARE(errors.size(), 1);
    QVERIFY2(connection.errorString().contains(error), qPrintable(connection.errorString()));
}

void tst_Connection::waitingCallsAnsweredAtLoss_data()
{
    QTest::addColumn<bool>("hostDisconnects");
    QTest::newRow("service goes") << false;
    QTest::newRow("host disconnects") << true;
}

// A synchronous call still waiting when the link goes is answered CONNECTION_ERROR before the
// loss is reported, rather than left to its time-out; commands nobody waits for are not.
void tst_Connection::waitingCallsAnsweredAtLoss()
{
    QFETCH(bool, hostDisconnects);
    RawService service;
    QVERIFY(service.listen());
    SocketConnection connection;
    QStringList log;
    connect(&connection, &SocketConnection::message, this, [&log](const Message &message) {
        const QByteArray payload = message.payload.toByteArray();
        log.append(QStringLiteral("kind %1 uid %2 object %3 result %4 command %5")
                       .arg(message.kind)
                       .arg(message.requestUid)
                       .arg(message.objectId)
                       .arg(qFromLittleEndian<qint32>(payload.constData() + 8))
                       .arg(qFromLittleEndian<qint32>(payload.constData() + 12), 0, 16));
    });
    connect(&connection, &SocketConnection::stateChanged, this,
        [&log](State state) { log.append(QStringLiteral("state %1").arg(state)); });
    QVERIFY(connection.connectToService(QStringLiteral("local:") + service.name));
    QVERIFY(service.waitForClient());
    Frame frame;
    QVERIFY(service.readFrame(&frame));

    const Request invoke(0, 4, 0x1102, QByteArray(), Velmor::Command::Marker);
    const Request subscribe(1, 4, 0x1103, QByteArray(), Velmor::Command::Marker);
    const Request info(2, 4, 0x1100, QByteArray(), Velmor::Command::Marker);
    const Request answered(3, 5, 0x1102, QByteArray(), Velmor::Command::Marker);
    for (const Request *request : { &invoke, &subscribe, &info, &answered }) {
        connection.request(request);
        QVERIFY(service.readFrame(&frame));
    }
    QByteArray answer(16, '\0');
    qToLittleEndian<qint32>(0x1102, answer.data() + 12);
    log.clear();
    service.socket->write(
        Frame::message(1, quint32(answered.uid()), 5, answer + "AAAAAA==").encode());
    QTRY_COMPARE_WITH_TIMEOUT(log.size(), 1, 10000);
    log.clear();

    if (hostDisconnects)
        connection.disconnectFromService();
    else
        service.socket->abort();
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("state -100")), 10000);
    const QString lost = QStringLiteral("kind 1 uid %1 object 4 result 7 command %2");
    QCOMPARE(log.mid(0, 3),
        (QStringList { lost.arg(invoke.uid()).arg(1102), lost.arg(subscribe.uid()).arg(1103),
            QStringLiteral("state -100") }));
}

void tst_Connection::disconnectReportsLoss()
{
    RemotoService service;
    QVERIFY(service.listen(QStringLiteral("local:") + uniqueSocketName()));
    SocketConnection connection;
    QVERIFY(connection.connectToService(service.address()));
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), Velmor::Connection::Connected, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(service.clientCount(), 1, 10000);

    QSignalSpy states(&connection, &SocketConnection::stateChanged);
    connection.disconnectFromService();
    QCOMPARE(statesOf(states),
        (QList<State> { Velmor::Connection::ConnectionLost, Velmor::Connection::Disconnected }));
    QTRY_COMPARE_WITH_TIMEOUT(service.clientCount(), 0, 10000);
}

void tst_Connection::autoReconnectAfterLoss()
{
    const QString address = QStringLiteral("local:") + uniqueSocketName();
    auto service = std::make_unique<RemotoService>();
    QObject published;
    QVERIFY(service->setAccessToken("key"));
    QVERIFY(service->publish(QStringLiteral("thing"), &published));
    QVERIFY(service->listen(address));

    SocketConnection connection;
    QVERIFY(connection.setAccessToken("key"));
    connection.setAutoReconnect(true);
    connection.setReconnectDelays(10, 100);
    QSignalSpy messages(&connection, &SocketConnection::message);
    QSignalSpy states(&connection, &SocketConnection::stateChanged);
    QVERIFY(connection.connectToService(address));
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, 10000);

    service.reset();
    QTRY_COMPARE_WITH_TIMEOUT(statesOf(states).size(), 4, 10000);
    QCOMPARE(statesOf(states),
        (QList<State> { Velmor::Connection::Connecting, Velmor::Connection::Connected,
            Velmor::Connection::ConnectionLost, Velmor::Connection::Connecting }));

    // The new service announces its objects again, which it does only after a good hello.
    service = std::make_unique<RemotoService>();
    QVERIFY(service->setAccessToken("key"));
    QVERIFY(service->publish(QStringLiteral("thing"), &published));
    QVERIFY(service->listen(address));
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 2, 30000);
    QCOMPARE(connection.state(), Velmor::Connection::Connected);
    QCOMPARE(messages.at(1).at(0).value<Message>().kind, int(Velmor::Command::ObjectUp));
}

void tst_Connection::autoReconnectUntilServiceStarts()
{
    const QString address = QStringLiteral("local:") + uniqueSocketName();
    SocketConnection connection;
    connection.setAutoReconnect(true);
    connection.setReconnectDelays(10, 100);
    QSignalSpy errors(&connection, &SocketConnection::errorOccurred);
    QVERIFY(connection.connectToService(address));
    QTRY_VERIFY_WITH_TIMEOUT(errors.size() >= 2, 10000);
    QCOMPARE(connection.state(), Velmor::Connection::Connecting);

    RemotoService service;
    QVERIFY(service.listen(address));
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), Velmor::Connection::Connected, 30000);

    connection.disconnectFromService();
    QCOMPARE(connection.state(), Velmor::Connection::Disconnected);

    // Delays near the largest int stop at the maximum instead of overflowing as they double.
    connection.setReconnectDelays(1 << 30, std::numeric_limits<int>::max());
    const int failures = errors.size();
    QVERIFY(connection.connectToService(QStringLiteral("local:") + uniqueSocketName()));
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), failures + 1, 10000);
    QCOMPARE(connection.state(), Velmor::Connection::Connecting);
    connection.disconnectFromService();
}

QTEST_MAIN(tst_Connection)
#include "tst_connection.moc"
