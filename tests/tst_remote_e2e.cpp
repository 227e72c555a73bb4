#include "demoservice.h"
#include "pluginhost.h"

#include <socketconnection.h>

#include <QtCore/QPointer>
#include <QtCore/QRegularExpression>
#include <QtCore/QSemaphore>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

#include <algorithm>
#include <memory>

namespace {

constexpr int Patience = 30000;

// Read without value<QObject *>(), which looks into the object: after a lost connection the
// proxies announced are deleted already, and only their addresses are compared.
QObject *spyObject(const QSignalSpy &spy, int index)
{
    return *static_cast<QObject *const *>(spy.at(index).at(0).constData());
}

QStringList sortedNames(const QObjectList &objects)
{
    QStringList names;
    for (const QObject *object : objects)
        names.append(object->objectName());
    names.sort();
    return names;
}

const QStringList demoObjectNames = { QStringLiteral("admin"), QStringLiteral("calculator"),
    QStringLiteral("clock"), QStringLiteral("counter") };

} // namespace

// Calls into the module from its own signals, as hosts commonly do: a call and a subscription
// as each object appears, and from every notification a call and then one that waits through
// the next notification, three deep.
class SlotCaller : public QObject
{
    Q_OBJECT
public:
    explicit SlotCaller(QObject *plugin)
    {
        connect(plugin, SIGNAL(rpcObjectConnected(QObject *)), this,
            SLOT(onObjectConnected(QObject *)));
    }

    QPointer<QObject> calculator;
    QPointer<QObject> counter;
    int subscribed = -1;
    QVariantList sums;

public Q_SLOTS:
    void onObjectConnected(QObject *proxy)
    {
        if (proxy->objectName() == QLatin1String("calculator")) {
            calculator = proxy;
            sums.append(PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 }));
        } else if (proxy->objectName() == QLatin1String("counter")) {
            counter = proxy;
            connect(proxy, SIGNAL(event(QString, QVariantList)), this,
                SLOT(onEvent(QString, QVariantList)));
            subscribed = PluginHost::sendConnect(proxy, "changed(int)");
        }
    }
    void onEvent(const QString &, const QVariantList &params)
    {
        const int value = params.value(0).toInt();
        sums.append(PluginHost::invoke(calculator, QStringLiteral("add"), { value, 10 }));
        if (value < 3)
            PluginHost::invoke(counter, QStringLiteral("increment"), {});
    }
};

// Waits in an event loop of its own from the first notification, as a modal dialog would,
// until the next one arrives: the socket does not announce it while the first one's delivery
// is still running.
class NestedWaiter : public QObject
{
    Q_OBJECT
public:
    int received = 0;
    int receivedWhileWaiting = -1;

public Q_SLOTS:
    void onEvent()
    {
        ++received;
        if (m_loop) {
            m_loop->quit();
            return;
        }
        QEventLoop loop;
        m_loop = &loop;
        QTimer::singleShot(Patience, &loop, &QEventLoop::quit);
        loop.exec();
        m_loop = nullptr;
        receivedWhileWaiting = received;
    }

private:
    QEventLoop *m_loop = nullptr;
};

// The loaded plug-in, the real socket connection and the demo service in a process of its
// own: everything a host meets, with nothing standing in for the remote side.
class tst_RemoteE2e : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void handshake();
    void calls_data();
    void calls();
    void callThatCannotBeMade();
    void callsFromSlots_data();
    void callsFromSlots();
    void signalOnDemand();
    void signalOnTimer();
    void withdrawAndRepublishKeepProxy();
    void serviceKilled();
    void connectionInOtherThread();
    void serviceRestarted_data();
    void serviceRestarted();

private:
    QObject *object(const QString &name) { return PluginHost::findRpcObject(plugin, name); }
    bool waitForAllObjects(QSignalSpy *connected);

    QPointer<QObject> plugin;
    SocketConnection *connection = nullptr;
    std::unique_ptr<DemoService> service;
};

bool tst_RemoteE2e::waitForAllObjects(QSignalSpy *connected)
{
    return QTest::qWaitFor([&] { return connected->count() >= demoObjectNames.size(); }, Patience);
}

void tst_RemoteE2e::init()
{
    plugin = PluginHost::instance();
    service.reset(new DemoService);
    QVERIFY(service->start());
    connection = new SocketConnection;
    PluginHost::setConnection(plugin, connection);
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    QVERIFY(connection->connectToService(service->address()));
    QVERIFY(waitForAllObjects(&connected));
}

void tst_RemoteE2e::cleanup()
{
    delete plugin;
    delete connection;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    service.reset();
}

void tst_RemoteE2e::handshake()
{
    const QObjectList objects = PluginHost::rpcObjects(plugin);
    QCOMPARE(sortedNames(objects), demoObjectNames);

    QObject *calculator = object(QStringLiteral("calculator"));
    QVERIFY(calculator);
    QCOMPARE(calculator->property("className").toString(), QStringLiteral("Calculator"));
    QCOMPARE(calculator->property("methodList").toStringList(),
        QStringList({ QStringLiteral("int add(int,int)"), QStringLiteral("int add(int,int,int)"),
            QStringLiteral("QString greet(QString)"),
            QStringLiteral("QVariantMap stats(QVariantList)") }));
    // QObject's own members are not on offer, signals are not methods.
    QCOMPARE(object(QStringLiteral("counter"))->property("methodList").toStringList(),
        QStringList({ QStringLiteral("void increment()"), QStringLiteral("void reset()"),
            QStringLiteral("int value()") }));
}

void tst_RemoteE2e::calls_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("two-argument overload") << "calculator"
                                           << "add" << QVariantList { 2, 3 } << QVariant(5);
    QTest::newRow("three-argument overload") << "calculator"
                                             << "add" << QVariantList { 1, 2, 3 } << QVariant(6);
    QTest::newRow("arguments converted to the parameter types")
        << "calculator"
        << "add" << QVariantList { QStringLiteral("4"), 2.0 } << QVariant(6);
    QTest::newRow("text") << "calculator"
                          << "greet" << QVariantList { QStringLiteral("Ada") }
                          << QVariant(QStringLiteral("Hello, Ada!"));
    // Large enough to cross the link unwrapped.
    const QString name(20000, QLatin1Char('n'));
    QTest::newRow("large text") << "calculator"
                                << "greet" << QVariantList { name }
                                << QVariant(QStringLiteral("Hello, ") + name + QLatin1Char('!'));
    QTest::newRow("list in, map out")
        << "calculator"
        << "stats" << QVariantList { QVariant(QVariantList { 1, 2, 3 }) }
        << QVariant(QVariantMap { { QStringLiteral("count"), 3 }, { QStringLiteral("sum"), 6.0 },
               { QStringLiteral("mean"), 2.0 } });
    QTest::newRow("string list") << "admin"
                                 << "published" << QVariantList()
                                 << QVariant(QStringList { QStringLiteral("calculator"),
                                        QStringLiteral("counter"), QStringLiteral("clock"),
                                        QStringLiteral("admin") });
    QTest::newRow("no result") << "counter"
                               << "increment" << QVariantList() << QVariant();
}

void tst_RemoteE2e::calls()
{
    QFETCH(QString, objectName);
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(QVariant, expected);

    QObject *proxy = object(objectName);
    QVERIFY(proxy);
    QCOMPARE(PluginHost::invoke(proxy, method, arguments), expected);
}

void tst_RemoteE2e::callThatCannotBeMade()
{
    QObject *calculator = object(QStringLiteral("calculator"));
    // The service refuses an argument that does not convert; the module reports it and
    // leaves the call's result null.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("INVALID_PARAM")));
    const QVariant result
        = PluginHost::invoke(calculator, QStringLiteral("add"), { QStringLiteral("two"), 2 });
    QVERIFY(result.isNull());
    // The counter did not move: nothing else was called instead.
    QCOMPARE(PluginHost::invoke(object(QStringLiteral("counter")), QStringLiteral("value"), {}),
        QVariant(0));
}

void tst_RemoteE2e::callsFromSlots_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<int>("reachedAt");
    QTest::newRow("local socket") << QString() << 0;
    QTest::newRow("TCP") << QStringLiteral("tcp://127.0.0.1:0") << 1;
    QTest::newRow("local socket of a service on TCP too")
        << QStringLiteral("tcp://127.0.0.1:0") << 0;
}

// Frames reach the module from the socket's reading; a call made while one is delivered must
// still get its answer, not wait out its time-out because nobody reads meanwhile.
void tst_RemoteE2e::callsFromSlots()
{
    QFETCH(QString, listen);
    QFETCH(int, reachedAt);
    std::unique_ptr<DemoService> tcpService;
    QString address = service->address();
    if (!listen.isEmpty()) {
        tcpService.reset(new DemoService({ QStringLiteral("--listen"), listen }));
        QVERIFY(tcpService->start());
        address = tcpService->addresses().value(reachedAt);
    }
    connection->disconnectFromService();
    SlotCaller caller(plugin);
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    QVERIFY(connection->connectToService(address));
    QVERIFY(waitForAllObjects(&connected));
    QCOMPARE(caller.sums, QVariantList { 5 });
    QCOMPARE(caller.subscribed, 1);

    PluginHost::invoke(caller.counter, QStringLiteral("increment"), {});
    QCOMPARE(caller.sums, (QVariantList { 5, 11, 12, 13 }));
    QCOMPARE(PluginHost::invoke(caller.counter, QStringLiteral("value"), {}), QVariant(3));
}

void tst_RemoteE2e::signalOnDemand()
{
    QObject *counter = object(QStringLiteral("counter"));
    QSignalSpy events(counter, SIGNAL(event(QString, QVariantList)));
    QCOMPARE(PluginHost::sendConnect(counter, "nothing(int)"), 0);
    QCOMPARE(PluginHost::sendConnect(counter, "changed(int)"), 1);

    PluginHost::invoke(counter, QStringLiteral("increment"), {});
    PluginHost::invoke(counter, QStringLiteral("increment"), {});
    QTRY_COMPARE_WITH_TIMEOUT(events.count(), 2, Patience);
    QCOMPARE(events.at(0).at(0).toString(), QStringLiteral("changed(int)"));
    QCOMPARE(events.at(0).at(1).toList(), QVariantList { 1 });
    QCOMPARE(events.at(1).at(1).toList(), QVariantList { 2 });
}

void tst_RemoteE2e::signalOnTimer()
{
    QObject *clock = object(QStringLiteral("clock"));
    QSignalSpy events(clock, SIGNAL(event(QString, QVariantList)));
    NestedWaiter waiter;
    connect(clock, SIGNAL(event(QString, QVariantList)), &waiter, SLOT(onEvent()));
    QCOMPARE(PluginHost::sendConnect(clock, "tick(QString)"), 1);

    QTRY_VERIFY_WITH_TIMEOUT(waiter.receivedWhileWaiting >= 0, Patience);
    QCOMPARE(waiter.receivedWhileWaiting, 2);
    QVERIFY(events.count() >= 2);
    const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$"));
    for (const QList<QVariant> &event : qAsConst(events)) {
        QCOMPARE(event.at(0).toString(), QStringLiteral("tick(QString)"));
        const QVariantList params = event.at(1).toList();
        QCOMPARE(params.size(), 1);
        QVERIFY2(
            time.match(params.at(0).toString()).hasMatch(), qPrintable(params.at(0).toString()));
    }
}

void tst_RemoteE2e::withdrawAndRepublishKeepProxy()
{
    QObject *admin = object(QStringLiteral("admin"));
    QPointer<QObject> counter = object(QStringLiteral("counter"));
    QCOMPARE(PluginHost::sendConnect(counter, "changed(int)"), 1);
    PluginHost::invoke(counter, QStringLiteral("increment"), {});
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    QSignalSpy proxyDown(counter, SIGNAL(rpcDisconnected()));
    QSignalSpy events(counter, SIGNAL(event(QString, QVariantList)));

    QCOMPARE(PluginHost::invoke(admin, QStringLiteral("withdraw"), { QStringLiteral("counter") }),
        QVariant(true));
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, Patience);
    QCOMPARE(spyObject(disconnected, 0), counter.data());
    QCOMPARE(proxyDown.count(), 1);
    QTest::ignoreMessage(QtWarningMsg, "RPC Class Counter disconnected");
    QVERIFY(PluginHost::invoke(counter, QStringLiteral("value"), {}).isNull());

    QCOMPARE(PluginHost::invoke(admin, QStringLiteral("republish"), { QStringLiteral("counter") }),
        QVariant(true));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, Patience);
    QCOMPARE(spyObject(connected, 0), counter.data());
    QVERIFY(counter);
    QCOMPARE(object(QStringLiteral("counter")), counter.data());
    QCOMPARE(sortedNames(PluginHost::rpcObjects(plugin)), demoObjectNames);

    // The service kept the object and the module renewed the subscription by itself.
    QCOMPARE(PluginHost::invoke(counter, QStringLiteral("value"), {}), QVariant(1));
    PluginHost::invoke(counter, QStringLiteral("increment"), {});
    QTRY_COMPARE_WITH_TIMEOUT(events.count(), 1, Patience);
    QCOMPARE(events.at(0).at(1).toList(), QVariantList { 2 });
}

void tst_RemoteE2e::serviceKilled()
{
    // A host may cut every link to a proxy, destroyed() included, and delete it: the loss
    // passes it by.
    QObject *dropped = object(QStringLiteral("clock"));
    dropped->disconnect();
    delete dropped;
    QList<QPointer<QObject>> proxies;
    const QObjectList before = PluginHost::rpcObjects(plugin);
    for (QObject *proxy : before)
        proxies.append(proxy);
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    QSignalSpy states(connection, &SocketConnection::stateChanged);

    // A call waiting when the service dies returns then, answered by the connection itself,
    // not at its time-out.
    service->freeze();
    QTimer::singleShot(50, this, [this] { service->kill(); });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("CONNECTION_ERROR")));
    QVERIFY(PluginHost::invoke(object(QStringLiteral("counter")), QStringLiteral("value"), {})
                .isNull());
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), before.size(), Patience);
    QObjectList announced;
    for (int i = 0; i < disconnected.count(); ++i)
        announced.append(spyObject(disconnected, i));
    std::sort(announced.begin(), announced.end());
    QObjectList expected = before;
    std::sort(expected.begin(), expected.end());
    QCOMPARE(announced, expected);

    QVERIFY(states.count() >= 1);
    QCOMPARE(
        states.at(0).at(0).value<Velmor::Connection::State>(), Velmor::Connection::ConnectionLost);
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());
    QCOMPARE(object(QStringLiteral("counter")), nullptr);
    QCOMPARE(object(QStringLiteral("clock")), nullptr);
    for (const QPointer<QObject> &proxy : qAsConst(proxies))
        QVERIFY(!proxy);
}

// Hosts keep socket I/O off their own thread; the module then hands requests over queued, and
// each must stay readable until the connection's slot has run, whatever the module frees
// meanwhile. The gate holds the connection's thread so that requests queue up behind it.
void tst_RemoteE2e::connectionInOtherThread()
{
    connection->disconnectFromService();
    QThread worker;
    auto *threaded = new SocketConnection;
    threaded->moveToThread(&worker);
    connect(&worker, &QThread::finished, threaded, &QObject::deleteLater);
    worker.start();
    QSemaphore gate;
    const auto holdWorker = [&] {
        QMetaObject::invokeMethod(threaded, [&gate] { gate.acquire(); }, Qt::QueuedConnection);
    };

    PluginHost::setConnection(plugin, threaded);
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    bool started = false;
    QMetaObject::invokeMethod(threaded, "connectToService", Qt::BlockingQueuedConnection,
        Q_RETURN_ARG(bool, started), Q_ARG(QString, service->address()));
    QVERIFY(started);
    QVERIFY(waitForAllObjects(&connected));

    // An object withdrawn and published again, announced while its commands still queue.
    QObject *admin = object(QStringLiteral("admin"));
    connected.clear();
    QCOMPARE(PluginHost::invoke(admin, QStringLiteral("withdraw"), { QStringLiteral("counter") }),
        QVariant(true));
    QCOMPARE(PluginHost::invoke(admin, QStringLiteral("republish"), { QStringLiteral("counter") }),
        QVariant(true));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, Patience);

    // A call that times out before the connection has even read its request; its answer
    // comes late and changes nothing.
    QObject *calculator = object(QStringLiteral("calculator"));
    holdWorker();
    QTest::ignoreMessage(QtWarningMsg, "\"INVOKE command timeout\"");
    QVERIFY(PluginHost::invoke(calculator, QStringLiteral("add"), { 1, 1 }).isNull());
    gate.release();
    QCOMPARE(PluginHost::invoke(calculator, QStringLiteral("add"), { 2, 3 }), QVariant(5));

    // The module deleted while its request waits for the connection's thread.
    holdWorker();
    QTimer::singleShot(0, this, [&] {
        delete plugin;
        gate.release();
    });
    QTest::ignoreMessage(QtWarningMsg, "\"INVOKE command timeout\"");
    PluginHost::invoke(calculator, QStringLiteral("add"), { 4, 5 });
    QVERIFY(!plugin);
    // Runs after every request the connection was handed.
    QMetaObject::invokeMethod(threaded, [] {}, Qt::BlockingQueuedConnection);
    worker.quit();
    QVERIFY(worker.wait(Patience));
}

void tst_RemoteE2e::serviceRestarted_data()
{
    QTest::addColumn<bool>("autoReconnect");
    QTest::newRow("reconnecting by itself") << true;
    QTest::newRow("connected again by the host") << false;
}

void tst_RemoteE2e::serviceRestarted()
{
    QFETCH(bool, autoReconnect);
    connection->setReconnectDelays(50, 500);
    connection->setAutoReconnect(autoReconnect);
    QObject *counter = object(QStringLiteral("counter"));
    PluginHost::invoke(counter, QStringLiteral("increment"), {});
    QList<QPointer<QObject>> oldProxies;
    const QObjectList before = PluginHost::rpcObjects(plugin);
    for (QObject *proxy : before)
        oldProxies.append(proxy);

    service->kill();
    QTRY_VERIFY_WITH_TIMEOUT(PluginHost::rpcObjects(plugin).isEmpty(), Patience);
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    QVERIFY(service->start());
    if (!autoReconnect)
        QVERIFY(connection->connectToService(service->address()));

    QVERIFY(waitForAllObjects(&connected));
    QCOMPARE(sortedNames(PluginHost::rpcObjects(plugin)), demoObjectNames);
    for (const QPointer<QObject> &proxy : qAsConst(oldProxies))
        QVERIFY(!proxy);
    // A new service process: new proxies talking to objects with fresh state.
    QCOMPARE(PluginHost::invoke(object(QStringLiteral("counter")), QStringLiteral("value"), {}),
        QVariant(0));
    QCOMPARE(
        PluginHost::invoke(object(QStringLiteral("calculator")), QStringLiteral("add"), { 2, 3 }),
        QVariant(5));
}

QTEST_MAIN(tst_RemoteE2e)
#include "tst_remote_e2e.moc"
