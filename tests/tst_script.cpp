#include "demoservice.h"
#include "pluginhost.h"

#include <calloutcome.h>
#include <commandcatalogue.h>
#include <remotoclient.h>
#include <remotoscript.h>
#include <socketconnection.h>

#include <QtCore/QPointer>
#include <QtCore/QProcess>
#include <QtCore/QTimer>
#include <QtQml/QJSEngine>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

#include <memory>

namespace {

constexpr int Patience = 30000;

// What the module writes for the result code the service refuses an argument with.
const QString invalidParam = QStringLiteral("INVALID_PARAM (4): Неверный блок параметров");

} // namespace

// A host connection of another make, as far as the library can tell: it passes everything
// between the plug-in and a socket connection on.
class Relay : public QObject
{
    Q_OBJECT
public:
    explicit Relay(SocketConnection *link)
        : m_link(link)
    {
        connect(link, &SocketConnection::message, this, &Relay::message);
        connect(link, &SocketConnection::stateChanged, this, &Relay::stateChanged);
    }

Q_SIGNALS:
    void message(const Velmor::Command::Message &message);
    void stateChanged(const Velmor::Connection::State state);

public Q_SLOTS:
    void request(const Request *request) { m_link->request(request); }

private:
    SocketConnection *m_link;
};

// Scripts in a QJSEngine of the test's own, with the library installed, against the demo
// service in a process of its own, reached through the loaded plug-in and a real socket.
class tst_Script : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void objects();
    void calls_data();
    void calls();
    void failures_data();
    void failures();
    void failureCodes_data();
    void failureCodes();
    void callsReportedLater();
    void callbacksCallAndSubscribe();
    void objectWithdrawnAndBack();
    void linkLostDuringCall();
    void remotoctl_data();
    void remotoctl();

private:
    // Runs a script; fails the test on an uncaught exception unless `error` takes it.
    QJSValue run(const QString &program, QJSValue *error = nullptr);

    QPointer<QObject> plugin;
    SocketConnection *connection = nullptr;
    std::unique_ptr<DemoService> service;
    std::unique_ptr<QJSEngine> engine;
};

void tst_Script::init()
{
    plugin = PluginHost::instance();
    service.reset(new DemoService);
    QVERIFY(service->start());
    connection = new SocketConnection;
    PluginHost::setConnection(plugin, connection);
    QSignalSpy connected(plugin, SIGNAL(rpcObjectConnected(QObject *)));
    QVERIFY(connection->connectToService(service->address()));
    QVERIFY(QTest::qWaitFor([&] { return connected.count() == 4; }, Patience));
    engine.reset(new QJSEngine);
    QVERIFY(RemotoScript::install(engine.get(), plugin));
    engine->globalObject().setProperty(QStringLiteral("PATIENCE"), Patience);
}

void tst_Script::cleanup()
{
    engine.reset();
    delete plugin;
    delete connection;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    service.reset();
}

QJSValue tst_Script::run(const QString &program, QJSValue *error)
{
    const QJSValue result = engine->evaluate(program, QStringLiteral("test.js"));
    if (result.isError() && error)
        *error = result;
    else if (result.isError())
        qWarning("uncaught: %s", qPrintable(result.toString()));
    return result;
}

void tst_Script::objects()
{
    QCOMPARE(run(QStringLiteral("remoto.objects().map(function (proxy) {"
                                "    return proxy.objectName + ' ' + proxy.className;"
                                "}).join()"))
                 .toString(),
        QStringLiteral("admin Admin,calculator Calculator,clock Clock,counter Counter"));
    QVERIFY(run(QStringLiteral("remoto.object('counter') === remoto.objects()[3]")).toBool());
    QVERIFY(run(QStringLiteral("remoto.object('nobody') === null")).toBool());
    // The module's own list, once the engine knows its type.
    QCOMPARE(run(QStringLiteral("remoto.plugin.rpcObjects().length")).toInt(), 4);

    // Handed to scripts and forgotten there, the root object and its proxies stay.
    const QPointer<QObject> calculator
        = PluginHost::findRpcObject(plugin, QStringLiteral("calculator"));
    run(QStringLiteral("remoto.object('calculator'); remoto.objects(); remoto.plugin; null"));
    engine->collectGarbage();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(plugin);
    QVERIFY(calculator);
}

void tst_Script::calls_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("json");

    QTest::newRow("by name") << "remoto.call('calculator', 'add', 2, 3)"
                             << "5";
    QTest::newRow("by proxy, overload by count")
        << "remoto.call(remoto.object('calculator'), 'add', 1, 2, 3)"
        << "6";
    QTest::newRow("text") << "remoto.call('calculator', 'greet', 'Ada')"
                          << "\"Hello, Ada!\"";
    QTest::newRow("array in, object out") << "remoto.call('calculator', 'stats', [1, 2, 3])"
                                          << "{\"count\":3,\"mean\":2,\"sum\":6}";
    QTest::newRow("void method") << "remoto.call('counter', 'increment')"
                                 << "undefined";
}

void tst_Script::calls()
{
    QFETCH(QString, call);
    QFETCH(QString, json);

    QCOMPARE(run(QStringLiteral("String(JSON.stringify(%1))").arg(call)).toString(), json);
}

void tst_Script::failures_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("message");

    QTest::newRow("refused by the service") << "remoto.call('calculator', 'add', 'two', 2)"
                                            << "calculator.add failed: " + invalidParam;
    QTest::newRow("no method taking that many arguments")
        << "remoto.call('calculator', 'add', 2)"
        << "calculator.add takes 2 or 3 arguments, not 1";
    QTest::newRow("no method of that name")
        << "remoto.call('counter', 'divide')"
        << "counter has no method divide; it has: increment(), reset(), value()";
    QTest::newRow("more arguments than a method takes")
        << "remoto.call('calculator', 'add', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11)"
        << "calculator.add: a remote method takes at most 10 arguments";
    QTest::newRow("no object of that name")
        << "remoto.call('nobody', 'add')"
        << "no object named nobody (the service has: admin, calculator, clock, counter)";
    QTest::newRow("not a proxy") << "remoto.subscribe(42, 'changed(int)')"
                                 << "42 is neither a remote object's proxy nor its name";
    QTest::newRow("no such signal")
        << "remoto.subscribe('counter', 'changed(QString)')"
        << "cannot subscribe to counter.changed(QString): the service has no such signal";
    QTest::newRow("signal without its signature")
        << "remoto.subscribe('counter', 'changed')"
        << "give the signal of counter by its signature, such as changed(int)";
}

// Thrown where the script made the call, with the reason in the message: the same whether the
// answers say it, over our connection, or the module's warnings, over another.
void tst_Script::failures()
{
    QFETCH(QString, call);
    QFETCH(QString, message);

    Relay relay(connection);
    for (QObject *link : { static_cast<QObject *>(connection), static_cast<QObject *>(&relay) }) {
        PluginHost::setConnection(plugin, link);
        QJSValue error;
        run(QStringLiteral("var before = 1;\n") + call, &error);
        QVERIFY(error.isError());
        QCOMPARE(error.property(QStringLiteral("message")).toString(), message);
        QCOMPARE(error.property(QStringLiteral("lineNumber")).toInt(), 2);
    }
}

void tst_Script::failureCodes_data()
{
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    // Two codes share the name: the text tells them apart.
    QTest::newRow("the device's INVALID_PARAM")
        << "INVALID_PARAM(Устройство вернуло неверный блок параметров)" << 1
        << "INVALID_PARAM (1): Устройство вернуло неверный блок параметров";
    QTest::newRow("the service's INVALID_PARAM")
        << "INVALID_PARAM(Неверный блок параметров)" << 4 << invalidParam;
    QTest::newRow("a code without text")
        << ">INVALID_CMD_NUMBER" << 0x120A << ">INVALID_CMD_NUMBER (4618)";
    QTest::newRow("no code") << "INVOKE command timeout" << -1 << "INVOKE command timeout";
    QTest::newRow("a name with another code's text")
        << "OK(Неверный блок параметров)" << -1 << "OK(Неверный блок параметров)";
}

// Over a connection that is not ours, the module's warning is all there is to read.
void tst_Script::failureCodes()
{
    QFETCH(QString, warning);
    QFETCH(int, code);
    QFETCH(QString, text);

    const CallOutcome failure
        = CallOutcome::fromWarning(CallOutcome::Failed, CommandCatalogue::Invoke, warning);
    QCOMPARE(failure.code, code);
    QCOMPARE(failure.errorText(), text);
}

// Reported from the event loop, in order, one at a time, and not to a context that is gone.
void tst_Script::callsReportedLater()
{
    RemotoClient client(plugin);
    QObject *calculator = client.object(QStringLiteral("calculator"));
    const Member add = RemotoClient::methods(calculator).first();
    QStringList log;
    bool reporting = false;
    RemotoClient::Report report = [&](const CallOutcome &outcome) {
        QVERIFY(!reporting);
        reporting = true;
        log.append(outcome.isOk() ? outcome.value.toString() : outcome.errorText());
        if (log.size() == 1) {
            // Made later, though the call below waits in the module's loop meanwhile.
            client.callLater(calculator, add, { QStringLiteral("two"), 2 }, nullptr, report);
            log.append(client.call(calculator, add, { 10, 10 }).value.toString());
        }
        reporting = false;
    };
    auto *gone = new QObject;
    client.callLater(calculator, add, { 1, 2 }, this, report);
    client.callLater(calculator, add, { 5, 5 }, gone, report);
    delete gone;
    QVERIFY(log.isEmpty());
    const QStringList reported { QStringLiteral("3"), QStringLiteral("20"), invalidParam };
    QTRY_COMPARE_WITH_TIMEOUT(log, reported, Patience);

    // A client deleted with calls still queued reports them as lost, later.
    auto *shortLived = new RemotoClient(plugin);
    QString lost;
    shortLived->callLater(calculator, add, { 1, 2 }, this,
        [&](const CallOutcome &outcome) { lost = outcome.errorText(); });
    delete shortLived;
    QVERIFY(lost.isEmpty());
    QTRY_COMPARE(lost, QStringLiteral("the link to the service was lost"));
}

// Delivered while the increment waits for its answer, the event's function calls the service
// and subscribes to another signal, whose event then ends the wait.
void tst_Script::callbacksCallAndSubscribe()
{
    const QJSValue log = run(QStringLiteral(R"(
        var log = [];
        var counter = remoto.object('counter');
        var clock = remoto.object('clock');
        clock.event.connect(function (name) {
            if (log.indexOf(name) < 0)
                log.push(name);
            remoto.stopWaiting();
        });
        counter.event.connect(function (name, params) {
            log.push(name + ' ' + params[0] + ' +10 = ' + remoto.call('calculator', 'add', params[0], 10));
            remoto.subscribe(clock, 'tick(QString)');
        });
        remoto.subscribe(counter, 'changed(int)');
        remoto.call(counter, 'increment');
        while (log.length < 2 && remoto.wait(PATIENCE)) {}
        log.join('|')
    )"));
    QCOMPARE(log.toString(), QStringLiteral("changed(int) 1 +10 = 11|tick(QString)"));
}

void tst_Script::objectWithdrawnAndBack()
{
    const QJSValue log = run(QStringLiteral(R"(
        var log = [];
        var counter = remoto.object('counter');
        function names() {
            return remoto.objects().map(function (proxy) { return proxy.objectName; }).join();
        }
        remoto.objectDisconnected.connect(function (proxy) {
            log.push('down ' + proxy.objectName);
            remoto.stopWaiting();
        });
        remoto.objectConnected.connect(function (proxy) {
            log.push('up ' + proxy.objectName + (proxy === counter ? ', the same proxy' : ''));
            remoto.stopWaiting();
        });
        remoto.call('admin', 'withdraw', 'counter');
        remoto.wait(PATIENCE);
        log.push(names());
        try { remoto.call(counter, 'value'); } catch (e) { log.push(e.message); }
        remoto.call('admin', 'republish', 'counter');
        remoto.wait(PATIENCE);
        log.push(names());
        log.join('|')
    )"));
    QCOMPARE(log.toString(),
        QStringLiteral("down counter|admin,calculator,clock"
                       "|counter.value failed: the service withdrew the object"
                       "|up counter, the same proxy|admin,calculator,clock,counter"));
}

// The service dies while the call waits: the connection answers it, and the proxies go.
void tst_Script::linkLostDuringCall()
{
    service->freeze();
    QTimer::singleShot(0, this, [this] { service->kill(); });
    const QJSValue log = run(QStringLiteral(R"(
        var down = [], log = [];
        var counter = remoto.object('counter');
        remoto.objectDisconnected.connect(function (proxy) { down.push(proxy.objectName); });
        try { remoto.call(counter, 'value'); } catch (e) { log.push(e.message); }
        log.push('down ' + down.sort().join());
        try { remoto.call(counter, 'value'); } catch (e) { log.push(e.message); }
        log.push(remoto.objects().length);
        log.join('|')
    )"));
    QCOMPARE(log.toString(),
        QStringLiteral("counter.value failed: CONNECTION_ERROR (7): Потеря связи с сервером"
                       "|down admin,calculator,clock,counter"
                       "|the object's proxy is gone: the link to the service was lost|0"));
}

void tst_Script::remotoctl_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("prints") << "print(remoto.call('calculator', 'add', 2, 3)); console.log('done')"
                            << "5\ndone\n"
                            << "" << 0;
    QTest::newRow("uncaught exception")
        << "print('before');\nremoto.call('calculator', 'add', 'two', 2)"
        << "before\n"
        << "-e:2: Error: calculator.add failed: " + invalidParam + "\n"
        << 9;
    QTest::newRow("exception thrown by a connected function")
        << "remoto.subscribe('counter', 'changed(int)');\n"
           "remoto.object('counter').event.connect(function () {\n"
           "    throw new Error('boom'); });\n"
           "remoto.call('counter', 'increment');\n"
           "remoto.wait();\n"
           "print('not reached');"
        << ""
        << "-e:3: Error: boom\n"
        << 9;
}

void tst_Script::remotoctl()
{
    QFETCH(QString, code);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, exitCode);

    QProcess process;
    process.start(QStringLiteral(REMOTOCTL),
        { QStringLiteral("--connect"), service->address(), QStringLiteral("script"),
            QStringLiteral("-e"), code });
    QVERIFY(process.waitForFinished(Patience));
    QCOMPARE(QString::fromUtf8(process.readAllStandardError()), err);
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), out);
    QCOMPARE(process.exitCode(), exitCode);
}

QTEST_GUILESS_MAIN(tst_Script)
#include "tst_script.moc"
