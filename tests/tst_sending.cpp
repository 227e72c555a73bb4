#include "commandcatalogue.h"
#include "fakeremote.h"
#include "messagelog.h"
#include "remotoobject.h"
#include "remotoplugin.h"
#include "remotopluginprivate.h"
#include "remotoresponse.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

#include <limits>
#include <memory>

namespace {
constexpr quint32 CounterId = 7;
constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int Invoke = CommandCatalogue::Invoke;
constexpr int SigConnect = CommandCatalogue::SigConnect;
constexpr int SetEvent = CommandCatalogue::SetEvent;
constexpr int Marker = 0x29111993;

// What one emission of `request` carried, read while the request still exists.
struct Emitted
{
    int sequence;
    int objectId;
    QVariant command;
    QVariant payload;
    int magic;
    quint32 uid;
    const QObject *parent;
    // What the entry's pending table held under the request's uid at that moment.
    RemotoResponse *pending;
};

class RequestLog
{
public:
    explicit RequestLog(RemotoPluginPrivate *d)
    {
        connection
            = QObject::connect(d, &RemotoPluginPrivate::request, [this, d](const Request *r) {
                  const quint32 uid = quint32(r->uid());
                  const RpcObjectEntryPtr entry = d->objects.value(quint32(r->objectId()));
                  emitted.append(Emitted { r->sequence(), r->objectId(), r->command(), r->payload(),
                      r->magic(), uid, r->parent(), entry ? entry->pending.value(uid) : nullptr });
              });
    }
    ~RequestLog() { QObject::disconnect(connection); }

    QList<Emitted> emitted;

private:
    QMetaObject::Connection connection;
};

struct Plugin
{
    ~Plugin() { delete plugin; }

    RpcObjectEntryPtr addEntry(quint32 id)
    {
        return d->objects.insert(id);
    }

    RemotoPlugin *plugin = new RemotoPlugin;
    RemotoPluginPrivate *d = plugin->findChild<RemotoPluginPrivate *>();
};

// A plug-in attached to a fake remote side that has published one Counter: the proxy has
// gone through the whole handshake and is connected.
struct Rig : Plugin
{
    Rig()
    {
        plugin->setConnection(&remote);
        proxy = qobject_cast<RemotoObject *>(
            remote.publish(plugin, CounterId, FakeRemote::counter(QStringLiteral("counter"))));
        entry = d->objects.value(CounterId);
        handshakePending = entry->pending.keys();
        remote.requests.clear();
    }

    FakeRemote remote;
    RemotoObject *proxy = nullptr;
    RpcObjectEntryPtr entry;
    // SET_EVENT is never answered, so the handshake leaves its response waiting.
    QList<quint32> handshakePending;
};

// The argument list invoke would send for a call of `signature`.
QByteArray invokePayload(const QString &signature, const QVariantList &args = QVariantList())
{
    QVariantList call { QVariant(QVariant::Int), signature };
    call += args;
    return FakeRemote::encodeValues(call);
}

const QVariant untouched(QStringLiteral("untouched"));

enum Reply { AnswerReply, RefuseReply, RawReply };
} // namespace

Q_DECLARE_METATYPE(Reply)

namespace {
// Has the remote side give the reply the current outcome_data row describes to the request
// sent last, from the event loop while the call waits, and expects the row's warning.
void replyAsRowSays(Rig &rig, MessageLog &log)
{
    QFETCH(Reply, reply);
    QFETCH(QVariantList, values);
    QFETCH(int, result);
    QFETCH(QByteArray, raw);
    QFETCH(QString, warning);

    rig.remote.mode = FakeRemote::Manual;
    QTimer::singleShot(0, rig.plugin, [&rig, reply, values, result, raw] {
        const FakeRemote::SentRequest sent = rig.remote.requests.last();
        if (reply == RefuseReply)
            rig.remote.refuse(sent);
        else if (reply == RawReply)
            rig.remote.send(sent.objectId, Velmor::Command::Answer, raw, sent.uid);
        else
            rig.remote.answer(sent, values, result);
    });
    if (!warning.isEmpty())
        log.expect(QtWarningMsg, warning);
}
} // namespace

class TestSending : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void cleanupTestCase();

    void commandResolution_data();
    void commandResolution();
    void unknownCommandForWaitingSend();
    void requestArguments_data();
    void requestArguments();
    void sequencePerEntry();
    void pendingTable();

    void handshakeCommands();
    void subscriptionPayloads();

    void answerDuringEmission();
    void waitTimesOut();
    void invokeTimesOut();
    void connectTimesOut();
    void outcome_data();
    void invokeOutcome_data() { outcome_data(); }
    void invokeOutcome();
    void connectOutcome_data() { outcome_data(); }
    void connectOutcome();
    void invokeWithoutResultPointer();
    void objectWithoutEntry();
    void nestedWaits_data();
    void nestedWaits();
    void objectDownDuringWait();
};

void TestSending::cleanup()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TestSending::cleanupTestCase()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TestSending::commandResolution_data()
{
    QTest::addColumn<QVariant>("command");
    QTest::addColumn<int>("code");

    QTest::newRow("name") << QVariant(QStringLiteral("INVOKE")) << Invoke;
    QTest::newRow("lower-case name") << QVariant(QStringLiteral("invoke")) << Invoke;
    QTest::newRow("mixed-case name") << QVariant(QStringLiteral("SigConnect")) << SigConnect;
    QTest::newRow("name as bytes") << QVariant(QByteArray("getinfo")) << GetInfo;
    QTest::newRow("name never sent") << QVariant(QStringLiteral("sigdisconnect")) << 4356;
    QTest::newRow("number") << QVariant(4354) << Invoke;
    QTest::newRow("number as text") << QVariant(QStringLiteral("4354")) << Invoke;
    QTest::newRow("number outside the catalogue") << QVariant(9999) << 9999;
    QTest::newRow("number as text outside the catalogue") << QVariant(QStringLiteral("17")) << 17;
    QTest::newRow("answer name") << QVariant(QStringLiteral("INFO")) << -1;
    QTest::newRow("unknown name") << QVariant(QStringLiteral("FROBNICATE")) << -1;
    QTest::newRow("name with a blank") << QVariant(QStringLiteral("INVOKE ")) << -1;
    QTest::newRow("empty name") << QVariant(QString()) << -1;
}

void TestSending::commandResolution()
{
    QFETCH(QVariant, command);
    QFETCH(int, code);

    Plugin p;
    const RpcObjectEntryPtr entry = p.addEntry(3);
    entry->sequence = 41;
    RequestLog log(p.d);

    RemotoResponse *response = p.d->sendCommand(entry, command, QByteArray("x"), true);
    if (code == -1) {
        QVERIFY(!response);
        QVERIFY(log.emitted.isEmpty());
        QCOMPARE(entry->sequence, 41);
        QVERIFY(entry->pending.isEmpty());
        return;
    }
    QVERIFY(response);
    QCOMPARE(log.emitted.size(), 1);
    const Emitted &sent = log.emitted.first();
    QCOMPARE(sent.command.userType(), int(QMetaType::Int));
    QCOMPARE(sent.command.toInt(), code);
    QCOMPARE(sent.sequence, 41);
    QCOMPARE(entry->sequence, 42);
    QCOMPARE(entry->pending.value(sent.uid), response);
}

void TestSending::unknownCommandForWaitingSend()
{
    Plugin p;
    const RpcObjectEntryPtr entry = p.addEntry(3);
    RequestLog log(p.d);

    QVERIFY(!p.d->sendCommandAndWait(entry, QStringLiteral("NOPE"), QByteArray(), true));
    QVERIFY(log.emitted.isEmpty());
    QCOMPARE(entry->sequence, 0);
    QVERIFY(entry->pending.isEmpty());
}

void TestSending::requestArguments_data()
{
    QTest::addColumn<quint32>("objectId");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("encodeBase64");
    QTest::addColumn<QByteArray>("sent");

    const QByteArray binary("\x00\x01hello\xff\xfe", 9);
    QTest::newRow("base64") << 5u << binary << true << binary.toBase64();
    QTest::newRow("raw") << 5u << binary << false << binary;
    QTest::newRow("empty base64") << 5u << QByteArray() << true << QByteArray();
    QTest::newRow("empty raw") << 5u << QByteArray() << false << QByteArray();
    QTest::newRow("id beyond int range")
        << 0x80000001u << QByteArray("abc") << true << QByteArray("YWJj");
}

void TestSending::requestArguments()
{
    QFETCH(quint32, objectId);
    QFETCH(QByteArray, payload);
    QFETCH(bool, encodeBase64);
    QFETCH(QByteArray, sent);

    Plugin p;
    const RpcObjectEntryPtr entry = p.addEntry(objectId);
    RequestLog log(p.d);

    RemotoResponse *response
        = p.d->sendCommand(entry, QStringLiteral("SIGCONNECT"), payload, encodeBase64);
    QVERIFY(response);
    QCOMPARE(log.emitted.size(), 1);
    const Emitted &request = log.emitted.first();
    QCOMPARE(request.sequence, 0);
    QCOMPARE(quint32(request.objectId), objectId);
    QCOMPARE(request.command.userType(), int(QMetaType::Int));
    QCOMPARE(request.command.toInt(), SigConnect);
    QCOMPARE(request.payload.userType(), int(QMetaType::QByteArray));
    QCOMPARE(request.payload.toByteArray(), sent);
    QCOMPARE(request.magic, Marker);
}

void TestSending::sequencePerEntry()
{
    Plugin p;
    const RpcObjectEntryPtr first = p.addEntry(5);
    const RpcObjectEntryPtr second = p.addEntry(6);
    RequestLog log(p.d);

    p.d->sendCommand(first, QStringLiteral("GETINFO"), QByteArray(), true);
    p.d->sendCommand(first, QStringLiteral("INVOKE"), QByteArray(), true);
    p.d->sendCommand(second, QStringLiteral("GETINFO"), QByteArray(), true);
    QVERIFY(!p.d->sendCommand(first, QStringLiteral("UNKNOWN"), QByteArray(), true));
    p.d->sendCommand(first, 4353, QByteArray(), true);
    p.d->sendCommand(second, QStringLiteral("4357"), QByteArray(), false);

    QList<QPair<int, int>> sent;
    for (const Emitted &request : qAsConst(log.emitted))
        sent.append(qMakePair(request.objectId, request.sequence));
    const QList<QPair<int, int>> expected { { 5, 0 }, { 5, 1 }, { 6, 0 }, { 5, 2 }, { 6, 1 } };
    QCOMPARE(sent, expected);
    QCOMPARE(first->sequence, 3);
    QCOMPARE(second->sequence, 2);

    // The wire carries the number as qint32; it wraps around there.
    first->sequence = std::numeric_limits<qint32>::max();
    p.d->sendCommand(first, QStringLiteral("GETINFO"), QByteArray(), true);
    p.d->sendCommand(first, QStringLiteral("GETINFO"), QByteArray(), true);
    QCOMPARE(log.emitted.at(5).sequence, std::numeric_limits<qint32>::max());
    QCOMPARE(log.emitted.at(6).sequence, std::numeric_limits<qint32>::min());
}

void TestSending::pendingTable()
{
    Plugin p;
    const RpcObjectEntryPtr entry = p.addEntry(5);
    RequestLog log(p.d);

    RemotoResponse *one = p.d->sendCommand(entry, QStringLiteral("GETINFO"), QByteArray(), true);
    RemotoResponse *two = p.d->sendCommand(entry, QStringLiteral("GETINFO"), QByteArray(), true);
    QVERIFY(one && two && one != two);
    QCOMPARE(log.emitted.size(), 2);

    const QList<RemotoResponse *> responses { one, two };
    for (int i = 0; i < 2; ++i) {
        const Emitted &request = log.emitted.at(i);
        RemotoResponse *response = responses.at(i);
        // Entered before the request left, and still there.
        QCOMPARE(request.pending, response);
        QCOMPARE(entry->pending.value(request.uid), response);
        QCOMPARE(request.parent, response);
        QCOMPARE(quint32(response->request()->uid()), request.uid);
        QVERIFY(response->autoDelete());
        QVERIFY(!response->parent());
        QVERIFY(!response->isFinished());
    }
    QCOMPARE(entry->pending.size(), 2);

    // Once the object has left the registry no answer can reach what is sent for it.
    p.d->connectionStateChanged(Velmor::Connection::ConnectionLost);
    QPointer<RemotoResponse> late
        = p.d->sendCommand(entry, QStringLiteral("GETINFO"), QByteArray(), true);
    QCOMPARE(log.emitted.size(), 3);
    QVERIFY(entry->pending.isEmpty());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!late);
}

void TestSending::handshakeCommands()
{
    Plugin p;
    FakeRemote remote;
    remote.mode = FakeRemote::Manual;
    p.plugin->setConnection(&remote);
    RequestLog log(p.d);

    remote.announce(9);
    QCOMPARE(log.emitted.size(), 2);

    const Emitted &info = log.emitted.at(0);
    QCOMPARE(info.command, QVariant(GetInfo));
    QCOMPARE(info.sequence, 0);
    QCOMPARE(info.objectId, 9);
    QCOMPARE(info.payload.userType(), int(QMetaType::QByteArray));
    QVERIFY(info.payload.toByteArray().isEmpty());
    QCOMPARE(info.magic, Marker);

    const Emitted &events = log.emitted.at(1);
    QCOMPARE(events.command, QVariant(SetEvent));
    QCOMPARE(events.sequence, 1);
    QCOMPARE(events.objectId, 9);
    QCOMPARE(events.payload.userType(), int(QMetaType::QByteArray));
    QCOMPARE(events.payload.toByteArray(),
        QByteArray(QByteArray::fromHex("02000000") + QByteArray(251, '\0')));
    QCOMPARE(events.magic, Marker);

    const RpcObjectEntryPtr entry = p.d->objects.value(9);
    QVERIFY(entry);
    QCOMPARE(entry->pending.size(), 2);

    // Announced again and again: both commands each time, but what waits stays bounded, the
    // newest GETINFO and SET_EVENT kept.
    for (int i = 0; i < 20; ++i)
        remote.announce(9);
    QCOMPARE(log.emitted.size(), 42);
    QList<quint32> newest;
    for (int i = 42 - 16; i < 42; i += 2)
        newest.append(log.emitted.at(i).uid);
    newest.append(log.emitted.last().uid);
    QCOMPARE(entry->pending.keys(), newest);
}

void TestSending::subscriptionPayloads()
{
    Rig rig;
    rig.remote.mode = FakeRemote::Manual;
    RequestLog log(rig.d);

    RemotoResponse *async = rig.d->sendConnectAsync(rig.proxy, "changed(int)");
    QVERIFY(async);
    QVERIFY(!async->isFinished());
    QVERIFY(async->autoDelete());
    QCOMPARE(log.emitted.size(), 1);
    QCOMPARE(log.emitted.at(0).command, QVariant(SigConnect));
    QCOMPARE(log.emitted.at(0).payload, QVariant(QByteArray("changed(int)").toBase64()));
    QCOMPARE(rig.entry->pending.value(log.emitted.at(0).uid), async);

    // An answer that comes from the event loop; the empty text leaves as an empty payload.
    rig.remote.mode = FakeRemote::Queued;
    MessageLog messages;
    QVERIFY(!rig.d->sendConnect(rig.proxy, ""));
    QCOMPARE(log.emitted.size(), 2);
    QCOMPARE(log.emitted.at(1).command, QVariant(SigConnect));
    QCOMPARE(log.emitted.at(1).payload, QVariant(QByteArray()));
    QCOMPARE(log.emitted.at(1).sequence, log.emitted.at(0).sequence + 1);
    QCOMPARE(messages.messages, messages.expected);
}

void TestSending::answerDuringEmission()
{
    Rig rig;
    QCOMPARE(rig.remote.mode, FakeRemote::Direct);
    RequestLog log(rig.d);

    QElapsedTimer elapsed;
    elapsed.start();
    std::unique_ptr<RemotoResponse> response(rig.d->sendCommandAndWait(rig.entry,
        QStringLiteral("INVOKE"), invokePayload(QStringLiteral("add(int,int)"), { 2, 3 }), true));
    QVERIFY(response);
    QVERIFY(response->isFinished());
    QVERIFY(!response->autoDelete());
    QCOMPARE(response->data(), (QVariantList { true, 5 }));
    QCOMPARE(rig.entry->pending.keys(), rig.handshakePending);

    QVariant result = untouched;
    QVERIFY(rig.d->sendInvoke(
        rig.proxy, invokePayload(QStringLiteral("add(int,int)"), { 4, 5 }), &result));
    QCOMPARE(result, QVariant(9));
    QPointer<QObject> answered;
    const QMetaObject::Connection watch = QObject::connect(rig.d, &RemotoPluginPrivate::request,
        [&answered](const Request *r) { answered = r->parent(); });
    QVERIFY(rig.d->sendConnect(rig.proxy, "changed(int)"));
    QObject::disconnect(watch);
    // Freed by the waiter at once, not left to a loop that a caller's slot may hold up.
    QVERIFY(!answered);
    // The module's own wait is 2000 ms; an answer that is already there must not sit it out.
    QVERIFY2(elapsed.elapsed() < 1500, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(rig.entry->pending.keys(), rig.handshakePending);
}

void TestSending::waitTimesOut()
{
    Plugin p;
    FakeRemote remote;
    remote.mode = FakeRemote::Manual;
    p.plugin->setConnection(&remote);
    const RpcObjectEntryPtr entry = p.addEntry(5);
    QCOMPARE(p.d->timeout, 2000);

    RemotoResponse *heldDuringWait = nullptr;
    QTimer::singleShot(0, p.plugin, [&] {
        if (!remote.requests.isEmpty())
            heldDuringWait = entry->pending.value(remote.requests.last().uid);
    });
    QElapsedTimer elapsed;
    elapsed.start();
    std::unique_ptr<RemotoResponse> response(
        p.d->sendCommandAndWait(entry, QStringLiteral("INVOKE"), QByteArray("abc"), true));
    // Coarse timers may fire up to 5 % early; never much earlier than the 2000 ms asked for.
    QVERIFY2(elapsed.elapsed() >= 1800, qPrintable(QString::number(elapsed.elapsed())));

    QVERIFY(response);
    QCOMPARE(heldDuringWait, response.get());
    QVERIFY(!response->isFinished());
    QVERIFY(!response->autoDelete());
    QVERIFY(entry->pending.isEmpty());
    QCOMPARE(remote.requests.size(), 1);

    // An answer after the time-out finds nobody waiting for it.
    remote.answer(remote.requests.first(), { true, 1 });
    QVERIFY(!response->isFinished());
    QVERIFY(response->data().isEmpty());
    QVERIFY(entry->pending.isEmpty());
}

void TestSending::invokeTimesOut()
{
    Rig rig;
    rig.remote.mode = FakeRemote::Manual;
    QVariant result = untouched;

    MessageLog log;
    log.expect(QtWarningMsg, QStringLiteral("\"INVOKE command timeout\""));
    QVERIFY(!rig.d->sendInvoke(rig.proxy, invokePayload(QStringLiteral("name()")), &result));
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(result, untouched);
    QCOMPARE(rig.entry->pending.keys(), rig.handshakePending);

    // The response the wait released is gone by now; its late answer must change nothing.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QList<FakeRemote::SentRequest> sent = rig.remote.requestsFor(Invoke);
    QCOMPARE(sent.size(), 1);
    rig.remote.answer(sent.first(), { true, QStringLiteral("late") });
    QCOMPARE(result, untouched);
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(rig.entry->pending.keys(), rig.handshakePending);
    QVERIFY(rig.proxy->isConnected());
}

void TestSending::connectTimesOut()
{
    Rig rig;
    rig.remote.mode = FakeRemote::Manual;
    // The length of the wait is covered above; only the outcome matters here.
    rig.d->timeout = 50;

    MessageLog log;
    log.expect(QtWarningMsg, QStringLiteral("\"SIGCONNECT command timeout\""));
    QVERIFY(!rig.d->sendConnect(rig.proxy, "changed(int)"));
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(rig.entry->pending.keys(), rig.handshakePending);
}

void TestSending::outcome_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QVariantList>("values");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("warning");

    const QByteArray none;
    QTest::newRow("success") << AnswerReply << QVariantList { true, 42 } << 0 << none << true
                             << QVariant(42) << QString();
    QTest::newRow("success with a third value")
        << AnswerReply << QVariantList { true, QStringLiteral("r"), 7 } << 0 << none << true
        << QVariant(QStringLiteral("r")) << QString();
    QTest::newRow("success without result value")
        << AnswerReply << QVariantList { true } << 0 << none << true << QVariant() << QString();
    QTest::newRow("first value text true")
        << AnswerReply << QVariantList { QStringLiteral("true"), 1 } << 0 << none << true
        << QVariant(1) << QString();
    QTest::newRow("first value false") << AnswerReply << QVariantList { false, 42 } << 0 << none
                                       << false << untouched << QString();
    QTest::newRow("first value zero")
        << AnswerReply << QVariantList { 0, 42 } << 0 << none << false << untouched << QString();
    QTest::newRow("no values") << AnswerReply << QVariantList() << 0 << none << false << untouched
                               << QString();
    QTest::newRow("error 4") << AnswerReply << QVariantList { true, 42 } << 4 << none << false
                             << untouched
                             << QStringLiteral("\"INVALID_PARAM(Неверный блок параметров)\"");
    QTest::newRow("error without text")
        << AnswerReply << QVariantList { true, 42 } << 0x120A << none << false << untouched
        << QStringLiteral("\">INVALID_CMD_NUMBER\"");
    QTest::newRow("unknown error") << AnswerReply << QVariantList { true, 42 } << 99 << none
                                   << false << untouched << QStringLiteral("\"Unknown error\"");
    QTest::newRow("refused") << RefuseReply << QVariantList() << 0 << none << false << untouched
                             << QStringLiteral(
                                    "\"NO_RIGHTS(Недостаточно прав для выполнения команды)\"");
    QTest::newRow("short answer") << RawReply << QVariantList() << 0 << QByteArray("\x01\x02", 2)
                                  << false << untouched
                                  << QStringLiteral("\"INVALID_MSG(Неверные данные от сервера)\"");
    QTest::newRow("unreadable body")
        << RawReply << QVariantList() << 0
        << QByteArray(FakeRemote::answerBytes({}, 0, Invoke).left(16) + "AAAAAw==") << false
        << untouched << QString();
}

void TestSending::invokeOutcome()
{
    QFETCH(bool, succeeds);
    QFETCH(QVariant, value);

    Rig rig;
    MessageLog log;
    replyAsRowSays(rig, log);
    QVariant returned = untouched;
    QCOMPARE(
        rig.d->sendInvoke(rig.proxy, invokePayload(QStringLiteral("name()")), &returned), succeeds);
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(returned, value);
    QCOMPARE(returned.isValid(), value.isValid());
    QCOMPARE(rig.remote.requestsFor(Invoke).size(), 1);
    QCOMPARE(rig.entry->pending.keys(), rig.handshakePending);
}

void TestSending::connectOutcome()
{
    QFETCH(bool, succeeds);

    Rig rig;
    MessageLog log;
    replyAsRowSays(rig, log);
    QCOMPARE(rig.d->sendConnect(rig.proxy, "changed(int)"), succeeds);
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(rig.remote.requestsFor(SigConnect).size(), 1);
    QCOMPARE(rig.entry->pending.keys(), rig.handshakePending);
}

void TestSending::invokeWithoutResultPointer()
{
    Rig rig;
    MessageLog log;
    QVERIFY(rig.d->sendInvoke(
        rig.proxy, invokePayload(QStringLiteral("add(int,int)"), { 1, 2 }), nullptr));
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(rig.remote.requestsFor(Invoke).size(), 1);
}

void TestSending::objectWithoutEntry()
{
    Rig rig;
    RemotoObject stranger(rig.plugin);
    stranger.processMetaInfo({ QStringList { QStringLiteral("Counter") } });
    RequestLog requests(rig.d);
    MessageLog log;
    QVariant result = untouched;

    QVERIFY(!rig.d->sendInvoke(&stranger, invokePayload(QStringLiteral("name()")), &result));
    QVERIFY(!rig.d->sendConnect(&stranger, "changed(int)"));
    QVERIFY(!rig.d->sendConnectAsync(&stranger, "changed(int)"));
    QVERIFY(!rig.d->sendInvoke(nullptr, QByteArray(), &result));
    QCOMPARE(result, untouched);
    QVERIFY(requests.emitted.isEmpty());
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(rig.entry->sequence, 3);
}

void TestSending::nestedWaits_data()
{
    QTest::addColumn<bool>("outerAnsweredFirst");

    QTest::newRow("inner answered first") << false;
    QTest::newRow("outer answered first") << true;
}

void TestSending::nestedWaits()
{
    QFETCH(bool, outerAnsweredFirst);

    Rig rig;
    rig.remote.mode = FakeRemote::Manual;
    QStringList order;
    QVariant outerResult = untouched;
    QVariant innerResult = untouched;
    bool innerSucceeded = false;

    // The inner call starts from a handler of a remote signal that arrives while the outer
    // call waits; both answers come while the inner call waits.
    connect(rig.proxy, QOverload<QString, QVariantList>::of(&RemotoObject::event), rig.proxy, [&] {
        QTimer::singleShot(0, rig.plugin, [&] {
            const QList<FakeRemote::SentRequest> sent = rig.remote.requestsFor(Invoke);
            if (sent.size() != 2)
                return;
            const FakeRemote::SentRequest &outer = sent.at(0);
            const FakeRemote::SentRequest &inner = sent.at(1);
            if (outerAnsweredFirst)
                rig.remote.answer(outer, { true, QStringLiteral("outer") });
            rig.remote.answer(inner, { true, QStringLiteral("inner") });
            if (!outerAnsweredFirst)
                rig.remote.answer(outer, { true, QStringLiteral("outer") });
        });
        innerSucceeded
            = rig.d->sendInvoke(rig.proxy, invokePayload(QStringLiteral("name()")), &innerResult);
        order << QStringLiteral("inner");
    });
    QTimer::singleShot(0, rig.plugin, [&] {
        rig.remote.notify(CounterId, { QVariant(), QStringLiteral("changed(int)"), 1 });
    });

    MessageLog log;
    const bool outerSucceeded
        = rig.d->sendInvoke(rig.proxy, invokePayload(QStringLiteral("name()")), &outerResult);
    order << QStringLiteral("outer");

    QCOMPARE(order, (QStringList { QStringLiteral("inner"), QStringLiteral("outer") }));
    QVERIFY(innerSucceeded);
    QVERIFY(outerSucceeded);
    QCOMPARE(innerResult, QVariant(QStringLiteral("inner")));
    QCOMPARE(outerResult, QVariant(QStringLiteral("outer")));
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(rig.entry->pending.keys(), rig.handshakePending);
}

void TestSending::objectDownDuringWait()
{
    Rig rig;
    rig.remote.mode = FakeRemote::Manual;
    QSignalSpy down(rig.plugin, &RemotoPlugin::rpcObjectDisonnected);
    QSignalSpy disconnected(rig.proxy, &RemotoObject::rpcDisconnected);
    // Something self-deleting is pending beside the waiter's own response.
    QPointer<RemotoResponse> async = rig.d->sendConnectAsync(rig.proxy, "changed(int)");
    QVERIFY(async);

    QTimer::singleShot(0, rig.plugin, [&] {
        rig.remote.withdraw(CounterId);
        // Carry out every deletion requested so far while the waiter still waits.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });

    MessageLog log;
    QVariant result = untouched;
    QVERIFY(!rig.d->sendInvoke(rig.proxy, invokePayload(QStringLiteral("name()")), &result));
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(result, untouched);
    QCOMPARE(down.count(), 1);
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!rig.proxy->isConnected());
    QVERIFY(rig.entry->pending.isEmpty());
    QVERIFY(!async);
}

QTEST_MAIN(TestSending)
#include "tst_sending.moc"
