#include "commandcatalogue.h"
#include "fakeremote.h"
#include "hostprobe.h"
#include "messagelog.h"
#include "pluginhost.h"

#include <QtCore/QDataStream>
#include <QtCore/QPointer>
#include <QtGui/QColor>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

struct HostMark
{
    qint32 value = 0;
    friend QDataStream &operator<<(QDataStream &out, const HostMark &m) { return out << m.value; }
    friend QDataStream &operator>>(QDataStream &in, HostMark &m) { return in >> m.value; }
};
Q_DECLARE_METATYPE(HostMark)

namespace {
constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int GetMetaInfo = CommandCatalogue::GetMetaInfo;
constexpr int Invoke = CommandCatalogue::Invoke;
constexpr int SetEvent = CommandCatalogue::SetEvent;

// The value lists an INVOKE carried: return-value holder, signature, arguments.
QVariantList sentCall(const FakeRemote::SentRequest &request)
{
    return FakeRemote::decodeValues(QByteArray::fromBase64(request.payload));
}

// A remote class whose methods answer with the signature that was called.
FakeRemote::RemoteObject echoClass(const QStringList &records)
{
    FakeRemote::RemoteObject object;
    object.name = QStringLiteral("echo");
    object.metaInfo = QStringList { QStringLiteral("Echo") } + records;
    object.invoke = [](const QString &signature, const QVariantList &) -> QVariantList {
        return { true, signature };
    };
    return object;
}

// The three invokable forms, as a host reaches them by signature.
enum Form { NameOnly, OneValue, List };

QVariant invokeWithoutArguments(QObject *proxy, const QString &name)
{
    QVariant result;
    QMetaObject::invokeMethod(
        proxy, "invoke", Q_RETURN_ARG(QVariant, result), Q_ARG(QString, name));
    return result;
}

QVariant invokeWithOneValue(QObject *proxy, const QString &name, const QVariant &value)
{
    QVariant result;
    QMetaObject::invokeMethod(proxy, "invoke", Q_RETURN_ARG(QVariant, result), Q_ARG(QString, name),
        Q_ARG(QVariant, value));
    return result;
}
} // namespace

// invoke from host code: method selection, the INVOKE payload, and what comes back.
class tst_Invoke : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void workedExample_data();
    void workedExample();
    void overloadChoice_data();
    void overloadChoice();
    void threeForms_data();
    void threeForms();
    void returnHolder_data();
    void returnHolder();
    void disconnectedObject_data();
    void disconnectedObject();
    void outcomes_data();
    void outcomes();
    void manyMethods();

private:
    QObject *connectObject(quint32 id, const FakeRemote::RemoteObject &object);
    void checkCall(const QVariant &result, int sent, const QString &called, QVariantList *call);

    QPointer<QObject> plugin;
    FakeRemote *remote = nullptr;
};

void tst_Invoke::init()
{
    plugin = PluginHost::instance();
    remote = new FakeRemote;
    PluginHost::setConnection(plugin, remote);
}

void tst_Invoke::cleanup()
{
    delete plugin;
    delete remote;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QObject *tst_Invoke::connectObject(quint32 id, const FakeRemote::RemoteObject &object)
{
    return remote->publish(plugin, id, object);
}

// An empty `called` means the call must fail without sending anything; otherwise one INVOKE
// of `called` went out, answered with its signature, and `call` gets the values it carried.
// `sent` is the request count before the call.
void tst_Invoke::checkCall(
    const QVariant &result, int sent, const QString &called, QVariantList *call)
{
    if (called.isEmpty()) {
        QVERIFY(!result.isValid());
        QCOMPARE(remote->requests.size(), sent);
        return;
    }
    QCOMPARE(result, QVariant(called));
    QCOMPARE(remote->requests.size(), sent + 1);
    *call = sentCall(remote->requests.last());
}

void tst_Invoke::workedExample_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("answered inside request") << int(FakeRemote::Direct);
    QTest::newRow("answered from the event loop") << int(FakeRemote::Queued);
}

void tst_Invoke::workedExample()
{
    QFETCH(int, mode);
    QObject *proxy = connectObject(5, FakeRemote::counter(QStringLiteral("counter")));
    QVERIFY(proxy);
    remote->mode = FakeRemote::AnswerMode(mode);
    QCOMPARE(remote->requests.size(), 3);

    QCOMPARE(PluginHost::invoke(proxy, QStringLiteral("add"), { 2, 3 }), QVariant(5));

    QCOMPARE(remote->requests.size(), 4);
    const FakeRemote::SentRequest &call = remote->requests.last();
    QByteArray expected;
    {
        QDataStream out(&expected, QIODevice::WriteOnly);
        out << QVariantList { QVariant(QVariant::Int), QStringLiteral("add(int,int)"), 2, 3 };
    }
    QCOMPARE(call.payload, expected.toBase64());
    QVERIFY(call.payloadIsByteArray);
    QCOMPARE(call.command, Invoke);
    QCOMPARE(call.objectId, 5u);
    QCOMPARE(call.magic, Velmor::Command::Marker);
    // GETINFO, SET_EVENT and GETMETAINFO took 0 to 2.
    QCOMPARE(call.sequence, 3);
}

void tst_Invoke::overloadChoice_data()
{
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QString>("called");
    QTest::addColumn<int>("holderType");

    const QStringList sameCount { QStringLiteral("Method int f(int)"),
        QStringLiteral("Method QString f(QString)") };
    QTest::newRow("same count: the later entry")
        << sameCount << "f" << QVariantList { 1 } << "f(QString)" << int(QMetaType::QString);
    QTest::newRow("same count: the later entry whatever the value's type")
        << sameCount << "f" << QVariantList { QStringLiteral("s") } << "f(QString)"
        << int(QMetaType::QString);
    const QStringList reversed { sameCount.at(1), sameCount.at(0) };
    QTest::newRow("same count, listed the other way round")
        << reversed << "f" << QVariantList { QStringLiteral("s") } << "f(int)"
        << int(QMetaType::Int);

    const QStringList counts { QStringLiteral("Method int g(int)"),
        QStringLiteral("Method double g(int,int)"), QStringLiteral("Slot QString g()") };
    QTest::newRow("no argument") << counts << "g" << QVariantList {} << "g()"
                                 << int(QMetaType::QString);
    QTest::newRow("one argument") << counts << "g" << QVariantList { 1 } << "g(int)"
                                  << int(QMetaType::Int);
    QTest::newRow("two arguments")
        << counts << "g" << QVariantList { 1, 2 } << "g(int,int)" << int(QMetaType::Double);
    QTest::newRow("three arguments: no entry")
        << counts << "g" << QVariantList { 1, 2, 3 } << QString() << int(QMetaType::UnknownType);
    QTest::newRow("name in another letter case: no entry")
        << counts << "G" << QVariantList {} << QString() << int(QMetaType::UnknownType);
    QTest::newRow("empty name: no entry")
        << counts << "" << QVariantList {} << QString() << int(QMetaType::UnknownType);

    const QStringList kinds { QStringLiteral("Slot int h(int)"),
        QStringLiteral("Signal void h(int)"), QStringLiteral("Method bool h(double)") };
    QTest::newRow("slots and methods mixed: the later entry")
        << kinds << "h" << QVariantList { 1 } << "h(double)" << int(QMetaType::Bool);
    QTest::newRow("signals are not callable")
        << QStringList { QStringLiteral("Signal void s(int)") } << "s" << QVariantList { 1 }
        << QString() << int(QMetaType::UnknownType);

    const QStringList nested { QStringLiteral("Method QMap<QString,QVariant> get()"),
        QStringLiteral("Method bool put(QMap<QString,int>)"),
        QStringLiteral("Method QPair<int,int> swap(QPair<int,int>,int)"),
        QStringLiteral("Method int odd(QMap<QString,int)") };
    QTest::newRow("comma in the return type")
        << nested << "get" << QVariantList {} << "get()" << int(QMetaType::QVariantMap);
    QTest::newRow("comma in a parameter type: one argument")
        << nested << "put" << QVariantList { QVariantMap {} } << "put(QMap<QString,int>)"
        << int(QMetaType::Bool);
    QTest::newRow("commas in both") << nested << "swap" << QVariantList { QVariantList {}, 1 }
                                    << "swap(QPair<int,int>,int)" << int(QMetaType::UnknownType);
    QTest::newRow("brackets that do not pair up: every comma counts")
        << nested << "odd" << QVariantList { 1, 2 } << "odd(QMap<QString,int)"
        << int(QMetaType::Int);
}

void tst_Invoke::overloadChoice()
{
    QFETCH(QStringList, records);
    QFETCH(QString, name);
    QFETCH(QVariantList, args);
    QFETCH(QString, called);
    QFETCH(int, holderType);
    QObject *proxy = connectObject(1, echoClass(records));
    QVERIFY(proxy);
    const int sent = remote->requests.size();

    const QVariant result = PluginHost::invoke(proxy, name, args);

    QVariantList call;
    checkCall(result, sent, called, &call);
    if (QTest::currentTestFailed() || called.isEmpty())
        return;
    QCOMPARE(call.size(), args.size() + 2);
    QCOMPARE(call.at(0).userType(), holderType);
    QVERIFY(call.at(0).isNull());
    QCOMPARE(call.at(1), QVariant(called));
    QCOMPARE(call.mid(2), args);
}

void tst_Invoke::threeForms_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QString>("called");

    QTest::newRow("name only: empty parentheses")
        << int(NameOnly) << "zero" << QVariantList {} << "zero()";
    QTest::newRow("name only: not a one-parameter entry")
        << int(NameOnly) << "one" << QVariantList {} << QString();
    QTest::newRow("one value") << int(OneValue) << "one" << QVariantList { 7 } << "one(int)";
    QTest::newRow("one invalid value still counts as one")
        << int(OneValue) << "one" << QVariantList { QVariant() } << "one(int)";
    QTest::newRow("one invalid value: not an empty-parentheses entry")
        << int(OneValue) << "zero" << QVariantList { QVariant() } << QString();
    QTest::newRow("one value holding a list counts as one")
        << int(OneValue) << "one" << QVariantList { QVariant(QVariantList { 1, 2 }) } << "one(int)";
    QTest::newRow("list of none") << int(List) << "zero" << QVariantList {} << "zero()";
    QTest::newRow("list of two") << int(List) << "two" << QVariantList { 1, QStringLiteral("b") }
                                 << "two(int,QString)";
    QTest::newRow("list of one invalid value")
        << int(List) << "one" << QVariantList { QVariant() } << "one(int)";
}

void tst_Invoke::threeForms()
{
    QFETCH(int, form);
    QFETCH(QString, name);
    QFETCH(QVariantList, args);
    QFETCH(QString, called);
    QObject *proxy = connectObject(1,
        echoClass({ QStringLiteral("Method int zero()"), QStringLiteral("Method int one(int)"),
            QStringLiteral("Method int two(int,QString)") }));
    const int sent = remote->requests.size();

    QVariant result;
    switch (form) {
    case NameOnly:
        result = invokeWithoutArguments(proxy, name);
        break;
    case OneValue:
        result = invokeWithOneValue(proxy, name, args.at(0));
        break;
    default:
        result = PluginHost::invoke(proxy, name, args);
        break;
    }

    QVariantList call;
    checkCall(result, sent, called, &call);
    if (QTest::currentTestFailed() || called.isEmpty())
        return;
    QCOMPARE(call.mid(1), QVariantList { called } + args);
    // An invalid argument travels as an invalid value.
    for (int i = 0; i < args.size(); ++i)
        QCOMPARE(call.at(i + 2).isValid(), args.at(i).isValid());
}

void tst_Invoke::returnHolder_data()
{
    QTest::addColumn<QString>("returnType");
    QTest::addColumn<QVariantList>("answer");
    QTest::addColumn<QVariant>("expected");

    const QVariant voidHolder(QStringLiteral("void"));
    for (const char *spelling : { "void", "VOID", "Void", "vOiD" }) {
        QTest::addRow("%s, failed", spelling)
            << QString::fromLatin1(spelling) << QVariantList { false, 1 } << voidHolder;
        QTest::addRow("%s, succeeded with one value", spelling)
            << QString::fromLatin1(spelling) << QVariantList { true } << QVariant();
        QTest::addRow("%s, succeeded with two values", spelling)
            << QString::fromLatin1(spelling) << QVariantList { true, 7 } << QVariant(7);
    }
    QTest::newRow("int, failed") << "int" << QVariantList { false } << QVariant(QVariant::Int);
    QTest::newRow("QString, failed")
        << "QString" << QVariantList { false } << QVariant(QVariant::String);
    QTest::newRow("double, failed")
        << "double" << QVariantList { false } << QVariant(QVariant::Double);
    QTest::newRow("QVariantList, failed")
        << "QVariantList" << QVariantList { false } << QVariant(QVariant::List);
    QTest::newRow("type names are case-sensitive: Int")
        << "Int" << QVariantList { false } << QVariant();
    QTest::newRow("unknown type name, failed") << "Widget" << QVariantList { false } << QVariant();
    QTest::newRow("unknown type name, succeeded")
        << "Widget" << QVariantList { true, QStringLiteral("w") } << QVariant(QStringLiteral("w"));
    QTest::newRow("int, succeeded with a value of another type")
        << "int" << QVariantList { true, QStringLiteral("x") } << QVariant(QStringLiteral("x"));
    // Past the limits on names from a peer even a name Qt would read counts as unknown.
    QTest::newRow("known type padded past the length limit")
        << QStringLiteral("QString") + QString(1100, QLatin1Char('\t')) << QVariantList { false }
        << QVariant();
    QTest::newRow("type name nested 100,000 deep")
        << QStringLiteral("QList<").repeated(100000) + QStringLiteral("int")
            + QStringLiteral(">").repeated(100000)
        << QVariantList { false } << QVariant();
}

void tst_Invoke::returnHolder()
{
    QFETCH(QString, returnType);
    QFETCH(QVariantList, answer);
    QFETCH(QVariant, expected);
    FakeRemote::RemoteObject object
        = echoClass({ QStringLiteral("Method %1 m()").arg(returnType) });
    object.invoke = [answer](const QString &, const QVariantList &) { return answer; };
    QObject *proxy = connectObject(1, object);

    const QVariant result = PluginHost::invoke(proxy, QStringLiteral("m"), {});

    QCOMPARE(result.isValid(), expected.isValid());
    QCOMPARE(result.userType(), expected.userType());
    QCOMPARE(result.isNull(), expected.isNull());
    QCOMPARE(result, expected);

    // The holder sent first is the one returned on failure.
    const QVariantList call = sentCall(remote->requests.last());
    QCOMPARE(call.size(), 2);
    QCOMPARE(call.at(1), QVariant(QStringLiteral("m()")));
    if (!answer.value(0).toBool()) {
        QCOMPARE(call.at(0).isValid(), expected.isValid());
        QCOMPARE(call.at(0).userType(), expected.userType());
        QCOMPARE(call.at(0), expected);
    }
}

void tst_Invoke::disconnectedObject_data()
{
    QTest::addColumn<bool>("metaInfoLoaded");
    QTest::addColumn<QByteArray>("warning");
    QTest::newRow("gone down after connecting")
        << true << QByteArray("RPC Class Counter disconnected");
    QTest::newRow("meta information never arrived")
        << false << QByteArray("RPC Class  disconnected");
}

void tst_Invoke::disconnectedObject()
{
    QFETCH(bool, metaInfoLoaded);
    QFETCH(QByteArray, warning);
    QObject *proxy = nullptr;
    if (metaInfoLoaded) {
        proxy = connectObject(1, FakeRemote::counter(QStringLiteral("c")));
        remote->withdraw(1);
    } else {
        remote->mode = FakeRemote::Manual;
        remote->announce(1);
        remote->answer(remote->requestsFor(GetInfo).last(), { 1u, QStringLiteral("c") });
        QCOMPARE(remote->requestsFor(GetMetaInfo).size(), 1);
        proxy = PluginHost::findRpcObject(plugin, QStringLiteral("c"));
    }
    QVERIFY(proxy);
    const int sent = remote->requests.size();

    MessageLog messages;
    QTest::ignoreMessage(QtWarningMsg, warning.constData());
    QVERIFY(!PluginHost::invoke(proxy, QStringLiteral("add"), { 1, 2 }).isValid());
    QCOMPARE(remote->requests.size(), sent);
    QCOMPARE(messages.warnings, QStringList { QString::fromUtf8(warning) });
}

void tst_Invoke::outcomes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QVariantList>("answer");
    QTest::addColumn<int>("result");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<bool>("sends");

    const QVariant nullInt(QVariant::Int);
    const QVariantList args { 2, 3 };
    const QVariantList five { true, 5 };
    QTest::newRow("no method of that name")
        << "sub" << args << true << five << 0 << QVariant() << QString() << false;
    QTest::newRow("no method with that argument count")
        << "add" << QVariantList { 2, 3, 4 } << true << five << 0 << QVariant() << QString()
        << false;
    QTest::newRow("error code with a description")
        << "add" << args << true << five << 4 << nullInt
        << QStringLiteral("\"INVALID_PARAM(Неверный блок параметров)\"") << true;
    QTest::newRow("error code without a description")
        << "add" << args << true << five << 0x120A << nullInt
        << QStringLiteral("\">INVALID_CMD_NUMBER\"") << true;
    QTest::newRow("error code the table does not know")
        << "add" << args << true << five << 12 << nullInt << QStringLiteral("\"Unknown error\"")
        << true;
    QTest::newRow("first value false")
        << "add" << args << true << QVariantList { false, 5 } << 0 << nullInt << QString() << true;
    QTest::newRow("first value the text 0")
        << "add" << args << true << QVariantList { QStringLiteral("0"), 5 } << 0 << nullInt
        << QString() << true;
    QTest::newRow("no values") << "add" << args << true << QVariantList {} << 0 << nullInt
                               << QString() << true;
    QTest::newRow("first value converts to true")
        << "add" << args << true << QVariantList { 1, 5 } << 0 << QVariant(5) << QString() << true;
    QTest::newRow("success") << "add" << args << true << five << 0 << QVariant(5) << QString()
                             << true;
    QTest::newRow("success without a second value")
        << "add" << args << true << QVariantList { true } << 0 << QVariant() << QString() << true;
    QTest::newRow("success with a colour, in a host with Qt GUI")
        << "add" << args << true << QVariantList { true, QColor(1, 2, 3) } << 0
        << QVariant(QColor(1, 2, 3)) << QString() << true;
    // The peer's bytes must not reach the host's own reader.
    qRegisterMetaTypeStreamOperators<HostMark>("HostMark");
    QTest::newRow("success with a value of a host type")
        << "add" << args << true << QVariantList { true, QVariant::fromValue(HostMark { 5 }) } << 0
        << nullInt << QString() << true;
    QTest::newRow("no answer in time") << "add" << args << false << QVariantList {} << 0 << nullInt
                                       << QStringLiteral("\"INVOKE command timeout\"") << true;
}

void tst_Invoke::outcomes()
{
    QFETCH(QString, name);
    QFETCH(QVariantList, args);
    QFETCH(bool, answered);
    QFETCH(QVariantList, answer);
    QFETCH(int, result);
    QFETCH(QVariant, expected);
    QFETCH(QString, warning);
    QFETCH(bool, sends);
    QObject *proxy = connectObject(1, FakeRemote::counter(QStringLiteral("c")));
    remote->mode = FakeRemote::Manual;
    connect(remote, &FakeRemote::requestSeen, this, [&](int command) {
        if (command == Invoke && answered)
            remote->answer(remote->requests.last(), answer, result);
    });
    const int sent = remote->requests.size();

    MessageLog messages;
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, warning.toUtf8().constData());
    const QVariant returned = PluginHost::invoke(proxy, name, args);

    QCOMPARE(returned.isValid(), expected.isValid());
    QCOMPARE(returned.userType(), expected.userType());
    QCOMPARE(returned.isNull(), expected.isNull());
    QCOMPARE(returned, expected);
    QCOMPARE(messages.warnings, warning.isEmpty() ? QStringList() : QStringList { warning });
    QCOMPARE(remote->requests.size() - sent, sends ? 1 : 0);
}

void tst_Invoke::manyMethods()
{
    // 500 records over 50 names with 0 to 2 parameters each; every parameter type names the
    // record's position, so the signature sent tells which record was chosen.
    QStringList records;
    QMap<QPair<QString, int>, QString> lastMatching;
    for (int i = 0; i < 500; ++i) {
        const QString name = QStringLiteral("m%1").arg(i % 50);
        const int count = (i / 50) % 3;
        QStringList params;
        for (int p = 0; p < count; ++p)
            params.append(QStringLiteral("t%1").arg(i));
        const QString signature
            = name + QLatin1Char('(') + params.join(QLatin1Char(',')) + QLatin1Char(')');
        records.append(
            (i % 2 ? QStringLiteral("Method int ") : QStringLiteral("Slot int ")) + signature);
        lastMatching.insert({ name, count }, signature);
    }
    QObject *proxy = connectObject(1, echoClass(records));
    QVERIFY(proxy);
    QCOMPARE(proxy->property("methodList").toStringList().size(), 500);

    for (auto it = lastMatching.cbegin(); it != lastMatching.cend(); ++it) {
        QVariantList args;
        for (int p = 0; p < it.key().second; ++p)
            args.append(p);
        QCOMPARE(PluginHost::invoke(proxy, it.key().first, args), QVariant(it.value()));
    }
    QVERIFY(!PluginHost::invoke(proxy, QStringLiteral("m50"), {}).isValid());
    QVERIFY(!PluginHost::invoke(proxy, QStringLiteral("m0"), { 1, 2, 3 }).isValid());
}

QTEST_GUILESS_MAIN(tst_Invoke)
#include "tst_invoke.moc"
