#include "commandcatalogue.h"
#include "fakeremote.h"
#include "messagelog.h"
#include "propertycheck.h"
#include "remotoobject.h"
#include "remotoplugin.h"
#include "remotopluginprivate.h"
#include "remotoresponse.h"

#include <QtCore/QMetaMethod>
#include <QtCore/QMetaProperty>
#include <QtCore/QPointer>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

namespace {
constexpr quint32 CounterId = 7;
constexpr int SigConnect = CommandCatalogue::SigConnect;

QVariantList metaInfo(const QStringList &records)
{
    return QVariantList { records };
}

const QStringList counterRecords {
    QStringLiteral("Counter"),
    QStringLiteral("Method int add(int,int)"),
    QStringLiteral("Slot void reset()"),
    QStringLiteral("Signal void changed(int)"),
    QStringLiteral("Method QString name()"),
};

const QStringList counterMethods {
    QStringLiteral("int add(int,int)"),
    QStringLiteral("void reset()"),
    QStringLiteral("QString name()"),
};

// A plug-in attached to a fake remote side that has published one Counter: the proxy has
// gone through the whole handshake and is connected.
struct Rig
{
    Rig()
    {
        plugin->setConnection(&remote);
        proxy = qobject_cast<RemotoObject *>(
            remote.publish(plugin, CounterId, FakeRemote::counter(QStringLiteral("counter"))));
        remote.requests.clear();
    }
    ~Rig() { delete plugin; }

    // The payloads of the SIGCONNECT requests sent so far, as sent.
    QByteArrayList subscriptionPayloads() const
    {
        QByteArrayList payloads;
        for (const FakeRemote::SentRequest &request : remote.requestsFor(SigConnect))
            payloads.append(request.payload);
        return payloads;
    }

    bool payloadsAreByteArrays() const
    {
        for (const FakeRemote::SentRequest &request : remote.requests) {
            if (!request.payloadIsByteArray)
                return false;
        }
        return true;
    }

    FakeRemote remote;
    RemotoPlugin *plugin = new RemotoPlugin;
    RemotoPluginPrivate *d = plugin->findChild<RemotoPluginPrivate *>();
    RemotoObject *proxy = nullptr;
};

QByteArrayList base64(const QByteArrayList &texts)
{
    QByteArrayList encoded;
    for (const QByteArray &text : texts)
        encoded.append(text.toBase64());
    return encoded;
}
} // namespace

class TestRemotoObject : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanupTestCase();

    void initialState();
    void nullParent();
    void metaObjectMethods_data();
    void metaObjectMethods();
    void metaObjectProperties_data();
    void metaObjectProperties();

    void processMetaInfo_data();
    void processMetaInfo();
    void loadingClearsConnected();
    void emptyMetaInfoKeepsConnectedObjectUsable_data();
    void emptyMetaInfoKeepsConnectedObjectUsable();

    void duplicateSubscription();
    void byteDifferentTextsAreTwoSubscriptions();
    void refusedSubscriptionIsResent();
    void disconnectingSendsNothing();
    void connectingResendsInSubscriptionOrder();
    void connectingWithoutSubscriptions();
    void subscriptionsFromConnectedSlotsAreResent();
    void resubscriptionDoesNotWait();
    void subscribingWhileDisconnected();
    void subscribingToEmptyText();
    void subscribingThroughMetaObject();
    void destructionSendsNothing();
};

void TestRemotoObject::cleanupTestCase()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TestRemotoObject::initialState()
{
    RemotoPlugin plugin;
    RemotoObject object(&plugin);
    QVERIFY(object.className().isNull());
    QVERIFY(object.property("className").toString().isNull());
    QVERIFY(object.methodList().isEmpty());
    QVERIFY(object.property("methodList").toStringList().isEmpty());
    QVERIFY(!object.isConnected());
    QVERIFY(object.objectName().isEmpty());
}

void TestRemotoObject::nullParent()
{
    MessageLog log;
    log.expect(QtCriticalMsg, QStringLiteral("\"RemotoObject parent=null\""));
    RemotoObject object(nullptr);
    QCOMPARE(log.messages, log.expected);

    // The object is usable; it just has no plug-in to send through.
    object.processMetaInfo(metaInfo(counterRecords));
    QCOMPARE(object.className(), QStringLiteral("Counter"));
    QCOMPARE(object.sendConnect("changed(int)"), 0);
    QCOMPARE(log.messages, log.expected);
}

void TestRemotoObject::metaObjectMethods_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<int>("methodType");
    QTest::addColumn<QByteArray>("returnType");
    QTest::addColumn<QByteArrayList>("parameterNames");

    const int signal = QMetaMethod::Signal;
    const int method = QMetaMethod::Method;
    QTest::newRow("rpcDisconnected")
        << 0 << QByteArray("rpcDisconnected()") << signal << QByteArray("void") << QByteArrayList();
    QTest::newRow("rpcConnected") << 1 << QByteArray("rpcConnected()") << signal
                                  << QByteArray("void") << QByteArrayList();
    QTest::newRow("event") << 2 << QByteArray("event(QString,QVariantList)") << signal
                           << QByteArray("void") << QByteArrayList { "name", "params" };
    QTest::newRow("className") << 3 << QByteArray("className()") << method << QByteArray("QString")
                               << QByteArrayList();
    QTest::newRow("invoke with list")
        << 4 << QByteArray("invoke(QString,QVariantList)") << method << QByteArray("QVariant")
        << QByteArrayList { "method_name", "param" };
    QTest::newRow("invoke without arguments")
        << 5 << QByteArray("invoke(QString)") << method << QByteArray("QVariant")
        << QByteArrayList { "method_name" };
    QTest::newRow("invoke with one value")
        << 6 << QByteArray("invoke(QString,QVariant)") << method << QByteArray("QVariant")
        << QByteArrayList { "method_name", "param" };
    QTest::newRow("sendConnect") << 7 << QByteArray("sendConnect(const char*)") << method
                                 << QByteArray("int") << QByteArrayList { "signal" };
}

void TestRemotoObject::metaObjectMethods()
{
    QFETCH(int, index);
    QFETCH(QByteArray, signature);
    QFETCH(int, methodType);
    QFETCH(QByteArray, returnType);
    QFETCH(QByteArrayList, parameterNames);

    const QMetaObject &meta = RemotoObject::staticMetaObject;
    QCOMPARE(meta.className(), "RemotoObject");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 8);
    QCOMPARE(meta.classInfoCount() - meta.classInfoOffset(), 0);

    const QMetaMethod m = meta.method(meta.methodOffset() + index);
    QCOMPARE(m.methodSignature(), signature);
    QCOMPARE(int(m.methodType()), methodType);
    QCOMPARE(m.access(), QMetaMethod::Public);
    QCOMPARE(QByteArray(m.typeName()), returnType);
    QCOMPARE(m.parameterNames(), parameterNames);
    QCOMPARE(meta.indexOfMethod(signature.constData()), meta.methodOffset() + index);
}

void TestRemotoObject::metaObjectProperties_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("typeName");

    QTest::newRow("className") << QByteArray("className") << QByteArray("QString");
    QTest::newRow("methodList") << QByteArray("methodList") << QByteArray("QStringList");
}

void TestRemotoObject::metaObjectProperties()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, typeName);

    const QMetaObject &meta = RemotoObject::staticMetaObject;
    QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 2);
    const int index = meta.indexOfProperty(name.constData());
    QVERIFY(index >= meta.propertyOffset());
    const QMetaProperty property = meta.property(index);
    QCOMPARE(QByteArray(property.typeName()), typeName);
    verifyPlainReadOnly(property);
    if (QTest::currentTestFailed())
        return;

    RemotoPlugin plugin;
    RemotoObject object(&plugin);
    object.processMetaInfo(metaInfo(counterRecords));
    QVERIFY(!property.write(&object, QVariant()));
    QCOMPARE(object.className(), QStringLiteral("Counter"));
    QCOMPARE(object.methodList(), counterMethods);
}

void TestRemotoObject::processMetaInfo_data()
{
    QTest::addColumn<QVariantList>("values");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QStringList>("methodList");
    QTest::addColumn<QStringList>("warnings");

    // Every row starts from an object that already holds this, so rows that must leave the
    // object alone and rows that must replace everything both show.
    const QString before = QStringLiteral("Previous");
    const QStringList beforeMethods { QStringLiteral("int a()"), QStringLiteral("void b()"),
        QStringLiteral("int c(int)"), QStringLiteral("bool d()") };
    const QString empty = QStringLiteral("\"processMetaInfo: empty metadata\"");

    QTest::newRow("worked example")
        << metaInfo(counterRecords) << QStringLiteral("Counter") << counterMethods << QStringList();
    QTest::newRow("reload with fewer records")
        << metaInfo({ QStringLiteral("Counter"), QStringLiteral("Slot void reset()") })
        << QStringLiteral("Counter") << QStringList { QStringLiteral("void reset()") }
        << QStringList();
    QTest::newRow("class name only") << metaInfo({ QStringLiteral("Bare") })
                                     << QStringLiteral("Bare") << QStringList() << QStringList();
    QTest::newRow("single string") << QVariantList { QStringLiteral("Lonely") }
                                   << QStringLiteral("Lonely") << QStringList() << QStringList();
    QTest::newRow("empty class name")
        << metaInfo({ QString(), QStringLiteral("Method int a()") }) << QString()
        << QStringList { QStringLiteral("int a()") } << QStringList();
    QTest::newRow("only the first value is read")
        << QVariantList { QStringList { QStringLiteral("First"), QStringLiteral("Method int x()") },
               QStringList { QStringLiteral("Second"), QStringLiteral("Method int y()") } }
        << QStringLiteral("First") << QStringList { QStringLiteral("int x()") } << QStringList();
    QTest::newRow("signals only") << metaInfo({ QStringLiteral("Emitter"),
        QStringLiteral("Signal void changed(int)"), QStringLiteral("Signal void reset()") })
                                  << QStringLiteral("Emitter") << QStringList() << QStringList();
    QTest::newRow("slot and method interleaved")
        << metaInfo({ QStringLiteral("Mixed"), QStringLiteral("Slot void a()"),
               QStringLiteral("Method int b(int)"), QStringLiteral("Signal void s()"),
               QStringLiteral("Slot void c(QString)"), QStringLiteral("Method QString d()") })
        << QStringLiteral("Mixed")
        << QStringList { QStringLiteral("void a()"), QStringLiteral("int b(int)"),
               QStringLiteral("void c(QString)"), QStringLiteral("QString d()") }
        << QStringList();
    QTest::newRow("duplicates kept")
        << metaInfo({ QStringLiteral("Twice"), QStringLiteral("Method int a()"),
               QStringLiteral("Method int a()") })
        << QStringLiteral("Twice")
        << QStringList { QStringLiteral("int a()"), QStringLiteral("int a()") } << QStringList();
    QTest::newRow("lower-case kind skipped silently")
        << metaInfo({ QStringLiteral("Counter"), QStringLiteral("method int add(int,int)"),
               QStringLiteral("slot void reset()"), QStringLiteral("Method QString name()") })
        << QStringLiteral("Counter") << QStringList { QStringLiteral("QString name()") }
        << QStringList();
    QTest::newRow("unknown kind skipped silently")
        << metaInfo({ QStringLiteral("Counter"), QStringLiteral("Property int value"),
               QStringLiteral("Method QString name()") })
        << QStringLiteral("Counter") << QStringList { QStringLiteral("QString name()") }
        << QStringList();
    QTest::newRow("space inside signature")
        << metaInfo({ QStringLiteral("Counter"), QStringLiteral("Method int add(int, int)"),
               QStringLiteral("Method int add(int,int)") })
        << QStringLiteral("Counter") << QStringList { QStringLiteral("int add(int,int)") }
        << QStringList { QStringLiteral(
               R"q("processMetaInfo: invalid metarecord:" ("Method", "int", "add(int,", "int)"))q") };
    QTest::newRow("doubled, leading and trailing spaces")
        << metaInfo({ QStringLiteral("Counter"), QStringLiteral("Method int  a()"),
               QStringLiteral(" Method int b()"), QStringLiteral("Method int c() "),
               QStringLiteral("Method int d()") })
        << QStringLiteral("Counter") << QStringList { QStringLiteral("int d()") }
        << QStringList {
               QStringLiteral(
                   R"q("processMetaInfo: invalid metarecord:" ("Method", "int", "", "a()"))q"),
               QStringLiteral(
                   R"q("processMetaInfo: invalid metarecord:" ("", "Method", "int", "b()"))q"),
               QStringLiteral(
                   R"q("processMetaInfo: invalid metarecord:" ("Method", "int", "c()", ""))q")
           };
    QTest::newRow("too few fields")
        << metaInfo({ QStringLiteral("Counter"), QStringLiteral("Method reset()"), QString() })
        << QStringLiteral("Counter") << QStringList()
        << QStringList { QStringLiteral(
                             R"q("processMetaInfo: invalid metarecord:" ("Method", "reset()"))q"),
               QStringLiteral(R"q("processMetaInfo: invalid metarecord:" (""))q") };
    QTest::newRow("empty value list")
        << QVariantList() << before << beforeMethods << QStringList { empty };
    QTest::newRow("empty first list")
        << QVariantList { QStringList() } << before << beforeMethods << QStringList { empty };
    QTest::newRow("first value not text")
        << QVariantList { QVariant(42), QStringList { QStringLiteral("Ignored") } } << before
        << beforeMethods << QStringList { empty };
}

void TestRemotoObject::processMetaInfo()
{
    QFETCH(QVariantList, values);
    QFETCH(QString, className);
    QFETCH(QStringList, methodList);
    QFETCH(QStringList, warnings);

    RemotoPlugin plugin;
    RemotoObject object(&plugin);
    const QVariantList previous = metaInfo({ QStringLiteral("Previous"),
        QStringLiteral("Method int a()"), QStringLiteral("Slot void b()"),
        QStringLiteral("Method int c(int)"), QStringLiteral("Signal void s()"),
        QStringLiteral("Method bool d()") });
    object.processMetaInfo(previous);

    MessageLog log;
    for (const QString &warning : qAsConst(warnings))
        log.expect(QtWarningMsg, warning);
    object.processMetaInfo(values);

    QCOMPARE(log.messages, log.expected);
    QCOMPARE(object.className(), className);
    QCOMPARE(object.className().isNull(), className.isNull());
    QCOMPARE(object.methodList(), methodList);
    QCOMPARE(object.property("className").toString(), className);
    QCOMPARE(object.property("methodList").toStringList(), methodList);
    QVERIFY(!object.isConnected());

    // Another proxy of the class gets the same, warnings included: records that read cleanly
    // are remembered for the next proxy, the others are read again.
    RemotoObject other(&plugin);
    other.processMetaInfo(previous);
    log.messages.clear();
    log.expected.clear();
    for (const QString &warning : qAsConst(warnings))
        log.expect(QtWarningMsg, warning);
    other.processMetaInfo(values);
    QCOMPARE(log.messages, log.expected);
    QCOMPARE(other.className(), className);
    QCOMPARE(other.methodList(), methodList);
}

void TestRemotoObject::loadingClearsConnected()
{
    RemotoPlugin plugin;
    RemotoObject object(&plugin);
    object.setConnected(true);
    QVERIFY(object.isConnected());

    QSignalSpy connected(&object, &RemotoObject::rpcConnected);
    QSignalSpy disconnected(&object, &RemotoObject::rpcDisconnected);
    object.processMetaInfo(metaInfo(counterRecords));
    QVERIFY(!object.isConnected());
    QCOMPARE(connected.count(), 0);
    QCOMPARE(disconnected.count(), 0);
}

void TestRemotoObject::emptyMetaInfoKeepsConnectedObjectUsable_data()
{
    QTest::addColumn<QVariantList>("values");

    QTest::newRow("empty value list") << QVariantList();
    QTest::newRow("empty first list") << QVariantList { QStringList() };
}

void TestRemotoObject::emptyMetaInfoKeepsConnectedObjectUsable()
{
    QFETCH(QVariantList, values);

    Rig rig;
    QVERIFY(rig.proxy);
    QVERIFY(rig.proxy->isConnected());

    MessageLog log;
    log.expect(QtWarningMsg, QStringLiteral("\"processMetaInfo: empty metadata\""));
    rig.proxy->processMetaInfo(values);
    QCOMPARE(log.messages, log.expected);

    QVERIFY(rig.proxy->isConnected());
    QCOMPARE(rig.proxy->className(), QStringLiteral("Counter"));
    QCOMPARE(rig.proxy->methodList(), counterMethods);
    QCOMPARE(rig.proxy->invoke(QStringLiteral("add"), QVariantList { 2, 3 }), QVariant(5));
}

void TestRemotoObject::duplicateSubscription()
{
    Rig rig;
    QCOMPARE(rig.proxy->sendConnect("changed(int)"), 1);
    QCOMPARE(rig.proxy->sendConnect("changed(int)"), 1);
    QCOMPARE(rig.subscriptionPayloads(), base64({ "changed(int)", "changed(int)" }));

    rig.remote.requests.clear();
    rig.proxy->setConnected(true);
    QCOMPARE(rig.subscriptionPayloads(), base64({ "changed(int)" }));
}

void TestRemotoObject::byteDifferentTextsAreTwoSubscriptions()
{
    Rig rig;
    rig.proxy->sendConnect("valueChanged(int)");
    rig.proxy->sendConnect("valueChanged( int )");
    rig.proxy->sendConnect("valuechanged(int)");
    rig.proxy->sendConnect("valueChanged( int )");
    QCOMPARE(rig.subscriptionPayloads().size(), 4);

    rig.remote.requests.clear();
    rig.proxy->setConnected(true);
    QCOMPARE(rig.subscriptionPayloads(),
        base64({ "valueChanged(int)", "valueChanged( int )", "valuechanged(int)" }));
}

void TestRemotoObject::refusedSubscriptionIsResent()
{
    Rig rig;
    QCOMPARE(rig.proxy->sendConnect("missing()"), 0);

    for (int round = 0; round < 2; ++round) {
        rig.remote.requests.clear();
        rig.proxy->setConnected(false);
        rig.proxy->setConnected(true);
        QCOMPARE(rig.subscriptionPayloads(), base64({ "missing()" }));
    }
}

void TestRemotoObject::disconnectingSendsNothing()
{
    Rig rig;
    rig.proxy->sendConnect("changed(int)");
    rig.proxy->sendConnect("missing()");
    rig.remote.requests.clear();

    QSignalSpy connected(rig.proxy, &RemotoObject::rpcConnected);
    QSignalSpy disconnected(rig.proxy, &RemotoObject::rpcDisconnected);
    bool connectedInSlot = true;
    connect(rig.proxy, &RemotoObject::rpcDisconnected, rig.proxy,
        [&] { connectedInSlot = rig.proxy->isConnected(); });

    rig.proxy->setConnected(false);
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(connected.count(), 0);
    QVERIFY(!connectedInSlot);
    QVERIFY(!rig.proxy->isConnected());
    QVERIFY(rig.remote.requests.isEmpty());
}

void TestRemotoObject::connectingResendsInSubscriptionOrder()
{
    Rig rig;
    rig.proxy->sendConnect("first()");
    rig.proxy->sendConnect("changed(int)");
    rig.proxy->sendConnect("first()");
    rig.proxy->sendConnect("third(QString)");
    rig.proxy->setConnected(false);
    rig.remote.requests.clear();

    QSignalSpy connected(rig.proxy, &RemotoObject::rpcConnected);
    QSignalSpy disconnected(rig.proxy, &RemotoObject::rpcDisconnected);
    bool connectedInSlot = false;
    int sentBeforeSlot = -1;
    connect(rig.proxy, &RemotoObject::rpcConnected, rig.proxy, [&] {
        connectedInSlot = rig.proxy->isConnected();
        sentBeforeSlot = rig.remote.requests.size();
    });

    rig.proxy->setConnected(true);
    QCOMPARE(connected.count(), 1);
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(connectedInSlot);
    QCOMPARE(sentBeforeSlot, 0);
    QVERIFY(rig.proxy->isConnected());
    QCOMPARE(rig.remote.requests.size(), 3);
    QCOMPARE(rig.subscriptionPayloads(), base64({ "first()", "changed(int)", "third(QString)" }));
    QVERIFY(rig.payloadsAreByteArrays());

    // Connecting again without a disconnection in between subscribes again.
    rig.remote.requests.clear();
    rig.proxy->setConnected(true);
    QCOMPARE(connected.count(), 2);
    QCOMPARE(rig.subscriptionPayloads(), base64({ "first()", "changed(int)", "third(QString)" }));
}

void TestRemotoObject::connectingWithoutSubscriptions()
{
    Rig rig;
    QSignalSpy connected(rig.proxy, &RemotoObject::rpcConnected);
    rig.proxy->setConnected(true);
    QCOMPARE(connected.count(), 1);
    QVERIFY(rig.remote.requests.isEmpty());
}

void TestRemotoObject::subscriptionsFromConnectedSlotsAreResent()
{
    Rig rig;
    rig.proxy->sendConnect("changed(int)");
    rig.remote.requests.clear();
    connect(rig.proxy, &RemotoObject::rpcConnected, rig.proxy,
        [&] { rig.proxy->sendConnect("late()"); });

    rig.proxy->setConnected(true);
    // The slot's own request, then the re-subscriptions with the slot's text among them.
    QCOMPARE(rig.subscriptionPayloads(), base64({ "late()", "changed(int)", "late()" }));
}

void TestRemotoObject::resubscriptionDoesNotWait()
{
    Rig rig;
    rig.proxy->sendConnect("changed(int)");
    rig.proxy->sendConnect("missing()");
    rig.remote.requests.clear();
    rig.remote.mode = FakeRemote::Manual;

    rig.proxy->setConnected(true);
    const QList<FakeRemote::SentRequest> sent = rig.remote.requestsFor(SigConnect);
    QCOMPARE(sent.size(), 2);
    // Still waiting for their answers: nobody waited for them.
    const RpcObjectEntryPtr entry = rig.d->objects.value(CounterId);
    QVERIFY(entry);
    for (const FakeRemote::SentRequest &request : sent) {
        QVERIFY(entry->pending.contains(request.uid));
        QVERIFY(!entry->pending.value(request.uid)->isFinished());
    }
}

void TestRemotoObject::subscribingWhileDisconnected()
{
    Rig rig;
    rig.proxy->setConnected(false);
    rig.remote.requests.clear();

    QCOMPARE(rig.proxy->sendConnect("changed(int)"), 1);
    QCOMPARE(rig.subscriptionPayloads(), base64({ "changed(int)" }));
    QVERIFY(!rig.proxy->isConnected());

    rig.remote.requests.clear();
    rig.proxy->setConnected(true);
    QCOMPARE(rig.subscriptionPayloads(), base64({ "changed(int)" }));
}

void TestRemotoObject::subscribingToEmptyText()
{
    Rig rig;
    MessageLog log;
    QCOMPARE(rig.proxy->sendConnect(""), 0);
    QCOMPARE(rig.subscriptionPayloads(), QByteArrayList { QByteArray() });
    QVERIFY(rig.payloadsAreByteArrays());
    QCOMPARE(log.messages, log.expected);

    rig.remote.requests.clear();
    rig.proxy->setConnected(true);
    QCOMPARE(rig.subscriptionPayloads(), QByteArrayList { QByteArray() });
}

void TestRemotoObject::subscribingThroughMetaObject()
{
    Rig rig;
    int accepted = -1;
    QVERIFY(QMetaObject::invokeMethod(rig.proxy, "sendConnect", Q_RETURN_ARG(int, accepted),
        Q_ARG(const char *, "changed(int)")));
    QCOMPARE(accepted, 1);
    QCOMPARE(rig.subscriptionPayloads(), base64({ "changed(int)" }));
}

void TestRemotoObject::destructionSendsNothing()
{
    Rig rig;
    rig.proxy->sendConnect("changed(int)");
    rig.remote.requests.clear();
    QSignalSpy disconnected(rig.proxy, &RemotoObject::rpcDisconnected);

    delete rig.proxy;
    QVERIFY(rig.remote.requests.isEmpty());
    QCOMPARE(disconnected.count(), 0);
}

QTEST_MAIN(TestRemotoObject)
#include "tst_remotoobject.moc"
