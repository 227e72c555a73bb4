#include "commandcatalogue.h"
#include "fakeremote.h"
#include "pluginhost.h"

#include <QtCore/QPointer>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

namespace {
constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int GetMetaInfo = CommandCatalogue::GetMetaInfo;
constexpr int SigConnect = CommandCatalogue::SigConnect;
constexpr int SetEvent = CommandCatalogue::SetEvent;

enum class Cut { None, Disconnect, Block };
enum class Action { Rename, DeleteThenLose, DeleteThenTakeOver };

QObject *spyObject(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<QObject *>();
}
} // namespace

class Recorder : public QObject
{
    Q_OBJECT
public:
    QStringList names;
    QList<QPointer<QObject>> proxies;
public Q_SLOTS:
    void record(QObject *proxy)
    {
        names.append(proxy->objectName());
        proxies.append(proxy);
    }
};

// Drives the object life cycle through the loaded plug-in: handshake, take-over by name,
// going down and coming back, connection loss.
class tst_Lifecycle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void handshake_data();
    void handshake();
    void twoObjectUpsForNewId();
    void infoWithFewerThanTwoValues();
    void takeOverByName();
    void noTakeOverBySmallerNewId();
    void objectDownKeepsEntryAndProxy();
    void sameIdComesBack_data();
    void sameIdComesBack();
    void connectionLost();
    void otherStatesChangeNothing_data();
    void otherStatesChangeNothing();
    void newProxyAfterConnectionLost();
    void hostCutsLinks_data();
    void hostCutsLinks();

private:
    QObject *plugin = nullptr;
    FakeRemote *remote = nullptr;
};

void tst_Lifecycle::init()
{
    plugin = PluginHost::instance();
    remote = new FakeRemote;
    PluginHost::setConnection(plugin, remote);
}

void tst_Lifecycle::cleanup()
{
    delete plugin;
    delete remote;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_Lifecycle::handshake_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QList<int>>("commands");
    // Answered at once, the INFO answer asks for meta information before SET_EVENT leaves.
    QTest::newRow("answered inside request")
        << int(FakeRemote::Direct) << QList<int>({GetInfo, GetMetaInfo, SetEvent});
    QTest::newRow("answered from the event loop")
        << int(FakeRemote::Queued) << QList<int>({GetInfo, SetEvent, GetMetaInfo});
}

void tst_Lifecycle::handshake()
{
    QFETCH(int, mode);
    QFETCH(QList<int>, commands);
    remote->mode = FakeRemote::AnswerMode(mode);
    remote->addObject(5, FakeRemote::counter(QStringLiteral("counter")));
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));

    remote->announce(5);
    QTRY_COMPARE(connected.count(), 1);

    QObject *proxy = spyObject(connected, 0);
    QCOMPARE(proxy->objectName(), QStringLiteral("counter"));
    QCOMPARE(proxy->property("className").toString(), QStringLiteral("Counter"));
    QCOMPARE(proxy->property("methodList").toStringList(),
             QStringList({QStringLiteral("int add(int,int)"), QStringLiteral("void reset()"),
                          QStringLiteral("QString name()")}));
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList{proxy});
    QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("counter")), proxy);

    QList<int> sent;
    for (const auto &r : qAsConst(remote->requests))
        sent.append(r.command);
    QCOMPARE(sent, commands);
    QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), {2, 3}), QVariant(5));
}

void tst_Lifecycle::twoObjectUpsForNewId()
{
    remote->mode = FakeRemote::Manual;
    remote->addObject(4, FakeRemote::counter(QStringLiteral("c")));
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    remote->announce(4);
    remote->announce(4);
    QCOMPARE(remote->requestsFor(GetInfo).size(), 2);
    QCOMPARE(remote->requestsFor(SetEvent).size(), 2);

    // Both INFO answers arrive; only the first creates a proxy and asks for meta information.
    const auto infos = remote->requestsFor(GetInfo);
    remote->answer(infos.at(0), {4u, QStringLiteral("c")});
    remote->answer(infos.at(1), {4u, QStringLiteral("c")});
    QCOMPARE(remote->requestsFor(GetMetaInfo).size(), 1);
    remote->answer(remote->requestsFor(GetMetaInfo).at(0), {remote->objects[4].metaInfo});
    QCOMPARE(connected.count(), 1);
    QCOMPARE(PluginHost::rpcObjects(plugin).size(), 1);
}

void tst_Lifecycle::infoWithFewerThanTwoValues()
{
    remote->mode = FakeRemote::Manual;
    remote->announce(3);
    remote->answer(remote->requestsFor(GetInfo).at(0), {3u});
    QCOMPARE(remote->requestsFor(GetMetaInfo).size(), 1);
    const QObjectList objects = PluginHost::rpcObjects(plugin);
    QCOMPARE(objects.size(), 1);
    QVERIFY(objects.at(0)->objectName().isEmpty());
    QCOMPARE(PluginHost::findRpcObject(plugin, QString()), objects.at(0));
}

void tst_Lifecycle::takeOverByName()
{
    remote->addObject(5, FakeRemote::counter(QStringLiteral("S")));
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    remote->announce(5);
    QCOMPARE(connected.count(), 1);
    QObject *proxy = spyObject(connected, 0);
    QCOMPARE(PluginHost::sendConnect(proxy, "changed(int)"), 1);

    remote->withdraw(5);
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(spyObject(disconnected, 0), proxy);

    remote->objects.insert(9, remote->objects.take(5));
    const int sigConnectsBefore = remote->requestsFor(SigConnect).size();
    remote->announce(9);
    QCOMPARE(connected.count(), 2);
    QCOMPARE(spyObject(connected, 1), proxy);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList{proxy});
    // The subscription came along with the proxy and was sent again under the new id.
    const auto sigConnects = remote->requestsFor(SigConnect);
    QCOMPARE(sigConnects.size(), sigConnectsBefore + 1);
    QCOMPARE(sigConnects.last().objectId, 9u);
    // Id 5 is gone: an answer for it is rejected.
    QVERIFY(remote->requests.last().objectId == 9u);
    QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), {1, 2}), QVariant(3));
    QCOMPARE(remote->requests.last().objectId, 9u);
}

void tst_Lifecycle::noTakeOverBySmallerNewId()
{
    remote->addObject(5, FakeRemote::counter(QStringLiteral("S")));
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    remote->announce(5);
    QObject *first = spyObject(connected, 0);
    remote->withdraw(5);

    remote->addObject(3, FakeRemote::counter(QStringLiteral("S")));
    remote->announce(3);
    QCOMPARE(connected.count(), 2);
    QObject *second = spyObject(connected, 1);
    QVERIFY(second != first);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList({second, first}));
    QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("S")), second);
}

void tst_Lifecycle::objectDownKeepsEntryAndProxy()
{
    remote->addObject(2, FakeRemote::counter(QStringLiteral("c")));
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    remote->announce(2);
    QObject *proxy = spyObject(connected, 0);
    QSignalSpy proxyDown(proxy, SIGNAL(rpcDisconnected()));
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));

    remote->withdraw(2);
    QCOMPARE(proxyDown.count(), 1);
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList{proxy});

    // Disconnected: invoke warns with the class name and sends nothing.
    const int sent = remote->requests.size();
    QTest::ignoreMessage(QtWarningMsg, "RPC Class Counter disconnected");
    QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), {1, 2}), QVariant());
    QCOMPARE(remote->requests.size(), sent);
}

void tst_Lifecycle::sameIdComesBack_data()
{
    QTest::addColumn<QString>("returning");
    QTest::newRow("the same object") << QStringLiteral("S");
    // The id reused by another object: the proxy stays down, loaded with nothing of it.
    QTest::newRow("another object") << QStringLiteral("T");
}

void tst_Lifecycle::sameIdComesBack()
{
    QFETCH(QString, returning);
    const bool same = returning == QLatin1String("S");
    remote->addObject(5, FakeRemote::counter(QStringLiteral("S")));
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    remote->announce(5);
    QObject *proxy = spyObject(connected, 0);
    PluginHost::sendConnect(proxy, "changed(int)");
    remote->withdraw(5);
    QSignalSpy proxyUp(proxy, SIGNAL(rpcConnected()));

    remote->objects[5].name = returning;
    const int sigConnects = remote->requestsFor(SigConnect).size();
    const int metaInfos = remote->requestsFor(GetMetaInfo).size();
    remote->announce(5);
    QCOMPARE(connected.count(), same ? 2 : 1);
    QCOMPARE(proxyUp.count(), same ? 1 : 0);
    QCOMPARE(remote->requestsFor(GetMetaInfo).size(), metaInfos + (same ? 1 : 0));
    QCOMPARE(remote->requestsFor(SigConnect).size(), sigConnects + (same ? 1 : 0));
    QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("S")), proxy);
    QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("T")), nullptr);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList{proxy});
    if (same) {
        QCOMPARE(spyObject(connected, 1), proxy);
        QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), {4, 5}), QVariant(9));
        // Announced again while connected: nothing is fetched again.
        remote->announce(5);
        QCOMPARE(remote->requestsFor(GetMetaInfo).size(), metaInfos + 1);
        QCOMPARE(connected.count(), 2);
    }

    // Whatever came under 5, the name still brings the proxy back under a larger id.
    remote->addObject(9, FakeRemote::counter(QStringLiteral("S")));
    remote->announce(9);
    QCOMPARE(spyObject(connected, connected.count() - 1), proxy);
    QCOMPARE(remote->requestsFor(SigConnect).last().objectId, 9u);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList{proxy});
}

void tst_Lifecycle::connectionLost()
{
    for (quint32 id : {2u, 7u, 4u}) {
        remote->addObject(id, FakeRemote::counter(QStringLiteral("o%1").arg(id)));
        remote->announce(id);
    }
    QCOMPARE(PluginHost::rpcObjects(plugin).size(), 3);

    Recorder recorder;
    QObject::connect(plugin, SIGNAL(rpcObjectDisonnected(QObject *)), &recorder,
                     SLOT(record(QObject *)));
    remote->loseConnection();

    QCOMPARE(recorder.names, QStringList({QStringLiteral("o2"), QStringLiteral("o4"),
                                          QStringLiteral("o7")}));
    // Each proxy was alive inside the slot and is deleted right after it.
    QCOMPARE(recorder.proxies.size(), 3);
    for (const QPointer<QObject> &proxy : qAsConst(recorder.proxies))
        QVERIFY(proxy.isNull());
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());
    QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("o2")), nullptr);
}

void tst_Lifecycle::otherStatesChangeNothing_data()
{
    QTest::addColumn<int>("state");
    QTest::newRow("connected") << 2;
    QTest::newRow("zero") << 0;
    QTest::newRow("minus 99") << -99;
    QTest::newRow("minus 101") << -101;
}

void tst_Lifecycle::otherStatesChangeNothing()
{
    QFETCH(int, state);
    remote->addObject(1, FakeRemote::counter(QStringLiteral("c")));
    remote->announce(1);
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    remote->setState(state);
    QCOMPARE(disconnected.count(), 0);
    QCOMPARE(PluginHost::rpcObjects(plugin).size(), 1);
}

void tst_Lifecycle::newProxyAfterConnectionLost()
{
    remote->addObject(1, FakeRemote::counter(QStringLiteral("c")));
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    remote->announce(1);
    QPointer<QObject> first = spyObject(connected, 0);
    remote->loseConnection();
    QVERIFY(first.isNull());
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());

    remote->announce(1);
    QCOMPARE(connected.count(), 2);
    QCOMPARE(PluginHost::rpcObjects(plugin).size(), 1);
    QCOMPARE(PluginHost::rpcObjects(plugin).at(0)->objectName(), QStringLiteral("c"));
}

void tst_Lifecycle::hostCutsLinks_data()
{
    QTest::addColumn<int>("cut");
    QTest::addColumn<int>("action");
    const QVector<QPair<const char *, Cut>> cuts { { "links kept", Cut::None },
        { "after disconnect()", Cut::Disconnect }, { "signals blocked", Cut::Block } };
    const QVector<QPair<const char *, Action>> actions { { "renamed", Action::Rename },
        { "deleted, then connection lost", Action::DeleteThenLose },
        { "deleted, then its name under a larger id", Action::DeleteThenTakeOver } };
    for (const auto &action : actions) {
        for (const auto &cut : cuts) {
            QTest::addRow("%s, %s", action.first, cut.first) << int(cut.second)
                                                            << int(action.second);
        }
    }
}

// Hosts disconnect() proxies (which also cuts destroyed()), block their signals, rename and
// delete them: lookups see the proxies as they are, and nothing touches a deleted one.
void tst_Lifecycle::hostCutsLinks()
{
    QFETCH(int, cut);
    QFETCH(int, action);
    remote->addObject(1, FakeRemote::counter(QStringLiteral("a")));
    remote->addObject(2, FakeRemote::counter(QStringLiteral("b")));
    remote->announce(1);
    remote->announce(2);
    QObject *a = PluginHost::findRpcObject(plugin, QStringLiteral("a"));
    QObject *b = PluginHost::findRpcObject(plugin, QStringLiteral("b"));
    QVERIFY(a && b && a != b);
    for (QObject *proxy : {a, b}) {
        if (Cut(cut) == Cut::Disconnect)
            proxy->disconnect();
        else if (Cut(cut) == Cut::Block)
            proxy->blockSignals(true);
    }

    if (Action(action) == Action::Rename) {
        b->setObjectName(QStringLiteral("a"));
        QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("b")), nullptr);
        QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("a")), a);
        a->setObjectName(QStringLiteral("z"));
        QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("a")), b);
        QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("z")), a);

        // Take-over follows the current names too: id 5 announces "z", the name a now carries.
        remote->withdraw(1);
        remote->addObject(5, FakeRemote::counter(QStringLiteral("z")));
        remote->announce(5);
        QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("z")), a);
        QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList({b, a}));
        return;
    }

    delete b;
    QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("b")), nullptr);
    QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList{a});
    QSignalSpy disconnected(plugin, SIGNAL(rpcObjectDisonnected(QObject *)));
    if (Action(action) == Action::DeleteThenTakeOver) {
        remote->addObject(5, FakeRemote::counter(QStringLiteral("b")));
        remote->announce(5);
        QObject *fresh = PluginHost::findRpcObject(plugin, QStringLiteral("b"));
        QVERIFY(fresh && fresh != a);
        QCOMPARE(PluginHost::rpcObjects(plugin), QObjectList({a, fresh}));
    }
    remote->loseConnection();
    QCOMPARE(disconnected.count(), Action(action) == Action::DeleteThenTakeOver ? 2 : 1);
    QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("b")), nullptr);
    QCOMPARE(PluginHost::findRpcObject(plugin, QStringLiteral("a")), nullptr);
    QVERIFY(PluginHost::rpcObjects(plugin).isEmpty());
}

QTEST_MAIN(tst_Lifecycle)
#include "tst_lifecycle.moc"
