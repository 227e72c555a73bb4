#include "commandcatalogue.h"
#include "fakeremote.h"
#include "hostprobe.h"
#include "messagelog.h"
#include "pluginhost.h"

#include <QtCore/QDataStream>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

using HostProbe::deliver;
using Velmor::Command::Message;

namespace {
constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int GetMetaInfo = CommandCatalogue::GetMetaInfo;
constexpr int Invoke = CommandCatalogue::Invoke;
constexpr int SetEvent = CommandCatalogue::SetEvent;
constexpr int OtherMarker = 0x29111994;

QString describe(const QVariant &value)
{
    if (!value.isValid())
        return QStringLiteral("invalid");
    if (value.userType() == QMetaType::QVariantList) {
        QStringList items;
        for (const QVariant &item : value.toList())
            items.append(describe(item));
        return QStringLiteral("QVariantList(%1)").arg(items.join(QLatin1Char(',')));
    }
    if (value.userType() == QMetaType::QStringList)
        return QStringLiteral("QStringList(%1)").arg(value.toStringList().join(QLatin1Char(',')));
    return QStringLiteral("%1:%2").arg(QString::fromLatin1(value.typeName()), value.toString());
}

QString eventEntry(const QString &name, const QVariantList &params)
{
    QStringList items;
    for (const QVariant &item : params)
        items.append(describe(item));
    return QStringLiteral("event %1 [%2]").arg(name, items.join(QLatin1Char(',')));
}

QByteArray notificationPayload(const QVariantList &values)
{
    return FakeRemote::encodeValues(values).toBase64();
}

QByteArray beU32(quint32 value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << value;
    return bytes;
}

// A value header in QDataStream form: the type id and the null flag.
QByteArray valueHeader(int type)
{
    return beU32(quint32(type)) + QByteArray(1, '\0');
}
} // namespace

// Records, in order, every signal a proxy raises that a remote notification could reach.
class SignalLog : public QObject
{
    Q_OBJECT
public:
    explicit SignalLog(QObject *proxy)
    {
        connect(proxy, SIGNAL(event(QString, QVariantList)), this,
            SLOT(onEvent(QString, QVariantList)));
        connect(proxy, SIGNAL(rpcConnected()), this, SLOT(onConnected()));
        connect(proxy, SIGNAL(rpcDisconnected()), this, SLOT(onDisconnected()));
        connect(proxy, SIGNAL(objectNameChanged(QString)), this, SLOT(onRenamed(QString)));
        connect(proxy, SIGNAL(destroyed()), this, SLOT(onDestroyed()));
    }

    QStringList entries;

public Q_SLOTS:
    void onEvent(const QString &name, const QVariantList &params)
    {
        entries.append(eventEntry(name, params));
    }
    void onConnected() { entries.append(QStringLiteral("rpcConnected")); }
    void onDisconnected() { entries.append(QStringLiteral("rpcDisconnected")); }
    void onRenamed(const QString &name) { entries.append(QStringLiteral("renamed ") + name); }
    void onDestroyed() { entries.append(QStringLiteral("destroyed")); }
};

// Routing of incoming messages by marker, kind and object id, as the private companion's
// message slot reports it.
class tst_Dispatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void wrongMarker_data();
    void wrongMarker();
    void unknownObjectId_data();
    void unknownObjectId();
    void otherKindTakesPendingResponse_data();
    void otherKindTakesPendingResponse();
    void otherKindDuringSynchronousWait();
    void refusedSynchronousCommand_data();
    void refusedSynchronousCommand();
    void refusedAsynchronousCommand();
    void repeatedAnswers_data();
    void repeatedAnswers();
    void answerAfterObjectDown();
    void infoAnswerForConnectedProxy();
    void notifications_data();
    void notifications();
    void notificationWithoutProxy();
    void unreadableNotifications_data();
    void unreadableNotifications();

private:
    QObject *connectCounter(quint32 id, const QString &name);

    QPointer<QObject> plugin;
    QObject *companion = nullptr;
    FakeRemote *remote = nullptr;
};

void tst_Dispatch::init()
{
    plugin = PluginHost::instance();
    companion = HostProbe::privateCompanion(plugin);
    remote = new FakeRemote;
    PluginHost::setConnection(plugin, remote);
}

void tst_Dispatch::cleanup()
{
    delete plugin;
    delete remote;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QObject *tst_Dispatch::connectCounter(quint32 id, const QString &name)
{
    return remote->publish(plugin, id, FakeRemote::counter(name));
}

void tst_Dispatch::wrongMarker_data()
{
    QTest::addColumn<int>("magic");
    QTest::addColumn<int>("kind");
    const QList<QPair<const char *, int>> markers { { "zero marker", 0 },
        { "neighbouring marker", OtherMarker }, { "all bits set", -1 } };
    const QList<QPair<const char *, int>> kinds { { "Notify", Velmor::Command::Notify },
        { "Answer", Velmor::Command::Answer }, { "ObjectUp", Velmor::Command::ObjectUp },
        { "ObjectDown", Velmor::Command::ObjectDown }, { "Refused", Velmor::Command::Refused } };
    for (const auto &marker : markers) {
        for (const auto &kind : kinds)
            QTest::addRow("%s, %s", marker.first, kind.first) << marker.second << kind.second;
    }
}

void tst_Dispatch::wrongMarker()
{
    QFETCH(int, magic);
    QFETCH(int, kind);
    QObject *proxy = connectCounter(1, QStringLiteral("one"));
    QVERIFY(proxy);
    remote->mode = FakeRemote::Manual;
    remote->addObject(2, FakeRemote::counter(QStringLiteral("two")));
    remote->announce(2);
    const FakeRemote::SentRequest info = remote->requestsFor(GetInfo).last();
    QCOMPARE(info.objectId, 2u);

    SignalLog log(proxy);
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    const int sent = remote->requests.size();

    Message m;
    switch (kind) {
    case Velmor::Command::Notify:
        m = makeMessage(
            1, kind, notificationPayload({ QVariant(), QStringLiteral("rpcConnected()") }));
        break;
    case Velmor::Command::Answer:
        m = makeMessage(
            2, kind, FakeRemote::answerBytes({ 2u, QStringLiteral("two") }, 0, GetInfo), info.uid);
        break;
    case Velmor::Command::ObjectUp:
        m = makeMessage(3, kind);
        break;
    case Velmor::Command::ObjectDown:
        m = makeMessage(1, kind);
        break;
    default:
        m = makeMessage(2, kind, QByteArray(), info.uid);
        break;
    }
    m.magic = magic;
    QCOMPARE(deliver(companion, m), false);

    QCOMPARE(remote->requests.size(), sent);
    QCOMPARE(log.entries, QStringList());
    QCOMPARE(connected.count(), 0);
    QCOMPARE(disconnected.count(), 0);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList { proxy });

    // Nothing was registered for id 3, and the INFO request of id 2 still waits for its answer.
    QCOMPARE(deliver(companion,
                 makeMessage(
                     3, Velmor::Command::Answer, FakeRemote::answerBytes({ true }, 0, GetInfo), 1)),
        false);
    remote->answer(info, { 2u, QStringLiteral("two") });
    QCOMPARE(remote->requestsFor(GetMetaInfo).size(), 2);
    QCOMPARE(remote->requestsFor(GetMetaInfo).last().objectId, 2u);
    remote->mode = FakeRemote::Direct;
    QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 }), QVariant(5));
}

void tst_Dispatch::unknownObjectId_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("Notify") << int(Velmor::Command::Notify) << true;
    QTest::newRow("ObjectDown") << int(Velmor::Command::ObjectDown) << true;
    QTest::newRow("Answer") << int(Velmor::Command::Answer) << false;
    QTest::newRow("Refused") << int(Velmor::Command::Refused) << false;
    QTest::newRow("kind 2") << 2 << false;
    QTest::newRow("kind 5") << 5 << false;
    QTest::newRow("negative kind") << -1 << false;
}

void tst_Dispatch::unknownObjectId()
{
    QFETCH(int, kind);
    QFETCH(bool, accepted);
    QObject *proxy = connectCounter(1, QStringLiteral("one"));
    remote->mode = FakeRemote::Manual;
    remote->announce(2);
    const FakeRemote::SentRequest info = remote->requestsFor(GetInfo).last();
    SignalLog log(proxy);
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    const int sent = remote->requests.size();

    // Id 42 was never announced; the uid is one that id 2 is waiting on.
    const QByteArray payload = kind == Velmor::Command::Notify
        ? notificationPayload({ QVariant(), QStringLiteral("rpcConnected()") })
        : FakeRemote::answerBytes({ 42u, QStringLiteral("x") }, 0, GetInfo);
    QCOMPARE(deliver(companion, makeMessage(42, kind, payload, info.uid)), accepted);

    QCOMPARE(remote->requests.size(), sent);
    QCOMPARE(log.entries, QStringList());
    QCOMPARE(disconnected.count(), 0);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList { proxy });
    // An answer is looked up under its own object id only: id 2's request is still pending.
    remote->answer(info, { 2u, QStringLiteral("two") });
    QCOMPARE(remote->requestsFor(GetMetaInfo).size(), 2);
}

void tst_Dispatch::otherKindTakesPendingResponse_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("kind 2") << 2;
    QTest::newRow("kind 5") << 5;
    QTest::newRow("kind 16") << 16;
    QTest::newRow("kind 18") << 18;
}

void tst_Dispatch::otherKindTakesPendingResponse()
{
    QFETCH(int, kind);
    HostProbe::RequestTally tally;
    tally.watch(companion);
    remote->mode = FakeRemote::Manual;
    remote->announce(2);
    const FakeRemote::SentRequest info = remote->requestsFor(GetInfo).last();
    QCOMPARE(tally.count(), 2);

    QCOMPARE(deliver(companion, makeMessage(2, kind, QByteArray(), info.uid)), false);

    // Taken out unfinished: its answer now finds nothing, so no proxy and no GETMETAINFO.
    QCOMPARE(deliver(companion,
                 makeMessage(2, Velmor::Command::Answer,
                     FakeRemote::answerBytes({ 2u, QStringLiteral("two") }, 0, GetInfo), info.uid)),
        true);
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());
    QVERIFY(remote->requestsFor(GetMetaInfo).isEmpty());

    // Nothing can finish it any more, so it is released; SET_EVENT's still waits.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(tally.alive(), 2);
}

void tst_Dispatch::otherKindDuringSynchronousWait()
{
    QObject *proxy = connectCounter(1, QStringLiteral("one"));
    remote->mode = FakeRemote::Manual;
    bool takenOut = true;
    bool answerAccepted = false;
    QTimer::singleShot(0, this, [&] {
        const FakeRemote::SentRequest call = remote->requestsFor(Invoke).last();
        takenOut = deliver(companion, makeMessage(1, 2, QByteArray(), call.uid));
        answerAccepted = deliver(companion,
            makeMessage(1, Velmor::Command::Answer, FakeRemote::answerBytes({ true, 5 }, 0, Invoke),
                call.uid));
    });
    MessageLog messages;
    QTest::ignoreMessage(QtWarningMsg, "\"INVOKE command timeout\"");
    const QVariant result = PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 });

    QCOMPARE(takenOut, false);
    QCOMPARE(answerAccepted, true);
    QCOMPARE(result.userType(), int(QMetaType::Int));
    QVERIFY(result.isNull());
    QCOMPARE(messages.warnings, QStringList { QStringLiteral("\"INVOKE command timeout\"") });

    // An answer after the time-out is accepted and changes nothing.
    const FakeRemote::SentRequest call = remote->requestsFor(Invoke).last();
    QCOMPARE(deliver(companion,
                 makeMessage(1, Velmor::Command::Answer,
                     FakeRemote::answerBytes({ true, 5 }, 0, Invoke), call.uid)),
        true);
    QCOMPARE(messages.warnings.size(), 1);
}

void tst_Dispatch::refusedSynchronousCommand_data()
{
    QTest::addColumn<bool>("subscribe");
    QTest::addColumn<bool>("fromEventLoop");
    QTest::newRow("invoke refused inside request") << false << false;
    QTest::newRow("invoke refused from the event loop") << false << true;
    QTest::newRow("sendConnect refused inside request") << true << false;
    QTest::newRow("sendConnect refused from the event loop") << true << true;
}

void tst_Dispatch::refusedSynchronousCommand()
{
    QFETCH(bool, subscribe);
    QFETCH(bool, fromEventLoop);
    QObject *proxy = connectCounter(1, QStringLiteral("one"));
    remote->mode = FakeRemote::Manual;
    connect(remote, &FakeRemote::requestSeen, this, [&] {
        const FakeRemote::SentRequest last = remote->requests.last();
        if (fromEventLoop)
            QTimer::singleShot(0, remote, [this, last] { remote->refuse(last); });
        else
            remote->refuse(last);
    });

    MessageLog messages;
    const QString refused
        = QStringLiteral("\"NO_RIGHTS(Недостаточно прав для выполнения команды)\"");
    QTest::ignoreMessage(QtWarningMsg, refused.toUtf8().constData());
    if (subscribe) {
        QCOMPARE(PluginHost::sendConnect(proxy, "changed(int)"), 0);
    } else {
        const QVariant result = PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 });
        QCOMPARE(result.userType(), int(QMetaType::Int));
        QVERIFY(result.isNull());
    }
    QCOMPARE(messages.warnings, QStringList { refused });
}

void tst_Dispatch::refusedAsynchronousCommand()
{
    HostProbe::RequestTally tally;
    tally.watch(companion);
    remote->mode = FakeRemote::Manual;
    remote->announce(2);
    const FakeRemote::SentRequest info = remote->requestsFor(GetInfo).last();

    QCOMPARE(
        deliver(companion, makeMessage(2, Velmor::Command::Refused, QByteArray(), info.uid)), true);
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());
    QVERIFY(remote->requestsFor(GetMetaInfo).isEmpty());
    // A second refusal, and one for a uid nobody waits on, find nothing.
    QCOMPARE(
        deliver(companion, makeMessage(2, Velmor::Command::Refused, QByteArray(), info.uid)), true);
    QCOMPARE(
        deliver(companion, makeMessage(2, Velmor::Command::Refused, QByteArray(), 0xfffffff0u)),
        true);
    // The refused response is finished and released; SET_EVENT's still waits.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(tally.alive(), 2);
    remote->answer(info, { 2u, QStringLiteral("two") });
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());
}

void tst_Dispatch::repeatedAnswers_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QVariantList>("values");
    QTest::newRow("INVOKE answered again") << Invoke << QVariantList { true, 99 };
    QTest::newRow("INFO answered again")
        << GetInfo << QVariantList { 1u, QStringLiteral("renamed") };
    QTest::newRow("METAINFO answered again")
        << GetMetaInfo
        << QVariantList { QStringList {
               QStringLiteral("Other"), QStringLiteral("Method int sub(int,int)") } };
}

void tst_Dispatch::repeatedAnswers()
{
    QFETCH(int, command);
    QFETCH(QVariantList, values);
    QObject *proxy = connectCounter(1, QStringLiteral("one"));
    QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 }), QVariant(5));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    SignalLog log(proxy);
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    const int sent = remote->requests.size();
    const FakeRemote::SentRequest original = remote->requestsFor(command).last();
    QCOMPARE(deliver(companion,
                 makeMessage(1, Velmor::Command::Answer,
                     FakeRemote::answerBytes(values, 0, command), original.uid)),
        true);

    QCOMPARE(remote->requests.size(), sent);
    QCOMPARE(log.entries, QStringList());
    QCOMPARE(connected.count(), 0);
    QCOMPARE(proxy->objectName(), QStringLiteral("one"));
    QCOMPARE(proxy->property("className").toString(), QStringLiteral("Counter"));
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList { proxy });
    QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), { 4, 5 }), QVariant(9));
}

void tst_Dispatch::answerAfterObjectDown()
{
    QObject *proxy = connectCounter(1, QStringLiteral("one"));
    remote->mode = FakeRemote::Manual;
    QTimer::singleShot(0, remote, [this] { remote->withdraw(1); });
    MessageLog messages;
    const QVariant result = PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 });
    QCOMPARE(result.userType(), int(QMetaType::Int));
    QVERIFY(result.isNull());

    // The entry stays registered, so its late answer is accepted, and it finds nothing.
    const FakeRemote::SentRequest call = remote->requestsFor(Invoke).last();
    QCOMPARE(deliver(companion,
                 makeMessage(1, Velmor::Command::Answer,
                     FakeRemote::answerBytes({ true, 5 }, 0, Invoke), call.uid)),
        true);
    QCOMPARE(messages.warnings, QStringList());
}

void tst_Dispatch::infoAnswerForConnectedProxy()
{
    QObject *proxy = connectCounter(1, QStringLiteral("one"));
    remote->mode = FakeRemote::Manual;
    remote->announce(1);
    const FakeRemote::SentRequest info = remote->requestsFor(GetInfo).last();
    SignalLog log(proxy);
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    const int metaInfos = remote->requestsFor(GetMetaInfo).size();

    QCOMPARE(
        deliver(companion,
            makeMessage(1, Velmor::Command::Answer,
                FakeRemote::answerBytes({ 1u, QStringLiteral("renamed") }, 0, GetInfo), info.uid)),
        true);
    QCOMPARE(remote->requestsFor(GetMetaInfo).size(), metaInfos);
    QCOMPARE(proxy->objectName(), QStringLiteral("one"));
    QCOMPARE(log.entries, QStringList());
    QCOMPARE(connected.count(), 0);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList { proxy });
    remote->mode = FakeRemote::Direct;
    QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), { 1, 1 }), QVariant(2));
}

void tst_Dispatch::notifications_data()
{
    QTest::addColumn<QVariantList>("values");
    QTest::addColumn<QStringList>("expected");
    const QVariant none;
    const QString eventSignal = QStringLiteral("event(QString,QVariantList)");

    QTest::newRow("no values") << QVariantList {} << QStringList {};
    QTest::newRow("one value") << QVariantList { none } << QStringList {};
    QTest::newRow("one value naming a signal")
        << QVariantList { QStringLiteral("rpcConnected()") } << QStringList {};
    QTest::newRow("two values") << QVariantList { none, QStringLiteral("changed(int)") }
                                << QStringList { QStringLiteral("event changed(int) []") };
    QTest::newRow("many values") << QVariantList { none, QStringLiteral("changed(int)"), 1,
        QStringLiteral("two"), 2.5, QByteArray("b"), QVariantList { 3 } }
                                 << QStringList { QStringLiteral(
                                        "event changed(int) [int:1,QString:two,double:2.5,"
                                        "QByteArray:b,QVariantList(int:3)]") };
    QTest::newRow("return holder not passed on")
        << QVariantList { 42, QStringLiteral("changed(int)"), 7 }
        << QStringList { QStringLiteral("event changed(int) [int:7]") };
    QTest::newRow("own rpcConnected()") << QVariantList { none, QStringLiteral("rpcConnected()") }
                                        << QStringList { QStringLiteral("event rpcConnected() []"),
                                               QStringLiteral("rpcConnected") };
    QTest::newRow("own rpcDisconnected()")
        << QVariantList { none, QStringLiteral("rpcDisconnected()") }
        << QStringList { QStringLiteral("event rpcDisconnected() []"),
               QStringLiteral("rpcDisconnected") };
    QTest::newRow("own void signal with a return holder") << QVariantList {
        QStringLiteral("r"), QStringLiteral("rpcConnected()")
    } << QStringList { QStringLiteral("event rpcConnected() []"), QStringLiteral("rpcConnected") };
    QTest::newRow("own signal with a surplus value")
        << QVariantList { none, QStringLiteral("rpcConnected()"), 1 }
        << QStringList { QStringLiteral("event rpcConnected() [int:1]") };
    QTest::newRow("own event with matching values")
        << QVariantList { none, eventSignal, QStringLiteral("x"), QVariantList { 1 } }
        << QStringList { QStringLiteral("event event(QString,QVariantList) "
                                        "[QString:x,QVariantList(int:1)]"),
               QStringLiteral("event x [int:1]") };
    QTest::newRow("own event with two ints") << QVariantList { none, eventSignal, 1,
        2 } << QStringList { QStringLiteral("event event(QString,QVariantList) [int:1,int:2]") };
    QTest::newRow("own event with a string list converted")
        << QVariantList { none, eventSignal, QStringLiteral("x"),
               QStringList { QStringLiteral("a"), QStringLiteral("b") } }
        << QStringList { QStringLiteral("event event(QString,QVariantList) "
                                        "[QString:x,QStringList(a,b)]"),
               QStringLiteral("event x [QString:a,QString:b]") };
    QTest::newRow("own event with too few values")
        << QVariantList { none, eventSignal, QStringLiteral("x") }
        << QStringList { QStringLiteral("event event(QString,QVariantList) [QString:x]") };
    QVariantList eleven { none, eventSignal };
    QStringList elevenText;
    for (int i = 1; i <= 11; ++i) {
        eleven.append(i);
        elevenText.append(QStringLiteral("int:%1").arg(i));
    }
    QTest::newRow("eleven arguments")
        << eleven
        << QStringList { QStringLiteral("event event(QString,QVariantList) [%1]")
                             .arg(elevenText.join(QLatin1Char(','))) };
    QTest::newRow("inherited signal")
        << QVariantList { none, QStringLiteral("objectNameChanged(QString)"), QStringLiteral("n") }
        << QStringList { QStringLiteral("event objectNameChanged(QString) [QString:n]") };
    QTest::newRow("inherited destroyed()") << QVariantList { none,
        QStringLiteral("destroyed()") } << QStringList { QStringLiteral("event destroyed() []") };
    QTest::newRow("invokable, not a signal")
        << QVariantList { none, QStringLiteral("invoke(QString)"), QStringLiteral("add") }
        << QStringList { QStringLiteral("event invoke(QString) [QString:add]") };

    // A text past the limits on signatures from a peer is never looked up: a lookup that
    // normalized it first would recurse once per bracket.
    const QString deep = QStringLiteral("changed(") + QStringLiteral("a<").repeated(100000)
        + QStringLiteral(">").repeated(100000) + QLatin1Char(')');
    QTest::newRow("signal text nested 100,000 deep")
        << QVariantList { none, deep } << QStringList { eventEntry(deep, {}) };
}

void tst_Dispatch::notifications()
{
    QFETCH(QVariantList, values);
    QFETCH(QStringList, expected);
    QObject *proxy = connectCounter(1, QStringLiteral("one"));
    SignalLog log(proxy);
    const int sent = remote->requests.size();

    QCOMPARE(
        deliver(companion, makeMessage(1, Velmor::Command::Notify, notificationPayload(values))),
        true);
    QCOMPARE(log.entries, expected);
    QCOMPARE(proxy->objectName(), QStringLiteral("one"));
    // Raising rpcConnected() is a signal only, not a reconnection.
    QCOMPARE(remote->requests.size(), sent);
}

void tst_Dispatch::notificationWithoutProxy()
{
    remote->mode = FakeRemote::Manual;
    remote->announce(2);
    QCOMPARE(deliver(companion,
                 makeMessage(2, Velmor::Command::Notify,
                     notificationPayload({ QVariant(), QStringLiteral("x()") }))),
        true);
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());
    QCOMPARE(remote->requests.size(), 2);
}

void tst_Dispatch::unreadableNotifications_data()
{
    QTest::addColumn<QByteArray>("payload");
    const auto base64 = [](const QByteArray &body) { return body.toBase64(); };
    const QByteArray signal = valueHeader(QMetaType::QString) + beU32(2) + QByteArray("\0x", 2);

    QTest::newRow("empty payload") << QByteArray();
    QTest::newRow("not Base64") << QByteArray("%%%% ***");
    QTest::newRow("Base64 of three bytes") << QByteArray("AAEC");
    QTest::newRow("huge count at the top") << base64(beU32(0x7ffffff0u));
    QTest::newRow("huge nested list count")
        << base64(beU32(2) + valueHeader(QMetaType::QVariantList) + beU32(0x7ffffff0u));
    QTest::newRow("huge string length")
        << base64(beU32(2) + valueHeader(QMetaType::QString) + beU32(0x7ffffff0u));
    QTest::newRow("huge byte array length")
        << base64(beU32(2) + valueHeader(QMetaType::QByteArray) + beU32(0x7ffffff0u));
    QTest::newRow("count beyond the values")
        << base64(beU32(3) + valueHeader(QMetaType::Int) + beU32(1) + signal);
    QTest::newRow("last value cut short")
        << base64(beU32(2) + valueHeader(QMetaType::Int) + beU32(1) + signal.chopped(1));
    QTest::newRow("unknown type id")
        << base64(beU32(2) + valueHeader(0x7fff0000) + beU32(1) + signal);
    // A value named by its type: the user type id, the name, then the value itself. Qt's
    // type-name parser would read the first name as int and recurse 100,000 deep on the other.
    const auto namedInt = [&](const QByteArray &name) {
        return base64(beU32(2) + valueHeader(QMetaType::User) + beU32(quint32(name.size())) + name
            + beU32(1) + signal);
    };
    QTest::newRow("type name padded past the length limit")
        << namedInt(QByteArray("int") + QByteArray(1100, ' '));
    QTest::newRow("type name nested 100,000 deep") << namedInt(
        QByteArray("QList<").repeated(100000) + "int" + QByteArray(">").repeated(100000));

    QByteArray nested = beU32(2);
    const QByteArray oneItemList = valueHeader(QMetaType::QVariantList) + beU32(1);
    nested.reserve(100000 * oneItemList.size() + 64);
    for (int i = 0; i < 100000; ++i)
        nested.append(oneItemList);
    nested.append(valueHeader(QMetaType::Int) + beU32(5));
    nested.append(signal);
    QTest::newRow("100,000 nested lists") << nested.toBase64();
}

void tst_Dispatch::unreadableNotifications()
{
    QFETCH(QByteArray, payload);
    QObject *proxy = connectCounter(1, QStringLiteral("one"));
    SignalLog log(proxy);

    QCOMPARE(deliver(companion, makeMessage(1, Velmor::Command::Notify, payload)), true);
    QCOMPARE(log.entries, QStringList());

    // The proxy is unharmed: the next readable notification arrives.
    QCOMPARE(deliver(companion,
                 makeMessage(1, Velmor::Command::Notify,
                     notificationPayload({ QVariant(), QStringLiteral("x()"), 1 }))),
        true);
    QCOMPARE(log.entries, QStringList { QStringLiteral("event x() [int:1]") });
}

QTEST_MAIN(tst_Dispatch)
#include "tst_dispatch.moc"
