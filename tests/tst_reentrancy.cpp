#include "commandcatalogue.h"
#include "fakeremote.h"
#include "hostprobe.h"
#include "messagelog.h"
#include "pluginhost.h"

#include <QtCore/QPointer>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

#include <functional>

using HostProbe::deliver;

namespace {
constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int Invoke = CommandCatalogue::Invoke;
constexpr int SetEvent = CommandCatalogue::SetEvent;

const char *const TimeoutWarning = "\"INVOKE command timeout\"";

QByteArray notificationPayload(const QVariantList &values)
{
    return FakeRemote::encodeValues(values).toBase64();
}

// What a host does from inside one of the module's signals.
enum Trigger {
    Announce, // a new object's handshake
    ComeBack, // a known object returns under its id after going down
    GoDown,
    LoseConnection,
    Notify, // a notification naming the proxy's own rpcConnected()
};
enum Victim { ThePlugin, TheProxy, TheArgument };
} // namespace

// A slot for string-based connections to signals known only by name.
class Hook : public QObject
{
    Q_OBJECT
public:
    std::function<void(QObject *)> action;

public Q_SLOTS:
    void run() { action(nullptr); }
    void runOn(QObject *object) { action(object); }
    void request(const Request *request) { action(const_cast<Request *>(request)); }
};

// Host code that calls back into the module from inside the module's own signals, deletes
// what the module is working on, or loses the connection while a call waits.
class tst_Reentrancy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void invokeFromEventDuringInvoke_data();
    void invokeFromEventDuringInvoke();
    void invokeFromRpcObjectConnected_data();
    void invokeFromRpcObjectConnected();
    void objectDownWhileInvokeWaits();
    void connectionLostWhileInvokeWaits();
    void pluginDeletedWhileInvokeWaits();
    void connectionLostDuringNotification_data();
    void connectionLostDuringNotification();
    void hostDeletesInsideSignal_data();
    void hostDeletesInsideSignal();
    void connectionReentersRequest_data();
    void connectionReentersRequest();
    void connectionInStoppedThread_data();
    void connectionInStoppedThread();
    void churnLeavesNothingAlive();
    void destroyingModuleReleasesPending();

private:
    QObject *connectCounter(quint32 id, const QString &name);

    QPointer<QObject> plugin;
    QObject *companion = nullptr;
    FakeRemote *remote = nullptr;
    HostProbe::RequestTally *tally = nullptr;
};

void tst_Reentrancy::init()
{
    plugin = PluginHost::instance();
    companion = HostProbe::privateCompanion(plugin);
    tally = new HostProbe::RequestTally;
    tally->watch(companion);
    remote = new FakeRemote;
    PluginHost::setConnection(plugin, remote);
}

void tst_Reentrancy::cleanup()
{
    delete plugin;
    delete remote;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // Whatever a test did, nothing the module created outlives it.
    const int alive = tally->alive();
    delete tally;
    QCOMPARE(alive, 0);
}

QObject *tst_Reentrancy::connectCounter(quint32 id, const QString &name)
{
    return remote->publish(plugin, id, FakeRemote::counter(name));
}

void tst_Reentrancy::invokeFromEventDuringInvoke_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("answered inside request") << int(FakeRemote::Direct);
    QTest::newRow("answered from the event loop") << int(FakeRemote::Queued);
}

void tst_Reentrancy::invokeFromEventDuringInvoke()
{
    QFETCH(int, mode);
    QObject *proxy = connectCounter(1, QStringLiteral("c"));
    remote->mode = FakeRemote::AnswerMode(mode);

    // The remote side emits a signal before it answers the outer call, so the notification
    // is dispatched while that call waits; the slot calls the same proxy again.
    bool notified = false;
    FakeRemote::RemoteObject &object = remote->objects[1];
    const auto plainInvoke = object.invoke;
    object.invoke = [&](const QString &signature, const QVariantList &args) {
        if (!notified) {
            notified = true;
            remote->notify(1, { QVariant(), QStringLiteral("changed(int)"), 7 });
        }
        return plainInvoke(signature, args);
    };
    QVariantList inner;
    Hook hook;
    hook.action = [&](QObject *) {
        inner.append(PluginHost::invoke(proxy, QStringLiteral("add"), { 7, 1 }));
    };
    QObject::connect(proxy, SIGNAL(event(QString, QVariantList)), &hook, SLOT(run()));

    MessageLog messages;
    QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 }), QVariant(5));
    QCOMPARE(inner, QVariantList { 8 });
    QCOMPARE(messages.warnings, QStringList());
}

void tst_Reentrancy::invokeFromRpcObjectConnected_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("answered inside request") << int(FakeRemote::Direct);
    QTest::newRow("answered from the event loop") << int(FakeRemote::Queued);
}

void tst_Reentrancy::invokeFromRpcObjectConnected()
{
    QFETCH(int, mode);
    remote->mode = FakeRemote::AnswerMode(mode);
    remote->addObject(4, FakeRemote::counter(QStringLiteral("c")));
    QVariantList results;
    Hook hook;
    hook.action = [&](QObject *proxy) {
        results.append(PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 }));
    };
    QObject::connect(plugin, SIGNAL(rpcObjectConnected(QObject *)), &hook, SLOT(runOn(QObject *)));

    MessageLog messages;
    remote->announce(4);
    QTRY_COMPARE(results, QVariantList { 5 });
    QCOMPARE(messages.warnings, QStringList());
}

void tst_Reentrancy::objectDownWhileInvokeWaits()
{
    QObject *proxy = connectCounter(1, QStringLiteral("c"));
    remote->mode = FakeRemote::Manual;
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    QTimer::singleShot(0, remote, [this] { remote->withdraw(1); });

    MessageLog messages;
    const QVariant result = PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 });

    // Finished with result code 0 and no data: the fallback, without a warning.
    QCOMPARE(result.userType(), int(QMetaType::Int));
    QVERIFY(result.isNull());
    QCOMPARE(messages.warnings, QStringList());
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList { proxy });
}

void tst_Reentrancy::connectionLostWhileInvokeWaits()
{
    QPointer<QObject> proxy = connectCounter(1, QStringLiteral("c"));
    remote->mode = FakeRemote::Manual;
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    QTimer::singleShot(0, remote, [this] { remote->loseConnection(); });

    // Nothing finishes the call once its object is gone, so it runs into the time-out.
    QTest::ignoreMessage(QtWarningMsg, TimeoutWarning);
    const QVariant result = PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 });

    QCOMPARE(result.userType(), int(QMetaType::Int));
    QVERIFY(result.isNull());
    QVERIFY(proxy.isNull());
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());
    // The id is no longer registered: its late answer is refused.
    const FakeRemote::SentRequest call = remote->requestsFor(Invoke).last();
    QCOMPARE(deliver(companion,
                 makeMessage(1, Velmor::Command::Answer,
                     FakeRemote::answerBytes({ true, 5 }, 0, Invoke), call.uid)),
        false);
}

void tst_Reentrancy::pluginDeletedWhileInvokeWaits()
{
    QPointer<QObject> proxy = connectCounter(1, QStringLiteral("c"));
    remote->mode = FakeRemote::Manual;
    QTimer::singleShot(0, remote, [this] { delete plugin; });

    QTest::ignoreMessage(QtWarningMsg, TimeoutWarning);
    const QVariant result = PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 });

    QCOMPARE(result.userType(), int(QMetaType::Int));
    QVERIFY(result.isNull());
    QVERIFY(plugin.isNull());
    QVERIFY(proxy.isNull());
    // A message for the gone module goes nowhere.
    remote->answer(remote->requestsFor(Invoke).last(), { true, 5 });
}

void tst_Reentrancy::connectionLostDuringNotification_data()
{
    QTest::addColumn<QVariantList>("values");
    const QVariant none;
    QTest::newRow("undeclared signal") << QVariantList { none, QStringLiteral("changed(int)"), 1 };
    QTest::newRow("own rpcConnected()") << QVariantList { none, QStringLiteral("rpcConnected()") };
    QTest::newRow("own event with matching values") << QVariantList { none,
        QStringLiteral("event(QString,QVariantList)"), QStringLiteral("x"), QVariantList { 1 } };
}

void tst_Reentrancy::connectionLostDuringNotification()
{
    QFETCH(QVariantList, values);
    QPointer<QObject> proxy = connectCounter(1, QStringLiteral("c"));
    QSignalSpy events(proxy, SIGNAL(event(QString, QVariantList)));
    QSignalSpy reconnected(proxy, SIGNAL(rpcConnected()));
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    Hook hook;
    hook.action = [this](QObject *) { remote->loseConnection(); };
    QObject::connect(proxy, SIGNAL(event(QString, QVariantList)), &hook, SLOT(run()));

    QCOMPARE(
        deliver(companion, makeMessage(1, Velmor::Command::Notify, notificationPayload(values))),
        true);

    // The proxy went with the connection inside the first event; nothing was raised on it
    // afterwards.
    QVERIFY(proxy.isNull());
    QCOMPARE(events.count(), 1);
    QCOMPARE(reconnected.count(), 0);
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());
}

void tst_Reentrancy::hostDeletesInsideSignal_data()
{
    QTest::addColumn<int>("trigger");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("fromProxy");
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<int>("victim");

    const QByteArray objectConnected = SIGNAL(rpcObjectConnected(QObject *));
    const QByteArray objectDisconnected = SIGNAL(rpcObjectDisonnected(QObject *));
    const QByteArray proxyConnected = SIGNAL(rpcConnected());
    const QByteArray proxyDisconnected = SIGNAL(rpcDisconnected());
    const QByteArray event = SIGNAL(event(QString, QVariantList));
    const int direct = FakeRemote::Direct;
    const int queued = FakeRemote::Queued;

    QTest::newRow("plugin in rpcObjectConnected, answered inside request")
        << int(Announce) << direct << false << objectConnected << int(ThePlugin);
    QTest::newRow("plugin in rpcObjectConnected, answered from the event loop")
        << int(Announce) << queued << false << objectConnected << int(ThePlugin);
    QTest::newRow("plugin in rpcObjectConnected of a returning object")
        << int(ComeBack) << direct << false << objectConnected << int(ThePlugin);
    QTest::newRow("plugin in the proxy's rpcConnected")
        << int(ComeBack) << direct << true << proxyConnected << int(ThePlugin);
    QTest::newRow("plugin in event") << int(Notify) << direct << true << event << int(ThePlugin);
    QTest::newRow("plugin in the proxy's rpcConnected raised by a notification")
        << int(Notify) << direct << true << proxyConnected << int(ThePlugin);
    QTest::newRow("plugin in the proxy's rpcDisconnected")
        << int(GoDown) << direct << true << proxyDisconnected << int(ThePlugin);
    QTest::newRow("plugin in rpcObjectDisonnected, object down")
        << int(GoDown) << direct << false << objectDisconnected << int(ThePlugin);
    QTest::newRow("plugin in rpcObjectDisonnected, connection lost")
        << int(LoseConnection) << direct << false << objectDisconnected << int(ThePlugin);

    QTest::newRow("proxy in rpcObjectConnected")
        << int(Announce) << direct << false << objectConnected << int(TheArgument);
    QTest::newRow("proxy in its rpcConnected")
        << int(ComeBack) << direct << true << proxyConnected << int(TheProxy);
    QTest::newRow("proxy in event") << int(Notify) << direct << true << event << int(TheProxy);
    QTest::newRow("proxy in its rpcConnected raised by a notification")
        << int(Notify) << direct << true << proxyConnected << int(TheProxy);
    QTest::newRow("proxy in its rpcDisconnected")
        << int(GoDown) << direct << true << proxyDisconnected << int(TheProxy);
    QTest::newRow("proxy in rpcObjectDisonnected, object down")
        << int(GoDown) << direct << false << objectDisconnected << int(TheArgument);
    QTest::newRow("proxy in rpcObjectDisonnected, connection lost")
        << int(LoseConnection) << direct << false << objectDisconnected << int(TheArgument);
}

void tst_Reentrancy::hostDeletesInsideSignal()
{
    QFETCH(int, trigger);
    QFETCH(int, mode);
    QFETCH(bool, fromProxy);
    QFETCH(QByteArray, signal);
    QFETCH(int, victim);

    QPointer<QObject> proxy;
    if (trigger == Announce) {
        remote->addObject(1, FakeRemote::counter(QStringLiteral("c")));
    } else {
        proxy = connectCounter(1, QStringLiteral("c"));
        QVERIFY(proxy);
        QCOMPARE(PluginHost::sendConnect(proxy, "changed(int)"), 1);
        if (trigger == ComeBack)
            remote->withdraw(1);
    }

    QList<QPointer<QObject>> deleted;
    Hook hook;
    hook.action = [&](QObject *argument) {
        QObject *target = victim == ThePlugin ? plugin.data()
            : victim == TheProxy              ? proxy.data()
                                              : argument;
        QVERIFY(target);
        deleted.append(target);
        delete target;
    };
    QObject *sender = fromProxy ? proxy.data() : plugin.data();
    QVERIFY(sender);
    const QByteArray slot = victim == TheArgument ? SLOT(runOn(QObject *)) : SLOT(run());
    QVERIFY(QObject::connect(sender, signal.constData(), &hook, slot.constData()));

    remote->mode = FakeRemote::AnswerMode(mode);
    switch (trigger) {
    case Announce:
    case ComeBack:
        remote->announce(1);
        break;
    case GoDown:
        remote->withdraw(1);
        break;
    case LoseConnection:
        remote->loseConnection();
        break;
    default:
        remote->notify(1, { QVariant(), QStringLiteral("rpcConnected()") });
        break;
    }
    QTRY_COMPARE(deleted.size(), 1);
    QVERIFY(deleted.at(0).isNull());
    hook.action = [](QObject *) {};

    // A module that survived goes on working.
    if (plugin) {
        remote->mode = FakeRemote::Direct;
        QObject *other = connectCounter(2, QStringLiteral("other"));
        QVERIFY(other);
        QCOMPARE(PluginHost::invoke(other, QStringLiteral("add"), { 1, 2 }), QVariant(3));
    }
}

void tst_Reentrancy::connectionReentersRequest_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("ups");
    // Each announcement sends both commands again, past what an entry keeps unanswered.
    QTest::newRow("ObjectUp inside the SET_EVENT slot") << SetEvent << 1;
    QTest::newRow("nine ObjectUps inside the GETINFO slot") << GetInfo << 9;
}

// A connection that delivers messages from inside its request slot still reads the request
// it was handed once they have been dispatched.
void tst_Reentrancy::connectionReentersRequest()
{
    QFETCH(int, command);
    QFETCH(int, ups);
    remote->mode = FakeRemote::Manual;
    bool reentered = false;
    Hook hook;
    hook.action = [&](QObject *object) {
        auto *request = static_cast<Request *>(object);
        if (reentered || request->command().toInt() != command)
            return;
        reentered = true;
        const QPointer<QObject> guard(object);
        for (int i = 0; i < ups; ++i)
            remote->announce(5);
        QVERIFY(guard);
        QCOMPARE(request->objectId(), 5);
    };
    connect(companion, SIGNAL(request(const Request *)), &hook, SLOT(request(const Request *)));
    remote->announce(5);
    QVERIFY(reentered);
}

void tst_Reentrancy::connectionInStoppedThread_data()
{
    QTest::addColumn<bool>("restarted");
    QTest::newRow("thread left stopped") << false;
    QTest::newRow("thread started again") << true;
}

// The host stops the connection's thread and keeps the connection: the requests wait for
// their queued calls, which run if the thread starts again and go with the connection.
void tst_Reentrancy::connectionInStoppedThread()
{
    QFETCH(bool, restarted);
    QThread thread;
    auto *threaded = new FakeRemote;
    threaded->mode = FakeRemote::Manual;
    threaded->moveToThread(&thread);
    thread.start();
    PluginHost::setConnection(plugin, threaded);
    thread.quit();
    thread.wait();

    for (quint32 id = 1; id <= 10; ++id)
        QVERIFY(deliver(companion, makeMessage(id, Velmor::Command::ObjectUp)));
    if (restarted) {
        thread.start();
        // Queued behind the requests: once it has run, so have they.
        QMetaObject::invokeMethod(threaded, [] {}, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
        QCOMPARE(threaded->requests.size(), 20);
        QCOMPARE(threaded->requests.last().objectId, 10u);
    }
    delete plugin;
    delete threaded;
}

void tst_Reentrancy::churnLeavesNothingAlive()
{
    bool refuseInvokes = false;
    connect(remote, &FakeRemote::requestSeen, this, [&](int command) {
        if (refuseInvokes && command == Invoke)
            remote->refuse(remote->requests.last());
    });
    const QByteArray refused
        = QStringLiteral("\"NO_RIGHTS(Недостаточно прав для выполнения команды)\"").toUtf8();

    for (int cycle = 0; cycle < 200; ++cycle) {
        const quint32 first = 1000 + 2 * quint32(cycle);
        const quint32 second = first + 1;
        const QString name = QStringLiteral("n%1").arg(cycle);

        remote->mode = FakeRemote::Direct;
        remote->addObject(first, FakeRemote::counter(name));
        remote->announce(first);
        QPointer<QObject> proxy = PluginHost::findRpcObject(plugin, name);
        QVERIFY(proxy);
        QCOMPARE(PluginHost::sendConnect(proxy, "changed(int)"), 1);
        QCOMPARE(
            PluginHost::invoke(proxy, QStringLiteral("add"), { cycle, 1 }), QVariant(cycle + 1));

        remote->mode = FakeRemote::Manual;
        refuseInvokes = true;
        QTest::ignoreMessage(QtWarningMsg, refused.constData());
        QVERIFY(PluginHost::invoke(proxy, QStringLiteral("add"), { 1, 1 }).isNull());
        refuseInvokes = false;

        // Down, then back under the same id: one INFO refused, one SET_EVENT taken out by a
        // message of another kind, and a further pair left waiting.
        remote->withdraw(first);
        remote->announce(first);
        remote->refuse(remote->requestsFor(GetInfo).last());
        QCOMPARE(deliver(companion,
                     makeMessage(first, 2, QByteArray(), remote->requestsFor(SetEvent).last().uid)),
            false);
        remote->announce(first);

        // Taken over under a larger id: the older entry leaves with its waiting requests.
        remote->mode = FakeRemote::Direct;
        remote->objects.insert(second, remote->objects.take(first));
        remote->announce(second);
        QCOMPARE(PluginHost::findRpcObject(plugin, name), proxy.data());
        QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 2 }), QVariant(4));

        if (cycle % 10 == 9) {
            remote->mode = FakeRemote::Manual;
            remote->announce(second);
            remote->loseConnection();
            QVERIFY(proxy.isNull());
        }
    }
    remote->loseConnection();
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());

    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(tally->count() > 200 * 10);
    QCOMPARE(tally->alive(), 0);
}

void tst_Reentrancy::destroyingModuleReleasesPending()
{
    connectCounter(4, QStringLiteral("c"));
    remote->mode = FakeRemote::Manual;
    for (quint32 id : { 1u, 2u, 3u, 4u })
        remote->announce(id);
    QVERIFY(tally->count() >= 11);
    QVERIFY(tally->alive() > 0);

    delete plugin;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(tally->alive(), 0);
}

QTEST_MAIN(tst_Reentrancy)
#include "tst_reentrancy.moc"
