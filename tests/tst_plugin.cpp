#include <commandcatalogue.h>
#include <connectionstate.h>
#include <message.h>
#include <request.h>

#include <QtCore/QJsonObject>
#include <QtCore/QMetaMethod>
#include <QtCore/QMetaProperty>
#include <QtCore/QPluginLoader>
#include <QtCore/QPointer>
#include <QtTest/QtTest>

namespace {

constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int SetEvent = CommandCatalogue::SetEvent;
constexpr quint32 ObjectId = 7;

// What a request carried, copied at once: the module owns the request and may delete it.
struct SentRequest
{
    int sequence;
    int objectId;
    QVariant command;
    QVariant payload;
    int magic;
};

// A host connection as the module expects it: connected by signature, never by type.
class TestConnection : public QObject
{
    Q_OBJECT
public:
    void sendObjectUp(quint32 objectId = ObjectId)
    {
        Velmor::Command::Message message;
        message.kind = Velmor::Command::ObjectUp;
        message.objectId = objectId;
        message.magic = Velmor::Command::Marker;
        Q_EMIT this->message(message);
    }

    void loseConnection() { Q_EMIT stateChanged(Velmor::Connection::ConnectionLost); }

    QList<SentRequest> sent;

Q_SIGNALS:
    void message(const Velmor::Command::Message &);
    void stateChanged(const Velmor::Connection::State);

public Q_SLOTS:
    void request(const Request *request)
    {
        sent.append(SentRequest { request->sequence(), request->objectId(), request->command(),
            request->payload(), request->magic() });
    }
};

QByteArray eventMaskPayload()
{
    QByteArray mask(255, '\0');
    mask[0] = 2;
    return mask;
}

} // namespace

class tst_Plugin : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void metaData();
    void instanceIsShared();
    void deletedInstanceIsReplaced();
    void notCastableToInterfaces();

    void methods_data();
    void methods();
    void properties_data();
    void properties();
    void moduleVersionUnaffectedByConnection();

    void attach();
    void objectUpSendsInfoAndEventMask();
    void replaceConnection();
    void detach();
    void attachSameConnectionTwice();
    void detachWithoutConnection();
    void rpcObjectsUnaffectedByConnection();
    void findUnknownRpcObject();

private:
    bool setConnection(QObject *connection);
    QObject *connection() const;
    bool hasNoRpcObjects();

    QPluginLoader loader;
    QPointer<QObject> plugin;
};

void tst_Plugin::initTestCase()
{
    loader.setFileName(QStringLiteral(REMOTO_PLUGIN_PATH));
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));
}

void tst_Plugin::init()
{
    plugin = loader.instance();
    QVERIFY2(plugin, qPrintable(loader.errorString()));
}

void tst_Plugin::cleanup()
{
    // Every test starts from a fresh instance with no connection and no objects.
    delete plugin.data();
}

bool tst_Plugin::setConnection(QObject *connection)
{
    return QMetaObject::invokeMethod(plugin, "setConnection", Q_ARG(QObject *, connection));
}

QObject *tst_Plugin::connection() const
{
    return plugin->property("connection").value<QObject *>();
}

bool tst_Plugin::hasNoRpcObjects()
{
    // Starts non-empty, so an invocation that never writes the result cannot pass.
    QObjectList objects { this };
    return QMetaObject::invokeMethod(plugin, "rpcObjects", Q_RETURN_ARG(QObjectList, objects))
        && objects.isEmpty();
}

void tst_Plugin::metaData()
{
    const QJsonObject metaData = loader.metaData();
    QVERIFY2(
        metaData.value(QLatin1String("IID")).toString().endsWith(QLatin1String(".RemotoPlugin")),
        qPrintable(metaData.value(QLatin1String("IID")).toString()));
    QCOMPARE(metaData.value(QLatin1String("className")).toString(), QStringLiteral("RemotoPlugin"));
    QCOMPARE(plugin->metaObject()->className(), "RemotoPlugin");
}

void tst_Plugin::instanceIsShared()
{
    QCOMPARE(loader.instance(), plugin.data());
    QCOMPARE(loader.instance(), plugin.data());
}

void tst_Plugin::deletedInstanceIsReplaced()
{
    QPointer<QObject> first = plugin;
    delete plugin.data();
    QVERIFY(first.isNull());

    plugin = loader.instance();
    QVERIFY(plugin);
    QCOMPARE(plugin->metaObject()->className(), "RemotoPlugin");
    QCOMPARE(plugin->property("moduleVersion").toString(), QStringLiteral("2.3.38"));
    QCOMPARE(loader.instance(), plugin.data());
}

void tst_Plugin::notCastableToInterfaces()
{
    QVERIFY(plugin->inherits("RemotoPlugin"));
    QVERIFY(plugin->inherits("QObject"));
    QCOMPARE(plugin->metaObject()->superClass(), &QObject::staticMetaObject);
    QCOMPARE(plugin->qt_metacast("RemotoPlugin"), static_cast<void *>(plugin.data()));
    const QByteArray iid = loader.metaData().value(QLatin1String("IID")).toString().toLatin1();
    QVERIFY(!plugin->qt_metacast(iid.constData()));
    QVERIFY(!plugin->qt_metacast("org.qt-project.Qt.QFactoryInterface"));
    QVERIFY(!plugin->qt_metacast("RemotoPluginPrivate"));
}

void tst_Plugin::methods_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("methodType");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("returnType");

    QTest::newRow("rpcObjectConnected")
        << 0 << int(QMetaMethod::Signal) << QByteArray("rpcObjectConnected(QObject*)")
        << QByteArray("void");
    QTest::newRow("rpcObjectDisonnected")
        << 1 << int(QMetaMethod::Signal) << QByteArray("rpcObjectDisonnected(QObject*)")
        << QByteArray("void");
    QTest::newRow("setConnection") << 2 << int(QMetaMethod::Method)
                                   << QByteArray("setConnection(QObject*)") << QByteArray("void");
    QTest::newRow("rpcObjects") << 3 << int(QMetaMethod::Method) << QByteArray("rpcObjects()")
                                << QByteArray("QObjectList");
    QTest::newRow("findRpcObject")
        << 4 << int(QMetaMethod::Method) << QByteArray("findRpcObject(QString)")
        << QByteArray("QObject*");
}

void tst_Plugin::methods()
{
    QFETCH(int, index);
    QFETCH(int, methodType);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, returnType);

    const QMetaObject *metaObject = plugin->metaObject();
    QCOMPARE(metaObject->methodCount() - metaObject->methodOffset(), 5);
    const QMetaMethod method = metaObject->method(metaObject->methodOffset() + index);
    QCOMPARE(method.methodSignature(), signature);
    QCOMPARE(int(method.methodType()), methodType);
    QCOMPARE(QByteArray(method.typeName()), returnType);
    QCOMPARE(method.access(), QMetaMethod::Public);
}

void tst_Plugin::properties_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("typeName");

    QTest::newRow("moduleVersion") << 0 << QByteArray("moduleVersion") << QByteArray("QString");
    QTest::newRow("connection") << 1 << QByteArray("connection") << QByteArray("QObject*");
}

void tst_Plugin::properties()
{
    QFETCH(int, index);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, typeName);

    const QMetaObject *metaObject = plugin->metaObject();
    QCOMPARE(metaObject->propertyCount() - metaObject->propertyOffset(), 2);
    const QMetaProperty property = metaObject->property(metaObject->propertyOffset() + index);
    QCOMPARE(QByteArray(property.name()), name);
    QCOMPARE(QByteArray(property.typeName()), typeName);
    QVERIFY(property.isReadable());
    QVERIFY(!property.isWritable());
    QVERIFY(!property.hasNotifySignal());
}

void tst_Plugin::moduleVersionUnaffectedByConnection()
{
    QCOMPARE(plugin->property("moduleVersion").toString(), QStringLiteral("2.3.38"));
    TestConnection connection;
    QVERIFY(setConnection(&connection));
    QCOMPARE(plugin->property("moduleVersion").toString(), QStringLiteral("2.3.38"));
    QVERIFY(setConnection(nullptr));
    QCOMPARE(plugin->property("moduleVersion").toString(), QStringLiteral("2.3.38"));
}

void tst_Plugin::attach()
{
    QVERIFY(!connection());
    TestConnection first;
    QVERIFY(setConnection(&first));
    QCOMPARE(connection(), &first);
}

void tst_Plugin::objectUpSendsInfoAndEventMask()
{
    TestConnection connection;
    QVERIFY(setConnection(&connection));
    connection.sendObjectUp();

    QCOMPARE(connection.sent.size(), 2);
    const SentRequest &info = connection.sent.at(0);
    QCOMPARE(info.command.toInt(), GetInfo);
    QCOMPARE(info.payload.userType(), int(QMetaType::QByteArray));
    QVERIFY(info.payload.toByteArray().isEmpty());
    QCOMPARE(info.objectId, int(ObjectId));
    QCOMPARE(info.magic, Velmor::Command::Marker);

    const SentRequest &mask = connection.sent.at(1);
    QCOMPARE(mask.command.toInt(), SetEvent);
    // Sent as raw bytes, not as Base64 text.
    QCOMPARE(mask.payload.toByteArray(), eventMaskPayload());
    QCOMPARE(mask.objectId, int(ObjectId));
    QCOMPARE(mask.magic, Velmor::Command::Marker);
    QCOMPARE(mask.sequence, info.sequence + 1);
}

void tst_Plugin::replaceConnection()
{
    TestConnection a;
    TestConnection b;
    QVERIFY(setConnection(&a));
    QVERIFY(setConnection(&b));
    QCOMPARE(connection(), &b);

    b.sendObjectUp();
    QCOMPARE(b.sent.size(), 2);
    QCOMPARE(a.sent.size(), 0);
    const int nextSequence = b.sent.last().sequence + 1;

    a.sendObjectUp();
    QCOMPARE(a.sent.size(), 0);
    QCOMPARE(b.sent.size(), 2);

    // Were a's loss still heard, the object's entry would be dropped and its sequence restart.
    a.loseConnection();
    b.sent.clear();
    b.sendObjectUp();
    QCOMPARE(b.sent.size(), 2);
    QCOMPARE(b.sent.first().sequence, nextSequence);

    // The same observation with the attached connection, which is heard.
    b.loseConnection();
    b.sent.clear();
    b.sendObjectUp();
    QCOMPARE(b.sent.size(), 2);
    QCOMPARE(b.sent.first().sequence, 0);
    QCOMPARE(a.sent.size(), 0);
}

void tst_Plugin::detach()
{
    TestConnection a;
    QVERIFY(setConnection(&a));
    a.sendObjectUp();
    QCOMPARE(a.sent.size(), 2);
    const int nextSequence = a.sent.last().sequence + 1;

    QVERIFY(setConnection(nullptr));
    QVERIFY(!connection());
    a.sent.clear();
    a.sendObjectUp();
    a.loseConnection();
    QCOMPARE(a.sent.size(), 0);

    // Reattached, the object's entry shows that neither message was acted on while detached.
    QVERIFY(setConnection(&a));
    a.sendObjectUp();
    QCOMPARE(a.sent.size(), 2);
    QCOMPARE(a.sent.first().sequence, nextSequence);
}

void tst_Plugin::attachSameConnectionTwice()
{
    TestConnection a;
    QVERIFY(setConnection(&a));
    QVERIFY(setConnection(&a));
    QCOMPARE(connection(), &a);
    a.sendObjectUp();
    QCOMPARE(a.sent.size(), 2);
    QCOMPARE(a.sent.at(0).command.toInt(), GetInfo);
    QCOMPARE(a.sent.at(1).command.toInt(), SetEvent);
}

void tst_Plugin::detachWithoutConnection()
{
    QVERIFY(setConnection(nullptr));
    QVERIFY(!connection());
    TestConnection a;
    QVERIFY(setConnection(&a));
    QCOMPARE(connection(), &a);
    a.sendObjectUp();
    QCOMPARE(a.sent.size(), 2);
}

void tst_Plugin::rpcObjectsUnaffectedByConnection()
{
    QVERIFY(hasNoRpcObjects());
    TestConnection a;
    TestConnection b;
    QVERIFY(setConnection(&a));
    QVERIFY(hasNoRpcObjects());
    QVERIFY(setConnection(&b));
    QVERIFY(hasNoRpcObjects());
    QVERIFY(setConnection(nullptr));
    QVERIFY(hasNoRpcObjects());
}

void tst_Plugin::findUnknownRpcObject()
{
    QObject *found = this;
    QVERIFY(QMetaObject::invokeMethod(plugin, "findRpcObject", Q_RETURN_ARG(QObject *, found),
        Q_ARG(QString, QStringLiteral("x"))));
    QVERIFY(!found);
}

QTEST_MAIN(tst_Plugin)
#include "tst_plugin.moc"
