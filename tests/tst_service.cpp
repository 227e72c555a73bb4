#include "messagelog.h"
#include "rawservice.h"
#include "testcertificates.h"

#include <commandcatalogue.h>
#include <connectionstate.h>
#include <message.h>
#include <remotoservice.h>
#include <request.h>
#include <socketconnection.h>
#include <tarn.h>

#include <QtCore/QEasingCurve>
#include <QtCore/QPointer>
#include <QtCore/QScopeGuard>
#include <QtCore/QSemaphore>
#include <QtCore/QThread>
#include <QtCore/QtEndian>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>
#include <QtTest/QtTest>

#include <cstring>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using Velmor::Command::Message;

namespace {

constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int GetMetaInfo = CommandCatalogue::GetMetaInfo;
constexpr int Invoke = CommandCatalogue::Invoke;
constexpr int SigConnect = CommandCatalogue::SigConnect;
constexpr int SigDisconnect = CommandCatalogue::SigDisconnect;
constexpr int SetEvent = CommandCatalogue::SetEvent;

QByteArray rawValueList(const QVariantList &values)
{
    QByteArray raw;
    QDataStream stream(&raw, QIODevice::WriteOnly);
    stream << values;
    return raw;
}

QByteArray valueListText(const QVariantList &values)
{
    return rawValueList(values).toBase64();
}

struct Answer
{
    QDateTime time;
    qint32 result = -1;
    qint32 command = 0;
    QVariantList values;
};

bool readAnswer(const Message &message, Answer *answer)
{
    const QByteArray payload = message.payload.toByteArray();
    if (message.kind != Velmor::Command::Answer || payload.size() < 16)
        return false;
    const quint64 dayBits = qFromLittleEndian<quint64>(payload.constData());
    double days;
    std::memcpy(&days, &dayBits, sizeof days);
    answer->time = Tarn::doubleToDateTime(days);
    answer->result = qFromLittleEndian<qint32>(payload.constData() + 8);
    answer->command = qFromLittleEndian<qint32>(payload.constData() + 12);
    QDataStream stream(QByteArray::fromBase64(payload.mid(16)));
    stream >> answer->values;
    return stream.status() == QDataStream::Ok;
}

class Gadget : public QObject
{
    Q_OBJECT
public:
    int resets = 0;

public Q_SLOTS:
    void reset() { ++resets; }

Q_SIGNALS:
    void changed(int value);
};

class Calculator : public Gadget
{
    Q_OBJECT
public:
    int calls = 0;

    Q_INVOKABLE int add(int a, int b)
    {
        ++calls;
        return a + b;
    }
    Q_INVOKABLE double add(double a, double b)
    {
        ++calls;
        return a + b;
    }
    Q_INVOKABLE QString greet(const QString &name)
    {
        ++calls;
        return QStringLiteral("Hello, ") + name;
    }
    Q_INVOKABLE int count(const QStringList &items)
    {
        ++calls;
        return items.size();
    }
    Q_INVOKABLE QVariant echo(const QVariant &value)
    {
        ++calls;
        return value;
    }
    Q_INVOKABLE QObject *self()
    {
        ++calls;
        return this;
    }
    Q_INVOKABLE QString typed(bool b, uint u, float f, qlonglong w)
    {
        ++calls;
        return QStringLiteral("%1 %2 %3 %4")
            .arg(QLatin1String(b ? "true" : "false"))
            .arg(u)
            .arg(double(f))
            .arg(w);
    }
    // Qt spells these with a space, which no host can call.
    Q_INVOKABLE signed char narrow()
    {
        ++calls;
        return 0;
    }
    Q_INVOKABLE void tally(const QMap<QString, QList<int>> &) { ++calls; }
    void plainMethod() { ++calls; }

public Q_SLOTS:
    void setValue(int value)
    {
        ++calls;
        emit changed(value);
    }
    void rename(const QString &from, const QString &to)
    {
        ++calls;
        emit renamed(from, to);
    }

Q_SIGNALS:
    void renamed(const QString &from, const QString &to);
    void pointerSignal(QObject *object);
    void sent(const QVariant &value);
    void narrowed(signed char value);

protected Q_SLOTS:
    void protectedSlot() { ++calls; }

private Q_SLOTS:
    void privateSlot() { ++calls; }

private:
    Q_INVOKABLE void privateMethod() { ++calls; }
};

class Fragile : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void destroySelf() { delete this; }
};

// One client of the service, reaching it through a real SocketConnection.
class Peer
{
public:
    explicit Peer(const QByteArray &token = QByteArray())
    {
        connection.setAccessToken(token);
        QObject::connect(&connection, &SocketConnection::message, &connection,
            [this](const Message &message) { received.append(message); });
        QObject::connect(
            &connection, &SocketConnection::initialObjectsAnnounced, &connection, [this] {
                ++announcementsEnded;
                receivedBeforeEnd = received.size();
            });
    }

    bool connectTo(const RemotoService &service)
    {
        return connection.connectToService(service.address())
            && QTest::qWaitFor(
                [this] { return connection.state() == Velmor::Connection::Connected; }, 10000);
    }

    quint32 send(quint32 objectId, int command, const QByteArray &payload = QByteArray(),
        int magic = Velmor::Command::Marker)
    {
        const Request request(0, int(objectId), command, payload, magic);
        connection.request(&request);
        return quint32(request.uid());
    }

    // A request whose payload goes to the service unwrapped, as `bytes`: its text is only large
    // enough for the connection to send the bytes instead, so only a service that takes the
    // bytes as they are can make sense of it.
    quint32 sendUnwrapped(quint32 objectId, int command, const QByteArray &bytes)
    {
        Request request(0, int(objectId), command,
            QByteArray(CommandCatalogue::MinUnwrappedPayloadSize, '@'), Velmor::Command::Marker);
        request.setProperty(CommandCatalogue::UnwrappedPayloadProperty, bytes);
        connection.request(&request);
        return quint32(request.uid());
    }

    // The message that answers or refuses the request.
    bool replyTo(quint32 uid, Message *reply)
    {
        return QTest::qWaitFor([&] { return findReply(uid, reply); }, 10000);
    }

    bool ask(quint32 objectId, int command, const QByteArray &payload, Answer *answer)
    {
        Message reply;
        return replyTo(send(objectId, command, payload), &reply) && readAnswer(reply, answer);
    }

    bool invoke(quint32 objectId, const QVariantList &request, Answer *answer)
    {
        return ask(objectId, Invoke, valueListText(request), answer);
    }

    bool waitForKind(int kind, int count = 1)
    {
        return QTest::qWaitFor([&] { return messagesOfKind(kind).size() >= count; }, 10000);
    }

    QList<Message> messagesOfKind(int kind) const
    {
        QList<Message> found;
        for (const Message &message : received) {
            if (message.kind == kind)
                found.append(message);
        }
        return found;
    }

    SocketConnection connection;
    QList<Message> received;
    int announcementsEnded = 0;
    int receivedBeforeEnd = -1;

private:
    bool findReply(quint32 uid, Message *reply) const
    {
        for (const Message &message : received) {
            if (message.requestUid == uid
                && (message.kind == Velmor::Command::Answer
                    || message.kind == Velmor::Command::Refused)) {
                *reply = message;
                return true;
            }
        }
        return false;
    }
};

} // namespace

class tst_Service : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void announcesPublishedObjects();
    void initialAnnouncementsEnd_data();
    void initialAnnouncementsEnd();
    void getInfo();
    void getMetaInfo();
    void invoke_data();
    void invoke();
    void invokeRefused_data();
    void invokeRefused();
    void invokeDestroyingObject();
    void unwrappedPayloads_data();
    void unwrappedPayloads();
    void unknownObject_data();
    void unknownObject();
    void unknownCommand();
    void setEventUnanswered();

    void signalRelay_data();
    void signalRelay();
    void signalNotOffered_data();
    void signalNotOffered();
    void unsendableEmissionDropped_data();
    void unsendableEmissionDropped();
    void relayOnlyToSubscriber();
    void emissionsFromOtherThreads();
    void sigDisconnectStopsRelay();

    void withdrawAndRepublish();
    void destroyedObjectWithdrawn();
    void publishRefusals();
    void defaultClientLimit_data();
    void defaultClientLimit();

    void listenAddresses_data();
    void listenAddresses();
    void listenReplacesOnlyDeadSocket();
    void accessToken_data();
    void accessToken();
    void wrongMarkerRefused();
    void garbageDoesNotDisturbOthers();

private:
    std::unique_ptr<RemotoService> service;
    std::unique_ptr<Calculator> calculator;
    quint32 calculatorId = 0;
};

void tst_Service::init()
{
    service = std::make_unique<RemotoService>();
    calculator = std::make_unique<Calculator>();
    QVERIFY(service->publish(QStringLiteral("calc"), calculator.get()));
    calculatorId = service->objectId(QStringLiteral("calc"));
    QVERIFY(calculatorId != 0);
    QVERIFY2(service->listen(QStringLiteral("local:") + uniqueSocketName()),
        qPrintable(service->errorString()));
}

void tst_Service::cleanup()
{
    service.reset();
    calculator.reset();
}

void tst_Service::announcesPublishedObjects()
{
    QObject second;
    QVERIFY(service->publish(QStringLiteral("second"), &second));
    const quint32 secondId = service->objectId(QStringLiteral("second"));
    QVERIFY(secondId != calculatorId);

    Peer peer;
    QVERIFY(peer.connectTo(*service));
    QVERIFY(peer.waitForKind(Velmor::Command::ObjectUp, 2));
    QCOMPARE(peer.received.size(), 2);
    QCOMPARE(peer.received.at(0).objectId, calculatorId);
    QCOMPARE(peer.received.at(1).objectId, secondId);
    for (const Message &message : qAsConst(peer.received)) {
        QCOMPARE(message.kind, int(Velmor::Command::ObjectUp));
        QCOMPARE(message.requestUid, 0u);
        QCOMPARE(message.magic, Velmor::Command::Marker);
        QCOMPARE(message.payload.toByteArray(), QByteArray());
    }

    QObject third;
    QVERIFY(service->publish(QStringLiteral("third"), &third));
    QVERIFY(peer.waitForKind(Velmor::Command::ObjectUp, 3));
    QCOMPARE(peer.received.last().objectId, service->objectId(QStringLiteral("third")));
    QCOMPARE(service->publishedNames(),
        (QStringList {
            QStringLiteral("calc"), QStringLiteral("second"), QStringLiteral("third") }));
}

void tst_Service::initialAnnouncementsEnd_data()
{
    QTest::addColumn<int>("objects");
    QTest::addColumn<QByteArray>("token");

    QTest::newRow("no objects") << 0 << QByteArray();
    QTest::newRow("one object") << 1 << QByteArray();
    QTest::newRow("two objects") << 2 << QByteArray();
    QTest::newRow("admitted by its hello") << 2 << QByteArrayLiteral("key");
}

void tst_Service::initialAnnouncementsEnd()
{
    QFETCH(int, objects);
    QFETCH(QByteArray, token);

    QObject second;
    if (objects == 0)
        QVERIFY(service->withdraw(QStringLiteral("calc")));
    if (objects == 2)
        QVERIFY(service->publish(QStringLiteral("second"), &second));
    QVERIFY(service->setAccessToken(token));
    Peer peer(token);
    QVERIFY(peer.connectTo(*service));
    QVERIFY(QTest::qWaitFor([&] { return peer.announcementsEnded > 0; }, 10000));
    QCOMPARE(peer.receivedBeforeEnd, objects);
    QCOMPARE(peer.messagesOfKind(Velmor::Command::ObjectUp).size(), objects);

    // Later publications are announced as before; the end of the first ones is not repeated.
    QObject later;
    QVERIFY(service->publish(QStringLiteral("later"), &later));
    QVERIFY(peer.waitForKind(Velmor::Command::ObjectUp, objects + 1));
    QCOMPARE(peer.received.size(), objects + 1);
    QCOMPARE(peer.announcementsEnded, 1);
}

void tst_Service::getInfo()
{
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const quint32 uid = peer.send(calculatorId, GetInfo, QByteArray());
    Message reply;
    QVERIFY(peer.replyTo(uid, &reply));
    const QDateTime after = QDateTime::currentDateTimeUtc();

    QCOMPARE(reply.kind, int(Velmor::Command::Answer));
    QCOMPARE(reply.objectId, calculatorId);
    QCOMPARE(reply.magic, Velmor::Command::Marker);
    Answer answer;
    QVERIFY(readAnswer(reply, &answer));
    QCOMPARE(answer.result, 0);
    QCOMPARE(answer.command, GetInfo);
    QVERIFY(answer.time.isValid());
    QVERIFY2(answer.time >= before.addSecs(-1) && answer.time <= after.addSecs(1),
        qPrintable(answer.time.toString(Qt::ISODateWithMs)));
    QCOMPARE(
        answer.values, (QVariantList { QStringLiteral("Calculator"), QStringLiteral("calc") }));
}

void tst_Service::getMetaInfo()
{
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    Answer answer;
    QVERIFY(peer.ask(calculatorId, GetMetaInfo, QByteArray(), &answer));
    QCOMPARE(answer.result, 0);
    QCOMPARE(answer.command, GetMetaInfo);
    QCOMPARE(answer.values.size(), 1);
    QCOMPARE(answer.values.at(0).userType(), int(QMetaType::QStringList));
    const QStringList records = answer.values.at(0).toStringList();
    const QStringList expected {
        QStringLiteral("Calculator"),
        QStringLiteral("Signal void changed(int)"),
        QStringLiteral("Slot void reset()"),
        QStringLiteral("Signal void renamed(QString,QString)"),
        QStringLiteral("Signal void pointerSignal(QObject*)"),
        QStringLiteral("Signal void sent(QVariant)"),
        QStringLiteral("Slot void setValue(int)"),
        QStringLiteral("Slot void rename(QString,QString)"),
        QStringLiteral("Method int add(int,int)"),
        QStringLiteral("Method double add(double,double)"),
        QStringLiteral("Method QString greet(QString)"),
        QStringLiteral("Method int count(QStringList)"),
        QStringLiteral("Method QVariant echo(QVariant)"),
        QStringLiteral("Method QObject* self()"),
        QStringLiteral("Method QString typed(bool,uint,float,qlonglong)"),
    };
    QCOMPARE(records, expected);
    for (const QString &record : records) {
        QVERIFY2(!record.contains(QLatin1String("deleteLater"))
                && !record.contains(QLatin1String("destroyed"))
                && !record.contains(QLatin1String("objectNameChanged")),
            qPrintable(record));
    }
}

void tst_Service::invoke_data()
{
    QTest::addColumn<QVariantList>("request");
    QTest::addColumn<QVariant>("result");
    QTest::addColumn<bool>("tls");

    const QVariant intHolder(QVariant::Int);
    const QVariant voidHolder(QStringLiteral("void"));
    QTest::newRow("int overload") << QVariantList { intHolder, QStringLiteral("add(int,int)"), 2,
        3 } << QVariant(5) << false;
    QTest::newRow("double overload") << QVariantList { QVariant(QVariant::Double),
        QStringLiteral("add(double,double)"), 1.25, 1.5 }
                                     << QVariant(2.75) << false;
    QTest::newRow("arguments converted")
        << QVariantList { intHolder, QStringLiteral("add(int,int)"), QStringLiteral("40"), 2.0 }
        << QVariant(42) << false;
    QTest::newRow("signature with spaces")
        << QVariantList { intHolder, QStringLiteral("add( int , int )"), 1, 1 } << QVariant(2)
        << false;
    QTest::newRow("signature as bytes")
        << QVariantList { intHolder, QByteArrayLiteral("add(int,int)"), 1, 2 } << QVariant(3)
        << false;
    QTest::newRow("string result") << QVariantList { QVariant(QVariant::String),
        QStringLiteral("greet(QString)"), QStringLiteral("Ann") }
                                   << QVariant(QStringLiteral("Hello, Ann")) << false;
    QTest::newRow("container argument")
        << QVariantList { intHolder, QStringLiteral("count(QStringList)"),
               QStringList { QStringLiteral("a"), QStringLiteral("b") } }
        << QVariant(2) << false;
    QTest::newRow("variant in and out")
        << QVariantList { QVariant(), QStringLiteral("echo(QVariant)"),
               QVariantList { 1, QStringLiteral("x") } }
        << QVariant(QVariantList { 1, QStringLiteral("x") }) << false;
    QTest::newRow("void slot") << QVariantList { voidHolder, QStringLiteral("setValue(int)"), 9 }
                               << QVariant() << false;
    QTest::newRow("slot of a base class")
        << QVariantList { voidHolder, QStringLiteral("reset()") } << QVariant() << false;
    const QVariant stringHolder(QVariant::String);
    QTest::newRow("number to text")
        << QVariantList { stringHolder, QStringLiteral("greet(QString)"), 5 }
        << QVariant(QStringLiteral("Hello, 5")) << false;
    QTest::newRow("lossless conversions")
        << QVariantList { stringHolder, QStringLiteral("typed(bool,uint,float,qlonglong)"),
               QStringLiteral("true"), 7.0, 0.25, QStringLiteral("9007199254740993") }
        << QVariant(QStringLiteral("true 7 0.25 9007199254740993")) << false;
    QTest::newRow("bool from a number, float rounded")
        << QVariantList { stringHolder, QStringLiteral("typed(bool,uint,float,qlonglong)"), 0,
               QStringLiteral("4294967295"), 0.1, -5 }
        << QVariant(QStringLiteral("false 4294967295 %1 -5").arg(double(0.1f))) << false;
    QTest::newRow("infinity for float") << QVariantList { stringHolder,
        QStringLiteral("typed(bool,uint,float,qlonglong)"), true, 1, qInf(), 0 }
                                        << QVariant(QStringLiteral("true 1 inf 0")) << false;
    QTest::newRow("null flag set")
        << QVariantList { stringHolder, QStringLiteral("greet(QString)"), QVariant(QVariant::Int) }
        << QVariant(QStringLiteral("Hello, 0")) << false;
    // Both ways larger than what a TLS link's worker reads ahead, and than the system takes at
    // once.
    const QString text(1536 * 1024, QLatin1Char('t'));
    QTest::newRow("long text both ways over tls")
        << QVariantList { QVariant(QVariant::String), QStringLiteral("greet(QString)"), text }
        << QVariant(QStringLiteral("Hello, ") + text) << true;
}

void tst_Service::invoke()
{
    QFETCH(QVariantList, request);
    QFETCH(QVariant, result);
    QFETCH(bool, tls);

    Peer peer;
    if (tls) {
        const QString made = testCertificates();
        QVERIFY(service->setTlsCertificate(made + "service.pem", made + "service.key"));
        QVERIFY2(service->listen("tls://127.0.0.1:0"), qPrintable(service->errorString()));
        QVERIFY(peer.connection.setTlsCaFile(made + "ca.pem"));
    }
    QVERIFY(peer.connectTo(*service));
    Answer answer;
    QVERIFY(peer.invoke(calculatorId, request, &answer));
    QCOMPARE(answer.result, 0);
    QCOMPARE(answer.command, Invoke);
    QCOMPARE(answer.values.size(), 2);
    QCOMPARE(answer.values.at(0), QVariant(true));
    QCOMPARE(answer.values.at(1), result);
    QCOMPARE(answer.values.at(1).userType(), result.userType());
    QCOMPARE(calculator->calls + calculator->resets, 1);

    // Again, with the method now among those the service has resolved before.
    Answer again;
    QVERIFY(peer.invoke(calculatorId, request, &again));
    QCOMPARE(again.result, 0);
    QCOMPARE(again.values, answer.values);
    QCOMPARE(calculator->calls + calculator->resets, 2);
}

void tst_Service::invokeRefused_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("warning");

    const QVariant holder(QVariant::Int);
    const QVariant voidHolder(QStringLiteral("void"));
    auto call = [&](const char *signature, const QVariantList &arguments = QVariantList()) {
        return valueListText(
            QVariantList { voidHolder, QString::fromLatin1(signature) } + arguments);
    };

    QTest::newRow("unknown method") << call("nosuch()") << 2 << QByteArray();
    QTest::newRow("QObject's deleteLater()") << call("deleteLater()") << 2 << QByteArray();
    QTest::newRow("QObject's destroyed()") << call("destroyed()") << 2 << QByteArray();
    QTest::newRow("a signal") << call("changed(int)", { 1 }) << 2 << QByteArray();
    QTest::newRow("protected slot") << call("protectedSlot()") << 2 << QByteArray();
    QTest::newRow("private slot") << call("privateSlot()") << 2 << QByteArray();
    QTest::newRow("private invokable") << call("privateMethod()") << 2 << QByteArray();
    QTest::newRow("member outside the meta-object") << call("plainMethod()") << 2 << QByteArray();
    QTest::newRow("no such overload")
        << call("add(QString,QString)", { QStringLiteral("a"), QStringLiteral("b") }) << 2
        << QByteArray();
    auto lossy
        = [](int position, const char *method, const char *from, const char *to) -> QByteArray {
        return QByteArray("RemotoService: argument ") + QByteArray::number(position) + " of "
            + method + ", a " + from + ", does not convert to " + to
            + " without loss; call refused";
    };
    QTest::newRow("unconvertible argument") << call("add(int,int)", { QStringLiteral("abc"), 1 })
                                            << 4 << lossy(1, "add(int,int)", "QString", "int");
    QTest::newRow("text with junk for int") << call("add(int,int)", { 1, QStringLiteral("3x") })
                                            << 4 << lossy(2, "add(int,int)", "QString", "int");
    QTest::newRow("empty text for int") << call("add(int,int)", { QString(""), 1 }) << 4
                                        << lossy(1, "add(int,int)", "QString", "int");
    QTest::newRow("beyond int") << call("add(int,int)", { qint64(1) << 31, 1 }) << 4
                                << lossy(1, "add(int,int)", "qlonglong", "int");
    QTest::newRow("2^40 for int") << call("add(int,int)", { 1, qint64(1) << 40 }) << 4
                                  << lossy(2, "add(int,int)", "qlonglong", "int");
    QTest::newRow("1e300 for int")
        << call("add(int,int)", { 1e300, 1 }) << 4 << lossy(1, "add(int,int)", "double", "int");
    QTest::newRow("fraction for int")
        << call("add(int,int)", { 1.5, 1 }) << 4 << lossy(1, "add(int,int)", "double", "int");
    const char *typed = "typed(bool,uint,float,qlonglong)";
    QTest::newRow("negative for uint")
        << call(typed, { true, -1, 0.5, 0 }) << 4 << lossy(2, typed, "int", "uint");
    QTest::newRow("2 for bool") << call(typed, { 2, 1, 0.5, 0 }) << 4
                                << lossy(1, typed, "int", "bool");
    QTest::newRow("double beyond float")
        << call(typed, { true, 1, 1e300, 0 }) << 4 << lossy(3, typed, "double", "float");
    QTest::newRow("double beyond qlonglong")
        << call(typed, { true, 1, 0.5, 9.3e18 }) << 4 << lossy(4, typed, "double", "qlonglong");
    QTest::newRow("text rounded to a double for qlonglong")
        << call(typed, { true, 1, 0.5, QStringLiteral("9007199254740993.0") }) << 4
        << lossy(4, typed, "QString", "qlonglong");
    QTest::newRow("invalid UTF-8 for text") << call("greet(QString)",
        { QByteArray("\xff\xfe") }) << 4 << lossy(1, "greet(QString)", "QByteArray", "QString");
    QTest::newRow("missing argument") << call("add(int,int)", { 1 }) << 4 << QByteArray();
    QTest::newRow("extra argument") << call("add(int,int)", { 1, 2, 3 }) << 4 << QByteArray();
    QTest::newRow("signature not text")
        << valueListText(QVariantList { holder, 42, 1, 2 }) << 4 << QByteArray();
    QTest::newRow("no signature") << valueListText(QVariantList { holder }) << 4 << QByteArray();
    QTest::newRow("empty list") << valueListText(QVariantList()) << 4 << QByteArray();
    QTest::newRow("empty payload") << QByteArray() << 4 << QByteArray();
    QTest::newRow("not Base64") << QByteArrayLiteral("@@@@") << 4 << QByteArray();
    QTest::newRow("truncated value list")
        << rawValueList(QVariantList { voidHolder, QStringLiteral("setValue(int)"), 1 })
               .chopped(3)
               .toBase64()
        << 4 << QByteArray();
    QTest::newRow("item count beyond the bytes")
        << QByteArray::fromHex("7ffffff0 00000002 00 00000001").toBase64() << 4 << QByteArray();
    QVariant nested(1);
    for (int i = 0; i < 100; ++i)
        nested = QVariantList { nested };
    QTest::newRow("nesting too deep") << call("echo(QVariant)", { nested }) << 4 << QByteArray();
    QTest::newRow("value type outside the accepted set")
        << call("echo(QVariant)", { QVariant::fromValue(QEasingCurve(QEasingCurve::InOutQuad)) })
        << 4 << QByteArray();
    QTest::newRow("return type that cannot be sent") << call("self()") << 1 << QByteArray();
    QTest::newRow("return type spelt with a space") << call("narrow()") << 2 << QByteArray();
    QTest::newRow("signature spelt with a space")
        << call("tally(QMap<QString,QList<int> >)", { QVariantMap() }) << 2 << QByteArray();
    // Qt's parsers would overflow the stack on the second.
    QTest::newRow("signature too long") << call(
        qPrintable(QStringLiteral("add(int,%1int)").arg(QString(1100, QLatin1Char(' ')))), { 1, 2 })
                                        << 2 << QByteArray();
    QTest::newRow("signature too deep") << call(qPrintable(
        QStringLiteral("add(%1int%2)")
            .arg(QStringLiteral("a<").repeated(100000), QString(100000, QLatin1Char('>')))))
                                        << 2 << QByteArray();
}

void tst_Service::invokeRefused()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, result);
    QFETCH(QByteArray, warning);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, warning.constData());
    QPointer<Calculator> watched(calculator.get());
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    Answer answer;
    QVERIFY(peer.ask(calculatorId, Invoke, payload, &answer));
    QCOMPARE(answer.result, result);
    QCOMPARE(answer.command, Invoke);
    QCOMPARE(answer.values, QVariantList());

    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(watched);
    QCOMPARE(calculator->calls, 0);
    QCOMPARE(calculator->resets, 0);
}

void tst_Service::unwrappedPayloads_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("result");
    QTest::addColumn<QVariantList>("values");

    QTest::newRow("call") << int(
        Invoke) << rawValueList({ QVariant(QVariant::Int), QStringLiteral("add(int,int)"), 2, 3 })
                          << 0 << QVariantList { true, 5 };
    QTest::newRow("unreadable call") << int(Invoke) << QByteArray(8, '\xff') << 4 << QVariantList();
    QTest::newRow("subscription") << int(SigConnect) << QByteArrayLiteral("changed(int)") << 0
                                  << QVariantList { true };
}

void tst_Service::unwrappedPayloads()
{
    QFETCH(int, command);
    QFETCH(QByteArray, bytes);
    QFETCH(int, result);
    QFETCH(QVariantList, values);

    Peer peer;
    QVERIFY(peer.connectTo(*service));
    QVERIFY(QTest::qWaitFor([&] { return peer.announcementsEnded > 0; }, 10000));
    Message reply;
    QVERIFY(peer.replyTo(peer.sendUnwrapped(calculatorId, command, bytes), &reply));
    Answer answer;
    QVERIFY(readAnswer(reply, &answer));
    QCOMPARE(answer.result, result);
    QCOMPARE(answer.command, command);
    QCOMPARE(answer.values, values);
}

void tst_Service::invokeDestroyingObject()
{
    auto fragile = new Fragile;
    QVERIFY(service->publish(QStringLiteral("fragile"), fragile));
    const quint32 id = service->objectId(QStringLiteral("fragile"));
    Peer peer;
    QVERIFY(peer.connectTo(*service));

    Answer answer;
    QVERIFY(peer.invoke(id, { QStringLiteral("void"), QStringLiteral("destroySelf()") }, &answer));
    QCOMPARE(answer.result, 0);
    QCOMPARE(answer.values, (QVariantList { true, QVariant() }));
    QCOMPARE(peer.received.at(peer.received.size() - 2).kind, int(Velmor::Command::ObjectDown));
    QVERIFY(peer.waitForKind(Velmor::Command::ObjectDown));
    QCOMPARE(peer.messagesOfKind(Velmor::Command::ObjectDown).at(0).objectId, id);
    QCOMPARE(service->objectId(QStringLiteral("fragile")), 0u);
}

void tst_Service::unknownObject_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("GETINFO") << GetInfo << QByteArray();
    QTest::newRow("GETMETAINFO") << GetMetaInfo << QByteArray();
    QTest::newRow("INVOKE") << Invoke
                            << valueListText({ QStringLiteral("void"), QStringLiteral("reset()") });
    QTest::newRow("SIGCONNECT") << SigConnect << QByteArrayLiteral("changed(int)").toBase64();
}

void tst_Service::unknownObject()
{
    QFETCH(int, command);
    QFETCH(QByteArray, payload);

    Peer peer;
    QVERIFY(peer.connectTo(*service));
    const quint32 unknownId = calculatorId + 1000;
    const quint32 uid = peer.send(unknownId, command, payload);
    Message reply;
    QVERIFY(peer.replyTo(uid, &reply));
    QCOMPARE(reply.objectId, unknownId);
    Answer answer;
    QVERIFY(readAnswer(reply, &answer));
    QCOMPARE(answer.result, 3);
    QCOMPARE(answer.command, command);
    QCOMPARE(calculator->resets, 0);
}

void tst_Service::unknownCommand()
{
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    Answer answer;
    QVERIFY(peer.ask(calculatorId, 0x1199, QByteArray(), &answer));
    QCOMPARE(answer.result, 2);
    QCOMPARE(answer.command, 0x1199);
}

void tst_Service::setEventUnanswered()
{
    QSignalSpy masks(service.get(), &RemotoService::eventMaskReceived);
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    QByteArray mask(255, '\0');
    mask[0] = 2;
    const quint32 eventUid = peer.send(calculatorId, SetEvent, mask);
    const quint32 unknownEventUid = peer.send(calculatorId + 1000, SetEvent, mask);
    Answer answer;
    QVERIFY(peer.ask(calculatorId, GetInfo, QByteArray(), &answer));

    // Replies come in request order, so one for either SET_EVENT would be here by now.
    for (const Message &message : qAsConst(peer.received)) {
        QVERIFY(message.requestUid != eventUid);
        QVERIFY(message.requestUid != unknownEventUid);
    }
    QCOMPARE(masks.size(), 1);
    QCOMPARE(masks.at(0).at(0).toUInt(), calculatorId);
    QCOMPARE(masks.at(0).at(1).toByteArray(), mask);
}

void tst_Service::signalRelay_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QVariantList>("trigger");
    QTest::addColumn<QVariantList>("notification");

    QTest::newRow("int argument") << QByteArrayLiteral("changed(int)")
                                  << QVariantList { QStringLiteral("void"),
                                         QStringLiteral("setValue(int)"), 7 }
                                  << QVariantList { QVariant(), QStringLiteral("changed(int)"), 7 };
    QTest::newRow("two strings, signature as declared")
        << QByteArrayLiteral("renamed(const QString &, const QString &)")
        << QVariantList { QStringLiteral("void"), QStringLiteral("rename(QString,QString)"),
               QStringLiteral("old"), QStringLiteral("new") }
        << QVariantList { QVariant(), QStringLiteral("renamed(QString,QString)"),
               QStringLiteral("old"), QStringLiteral("new") };
}

void tst_Service::signalRelay()
{
    QFETCH(QByteArray, signature);
    QFETCH(QVariantList, trigger);
    QFETCH(QVariantList, notification);

    Peer peer;
    QVERIFY(peer.connectTo(*service));
    Answer answer;
    for (int i = 0; i < 2; ++i) {
        QVERIFY(peer.ask(calculatorId, SigConnect, signature.toBase64(), &answer));
        QCOMPARE(answer.result, 0);
        QCOMPARE(answer.command, SigConnect);
        QCOMPARE(answer.values, QVariantList { true });
    }

    // The emission happens inside the call, so its notification comes before the answer.
    QVERIFY(peer.invoke(calculatorId, trigger, &answer));
    QCOMPARE(answer.result, 0);
    const QList<Message> notes = peer.messagesOfKind(Velmor::Command::Notify);
    QCOMPARE(notes.size(), 1);
    const Message &note = notes.at(0);
    QCOMPARE(note.objectId, calculatorId);
    QCOMPARE(note.requestUid, 0u);
    QCOMPARE(note.magic, Velmor::Command::Marker);
    QCOMPARE(note.payload.toByteArray(), valueListText(notification));
}

void tst_Service::signalNotOffered_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("result");

    auto text = [](const char *signature) { return QByteArray(signature).toBase64(); };
    QTest::newRow("no such signal") << text("nosuch()") << 0;
    QTest::newRow("QObject's destroyed()") << text("destroyed()") << 0;
    QTest::newRow("QObject's objectNameChanged()") << text("objectNameChanged(QString)") << 0;
    QTest::newRow("a slot") << text("setValue(int)") << 0;
    QTest::newRow("argument that cannot be sent") << text("pointerSignal(QObject*)") << 0;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("not Base64") << QByteArrayLiteral("%%%") << 4;
    QTest::newRow("signature spelt with a space") << text("narrowed(signed char)") << 0;
    const QByteArray tooLong = "changed(" + QByteArray(1100, ' ') + "int)";
    QTest::newRow("signature too long") << tooLong.toBase64() << 0;
    const QByteArray tooDeep
        = "changed(" + QByteArray("a<").repeated(100000) + "int" + QByteArray(100000, '>') + ')';
    QTest::newRow("signature too deep") << tooDeep.toBase64() << 0;
}

void tst_Service::signalNotOffered()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, result);

    Peer peer;
    QVERIFY(peer.connectTo(*service));
    Answer answer;
    QVERIFY(peer.ask(calculatorId, SigConnect, payload, &answer));
    QCOMPARE(answer.result, result);
    QCOMPARE(answer.values, result == 0 ? QVariantList { false } : QVariantList());

    emit calculator->pointerSignal(calculator.get());
    QVERIFY(peer.ask(calculatorId, GetInfo, QByteArray(), &answer));
    QCOMPARE(peer.messagesOfKind(Velmor::Command::Notify).size(), 0);
}

void tst_Service::unsendableEmissionDropped_data()
{
    QTest::addColumn<QString>("loggingRules");
    QTest::addColumn<bool>("warned");

    QTest::newRow("warned") << QString() << true;
    QTest::newRow("service warnings silenced")
        << QStringLiteral("remoto.service.warning=false") << false;
}

void tst_Service::unsendableEmissionDropped()
{
    QFETCH(QString, loggingRules);
    QFETCH(bool, warned);

    QLoggingCategory::setFilterRules(loggingRules);
    const auto restoreRules = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    MessageLog log;
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    Answer answer;
    QVERIFY(peer.ask(
        calculatorId, SigConnect, QByteArrayLiteral("sent(QVariant)").toBase64(), &answer));
    QCOMPARE(answer.values, QVariantList { true });

    if (warned) {
        const QString dropped = QStringLiteral(
            "RemotoService: the arguments of sent(QVariant) cannot be sent; emission not relayed");
        log.expect(QtWarningMsg, dropped);
        log.expect(QtWarningMsg, dropped);
    }
    QVariant pointer = QVariant::fromValue<QObject *>(calculator.get());
    emit calculator->sent(pointer);
    emit calculator->sent(QVariant(QMetaType::QVariant, &pointer));
    emit calculator->sent(QVariant(5));
    QVERIFY(peer.waitForKind(Velmor::Command::Notify));
    QVERIFY(peer.ask(calculatorId, GetInfo, QByteArray(), &answer));
    const QList<Message> notes = peer.messagesOfKind(Velmor::Command::Notify);
    QCOMPARE(notes.size(), 1);
    QCOMPARE(notes.at(0).payload.toByteArray(),
        valueListText({ QVariant(), QStringLiteral("sent(QVariant)"), 5 }));
    QCOMPARE(log.warnings, log.expected);
}

void tst_Service::relayOnlyToSubscriber()
{
    Peer subscriber;
    Peer bystander;
    QVERIFY(subscriber.connectTo(*service));
    QVERIFY(bystander.connectTo(*service));
    Answer answer;
    QVERIFY(subscriber.ask(
        calculatorId, SigConnect, QByteArrayLiteral("changed(int)").toBase64(), &answer));
    QCOMPARE(answer.values, QVariantList { true });

    calculator->setValue(3);
    QVERIFY(subscriber.waitForKind(Velmor::Command::Notify));
    QVERIFY(bystander.ask(calculatorId, GetInfo, QByteArray(), &answer));
    QCOMPARE(bystander.messagesOfKind(Velmor::Command::Notify).size(), 0);
}

void tst_Service::emissionsFromOtherThreads()
{
    constexpr int Rounds = 10;
    constexpr int PerRound = 200;
    const QByteArray signature = QByteArrayLiteral("changed(int)").toBase64();
    Peer subscriber;
    Peer churner;
    QVERIFY(subscriber.connectTo(*service));
    QVERIFY(churner.connectTo(*service));
    Answer answer;
    QVERIFY(subscriber.ask(calculatorId, SigConnect, signature, &answer));
    QCOMPARE(answer.values, QVariantList { true });

    // Each round lets the worker emit while the service changes subscriptions to that signal.
    QSemaphore rounds;
    Calculator *source = calculator.get();
    std::unique_ptr<QThread> worker(QThread::create([&rounds, source] {
        for (int i = 0; i < Rounds * PerRound; ++i) {
            if (i % PerRound == 0)
                rounds.acquire();
            emit source->changed(i);
        }
    }));
    worker->start();
    // A failed check must not leave the worker waiting, or emitting from a deleted object.
    const auto joinWorker = qScopeGuard([&] {
        rounds.release(Rounds);
        worker->wait();
    });
    for (int round = 0; round < Rounds; ++round) {
        rounds.release();
        QVERIFY(churner.ask(calculatorId, SigConnect, signature, &answer));
        QVERIFY(churner.ask(calculatorId, SigDisconnect, signature, &answer));
    }
    QVERIFY(worker->wait(10000));
    QVERIFY(subscriber.waitForKind(Velmor::Command::Notify, Rounds * PerRound));
    const QList<Message> notes = subscriber.messagesOfKind(Velmor::Command::Notify);
    QCOMPARE(notes.size(), Rounds * PerRound);
    for (int i = 0; i < notes.size(); ++i) {
        QCOMPARE(notes.at(i).payload.toByteArray(),
            valueListText({ QVariant(), QStringLiteral("changed(int)"), i }));
    }

    // Withdrawn while a thread emits: nothing reaches the client after ObjectDown.
    QAtomicInt stop;
    std::unique_ptr<QThread> emitter(QThread::create([&stop, source] {
        for (int i = 0; !stop.loadAcquire(); ++i) {
            emit source->changed(-i);
            QThread::usleep(10);
        }
    }));
    emitter->start();
    const auto joinEmitter = qScopeGuard([&] {
        stop.storeRelease(1);
        emitter->wait();
    });
    QVERIFY(subscriber.waitForKind(Velmor::Command::Notify, notes.size() + 1));
    QVERIFY(service->withdraw(QStringLiteral("calc")));
    stop.storeRelease(1);
    QVERIFY(emitter->wait(10000));
    QVERIFY(subscriber.waitForKind(Velmor::Command::ObjectDown));
    QVERIFY(subscriber.ask(calculatorId, GetInfo, QByteArray(), &answer));
    QCOMPARE(subscriber.received.last().kind, int(Velmor::Command::Answer));
    QCOMPARE(subscriber.received.at(subscriber.received.size() - 2).kind,
        int(Velmor::Command::ObjectDown));
}

void tst_Service::sigDisconnectStopsRelay()
{
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    const QByteArray signature = QByteArrayLiteral("changed(int)").toBase64();
    Answer answer;
    QVERIFY(peer.ask(calculatorId, SigConnect, signature, &answer));
    QCOMPARE(answer.values, QVariantList { true });
    QVERIFY(peer.ask(calculatorId, SigDisconnect, signature, &answer));
    QCOMPARE(answer.values, QVariantList { true });
    QVERIFY(peer.ask(calculatorId, SigDisconnect, signature, &answer));
    QCOMPARE(answer.values, QVariantList { false });

    calculator->setValue(4);
    QVERIFY(peer.ask(calculatorId, GetInfo, QByteArray(), &answer));
    QCOMPARE(peer.messagesOfKind(Velmor::Command::Notify).size(), 0);
}

void tst_Service::withdrawAndRepublish()
{
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    Answer answer;
    QVERIFY(
        peer.ask(calculatorId, SigConnect, QByteArrayLiteral("changed(int)").toBase64(), &answer));

    QVERIFY(service->withdraw(QStringLiteral("calc")));
    QVERIFY(!service->withdraw(QStringLiteral("calc")));
    QVERIFY(peer.waitForKind(Velmor::Command::ObjectDown));
    const Message down = peer.messagesOfKind(Velmor::Command::ObjectDown).at(0);
    QCOMPARE(down.objectId, calculatorId);
    QCOMPARE(down.requestUid, 0u);
    QCOMPARE(down.magic, Velmor::Command::Marker);

    calculator->setValue(1);
    QVERIFY(peer.ask(calculatorId, GetInfo, QByteArray(), &answer));
    QCOMPARE(answer.result, 3);
    QCOMPARE(peer.messagesOfKind(Velmor::Command::Notify).size(), 0);

    QVERIFY(service->publish(QStringLiteral("calc"), calculator.get()));
    const quint32 newId = service->objectId(QStringLiteral("calc"));
    QVERIFY(newId != calculatorId);
    QVERIFY(peer.waitForKind(Velmor::Command::ObjectUp, 2));
    QCOMPARE(peer.messagesOfKind(Velmor::Command::ObjectUp).last().objectId, newId);
    QVERIFY(peer.ask(newId, GetInfo, QByteArray(), &answer));
    QCOMPARE(answer.result, 0);
    QVERIFY(peer.ask(calculatorId, GetInfo, QByteArray(), &answer));
    QCOMPARE(answer.result, 3);

    // The relay did not survive the withdrawal: a new subscription is needed.
    calculator->setValue(2);
    QVERIFY(peer.ask(newId, GetInfo, QByteArray(), &answer));
    QCOMPARE(peer.messagesOfKind(Velmor::Command::Notify).size(), 0);
}

void tst_Service::destroyedObjectWithdrawn()
{
    auto doomed = new Calculator;
    QVERIFY(service->publish(QStringLiteral("doomed"), doomed));
    const quint32 id = service->objectId(QStringLiteral("doomed"));
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    Answer answer;
    QVERIFY(peer.ask(id, SigConnect, QByteArrayLiteral("changed(int)").toBase64(), &answer));

    delete doomed;
    QVERIFY(peer.waitForKind(Velmor::Command::ObjectDown));
    QCOMPARE(peer.messagesOfKind(Velmor::Command::ObjectDown).at(0).objectId, id);
    QCOMPARE(service->publishedNames(), QStringList { QStringLiteral("calc") });
    QVERIFY(peer.ask(id, GetInfo, QByteArray(), &answer));
    QCOMPARE(answer.result, 3);
}

void tst_Service::publishRefusals()
{
    QObject other;
    QVERIFY(!service->publish(QString(), &other));
    QVERIFY(!service->publish(QStringLiteral("other"), nullptr));
    QVERIFY(!service->publish(QStringLiteral("calc"), &other));
    QVERIFY(!service->publish(QStringLiteral("again"), calculator.get()));

    QThread thread;
    QObject elsewhere;
    elsewhere.moveToThread(&thread);
    QVERIFY(!service->publish(QStringLiteral("elsewhere"), &elsewhere));

    QVERIFY(!service->withdraw(QStringLiteral("other")));
    QCOMPARE(service->objectId(QStringLiteral("other")), 0u);
    QCOMPARE(service->publishedNames(), QStringList { QStringLiteral("calc") });
}

void tst_Service::defaultClientLimit_data()
{
    QTest::addColumn<int>("softLimit");
    QTest::addColumn<int>("clients");
    QTest::newRow("Debian's default leaves room for the service's own files") << 1024 << 960;
    QTest::newRow("a raised limit holds a thousand hosts") << 4096 << 4032;
    QTest::newRow("a small limit is shared half and half") << 100 << 50;
}

void tst_Service::defaultClientLimit()
{
#ifdef Q_OS_UNIX
    QFETCH(int, softLimit);
    QFETCH(int, clients);
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < rlim_t(softLimit))
        QSKIP("the hard limit on open files is lower than this row needs");
    rlimit lowered = saved;
    lowered.rlim_cur = rlim_t(softLimit);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const auto restore = qScopeGuard([&saved] { setrlimit(RLIMIT_NOFILE, &saved); });
    QCOMPARE(RemotoService().maxClients(), clients);
#else
    QSKIP("no limit on open files here");
#endif
}

void tst_Service::listenAddresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("listens");
    QTest::addColumn<QString>("hostTaken");
    // What the service has for TLS: nothing, a certificate, or a client CA as well.
    QTest::addColumn<QString>("tls");
    // Part of why it does not listen.
    QTest::addColumn<QString>("error");

    QTest::newRow("loopback by default")
        << "tcp://:0" << true << "127.0.0.1" << QString() << QString();
    QTest::newRow("localhost") << "tcp://localhost:0" << true << "127.0.0.1" << QString()
                               << QString();
    QTest::newRow("IPv4 address") << "tcp://127.0.0.1:0" << true << "127.0.0.1" << QString()
                                  << QString();
    QTest::newRow("host name") << "tcp://example.invalid:0" << false << QString() << QString()
                               << "not an IP address";
    QTest::newRow("no port") << "tcp://127.0.0.1" << false << QString() << QString()
                             << "not a service address";
    QTest::newRow("no form") << "svc" << false << QString() << QString() << "not a service address";
    QTest::newRow("beyond loopback in clear text")
        << "tcp://0.0.0.0:0" << false << QString() << QString() << "listen on tls://0.0.0.0:0";
    QTest::newRow("tls") << "tls://127.0.0.1:0" << true << "127.0.0.1"
                         << "certificate" << QString();
    QTest::newRow("tls without certificate")
        << "tls://127.0.0.1:0" << false << QString() << QString() << "needs a certificate";
    QTest::newRow("tls beyond loopback without client CA")
        << "tls://0.0.0.0:0" << false << QString() << "certificate"
        << "nor a client CA";
    QTest::newRow("tls beyond loopback with client CA") << "tls://0.0.0.0:0" << true << "0.0.0.0"
                                                        << "client CA" << QString();
}

void tst_Service::listenAddresses()
{
    QFETCH(QString, address);
    QFETCH(bool, listens);
    QFETCH(QString, hostTaken);
    QFETCH(QString, tls);
    QFETCH(QString, error);

    RemotoService other;
    Peer peer;
    const QString made = tls.isEmpty() ? QString() : testCertificates();
    if (!tls.isEmpty()) {
        QVERIFY(other.setTlsCertificate(made + "service.pem", made + "service.key"));
        QVERIFY(peer.connection.setTlsCaFile(made + "ca.pem"));
    }
    if (tls == QLatin1String("client CA")) {
        QVERIFY(other.setTlsClientCa(made + "ca.pem"));
        QVERIFY(peer.connection.setTlsClientCertificate(made + "client.pem", made + "client.key"));
    }
    QCOMPARE(other.listen(address), listens);
    QCOMPARE(other.isListening(), listens);
    if (!listens) {
        QVERIFY2(other.errorString().contains(error), qPrintable(other.errorString()));
        QCOMPARE(other.address(), QString());
        return;
    }
    QUrl taken(other.address());
    QCOMPARE(taken.host(), hostTaken);
    QVERIFY(taken.port() > 0);
    // The certificate names loopback, which is where any address of this machine leads.
    taken.setHost(QStringLiteral("127.0.0.1"));
    QVERIFY(peer.connection.connectToService(taken.toString()));
    QTRY_COMPARE_WITH_TIMEOUT(peer.connection.state(), Velmor::Connection::Connected, 10000);
    other.close();
    QVERIFY(!other.isListening());
    QTRY_COMPARE_WITH_TIMEOUT(peer.connection.state(), Velmor::Connection::ConnectionLost, 10000);
}

void tst_Service::listenReplacesOnlyDeadSocket()
{
    // A live service keeps its name.
    const QString taken = service->address();
    RemotoService rival;
    QVERIFY(!rival.listen(taken));
    Peer peer;
    QVERIFY(peer.connectTo(*service));

    // A socket file nobody answers on, as a crashed service leaves behind, is replaced. Moved
    // aside before its server closes, the file stays behind with nobody answering on it.
    const QString name = uniqueSocketName();
    QLocalServer stale;
    QVERIFY(stale.listen(uniqueSocketName()));
    const QString path
        = QFileInfo(stale.fullServerName()).absolutePath() + QLatin1Char('/') + name;
    QVERIFY(QFile::rename(stale.fullServerName(), path));
    stale.close();
    QVERIFY(QFile::exists(path));
    QVERIFY2(rival.listen(QStringLiteral("local:") + name), qPrintable(rival.errorString()));
    Peer second;
    QVERIFY(second.connectTo(rival));
}

void tst_Service::accessToken_data()
{
    QTest::addColumn<QByteArray>("serviceToken");
    QTest::addColumn<QByteArray>("clientToken");
    QTest::addColumn<bool>("admitted");
    // Empty on a local socket; else on TLS, where the service asks for client certificates
    // and the client shows the one named, when it is "client" (issued by the CA the service
    // trusts) or "intruder" (issued by another).
    QTest::addColumn<QString>("tls");

    QTest::newRow("right token") << QByteArrayLiteral("s3cret") << QByteArrayLiteral("s3cret")
                                 << true << QString();
    QTest::newRow("wrong token") << QByteArrayLiteral("s3cret") << QByteArrayLiteral("s3creT")
                                 << false << QString();
    QTest::newRow("longer token") << QByteArrayLiteral("s3cret") << QByteArrayLiteral("s3cret!")
                                  << false << QString();
    QTest::newRow("missing token")
        << QByteArrayLiteral("s3cret") << QByteArray() << false << QString();
    QTest::newRow("service without token")
        << QByteArray() << QByteArrayLiteral("anything") << true << QString();
    QTest::newRow("right token over tls")
        << QByteArrayLiteral("s3cret") << QByteArrayLiteral("s3cret") << true << "tls";
    QTest::newRow("wrong token over tls")
        << QByteArrayLiteral("s3cret") << QByteArrayLiteral("s3creT") << false << "tls";
    QTest::newRow("client certificate") << QByteArray() << QByteArray() << true << "client";
    QTest::newRow("client certificate of another issuer")
        << QByteArray() << QByteArray() << false << "intruder";
}

void tst_Service::accessToken()
{
    QFETCH(QByteArray, serviceToken);
    QFETCH(QByteArray, clientToken);
    QFETCH(bool, admitted);
    QFETCH(QString, tls);

    QSignalSpy masks(service.get(), &RemotoService::eventMaskReceived);
    QVERIFY(service->setAccessToken(serviceToken));
    Peer peer(clientToken);
    if (!tls.isEmpty()) {
        const QString made = testCertificates();
        QVERIFY(!made.isEmpty());
        QVERIFY(service->setTlsCertificate(made + "service.pem", made + "service.key"));
        if (tls != QLatin1String("tls")) {
            QVERIFY(service->setTlsClientCa(made + "ca.pem"));
            QVERIFY(
                peer.connection.setTlsClientCertificate(made + tls + ".pem", made + "client.key"));
        }
        QVERIFY2(service->listen("tls://127.0.0.1:0"), qPrintable(service->errorString()));
        QVERIFY(peer.connection.setTlsCaFile(made + "ca.pem"));
    }
    if (tls == QLatin1String("intruder")) {
        // Refused in the handshake, which the client may still have taken for done.
        QSignalSpy errors(&peer.connection, &SocketConnection::errorOccurred);
        QVERIFY(peer.connection.connectToService(service->address()));
        QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(service->clientCount(), 0, 10000);
        QCOMPARE(peer.messagesOfKind(Velmor::Command::ObjectUp).size(), 0);
        return;
    }
    QVERIFY(peer.connectTo(*service));

    if (admitted) {
        QVERIFY(peer.waitForKind(Velmor::Command::ObjectUp));
        Answer answer;
        QVERIFY(peer.ask(calculatorId, GetInfo, QByteArray(), &answer));
        QCOMPARE(answer.result, 0);
        return;
    }

    const quint32 eventUid = peer.send(calculatorId, SetEvent, QByteArray(4, '\x02'));
    const quint32 infoUid = peer.send(calculatorId, GetInfo);
    Message reply;
    QVERIFY(peer.replyTo(infoUid, &reply));
    QCOMPARE(reply.kind, int(Velmor::Command::Refused));
    QCOMPARE(reply.objectId, calculatorId);
    QCOMPARE(reply.magic, Velmor::Command::Marker);
    QCOMPARE(reply.payload.toByteArray(), QByteArray());
    QVERIFY(peer.replyTo(eventUid, &reply));
    QCOMPARE(reply.kind, int(Velmor::Command::Refused));
    QCOMPARE(peer.messagesOfKind(Velmor::Command::ObjectUp).size(), 0);
    QCOMPARE(peer.announcementsEnded, 0);
    QCOMPARE(masks.size(), 0);

    // Publishing later does not announce to it either.
    QObject later;
    QVERIFY(service->publish(QStringLiteral("later"), &later));
    QVERIFY(peer.replyTo(peer.send(calculatorId, GetMetaInfo), &reply));
    QCOMPARE(reply.kind, int(Velmor::Command::Refused));
    QCOMPARE(peer.messagesOfKind(Velmor::Command::ObjectUp).size(), 0);
}

void tst_Service::wrongMarkerRefused()
{
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    Message reply;
    QVERIFY(peer.replyTo(peer.send(calculatorId, GetInfo, QByteArray(), 0x12345678), &reply));
    QCOMPARE(reply.kind, int(Velmor::Command::Refused));
    QCOMPARE(reply.objectId, calculatorId);
}

void tst_Service::garbageDoesNotDisturbOthers()
{
    Peer peer;
    QVERIFY(peer.connectTo(*service));
    QSignalSpy states(&peer.connection, &SocketConnection::stateChanged);
    Answer answer;
    QVERIFY(
        peer.ask(calculatorId, SigConnect, QByteArrayLiteral("changed(int)").toBase64(), &answer));

    QLocalSocket intruder;
    intruder.connectToServer(service->address().mid(int(qstrlen("local:"))));
    QVERIFY(intruder.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(service->clientCount(), 2, 10000);
    intruder.write(
        QByteArray::fromHex("00000018 01 02 0000") + QByteArray(8, '\0') + QByteArray(64, '\xee'));
    QTRY_COMPARE_WITH_TIMEOUT(intruder.state(), QLocalSocket::UnconnectedState, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(service->clientCount(), 1, 10000);

    calculator->setValue(5);
    QVERIFY(peer.waitForKind(Velmor::Command::Notify));
    QVERIFY(peer.ask(calculatorId, GetInfo, QByteArray(), &answer));
    QCOMPARE(answer.result, 0);
    QCOMPARE(peer.connection.state(), Velmor::Connection::Connected);
    QCOMPARE(states.size(), 0);
}

QTEST_MAIN(tst_Service)
#include "tst_service.moc"
