#include "demoservice.h"

#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QtEndian>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>
#include <QtTest/QtTest>

#include <memory>

namespace {

constexpr int Patience = 60000;

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

QProcessEnvironment environmentWithout(const QStringList &names)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : names)
        environment.remove(name);
    return environment;
}

// remotoctl as a user runs it, with neither of its environment variables set unless given.
class Remotoctl
{
public:
    explicit Remotoctl(const QStringList &arguments,
        const QProcessEnvironment &environment
        = environmentWithout({ QStringLiteral("REMOTO_ADDRESS"), QStringLiteral("REMOTO_PLUGIN") }))
    {
        m_process.setProgram(QStringLiteral(REMOTOCTL));
        m_process.setArguments(arguments);
        m_process.setProcessEnvironment(environment);
        m_process.start();
    }
    ~Remotoctl()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(Patience);
        }
    }
    Remotoctl(const Remotoctl &) = delete;
    Remotoctl &operator=(const Remotoctl &) = delete;

    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // What it printed so far.
    QString outputSoFar()
    {
        m_out += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_out);
    }
    // Runs the event loop meanwhile, so a service in this process keeps serving.
    Run finish()
    {
        Run run;
        if (!QTest::qWaitFor([this] { return !isRunning(); }, Patience))
            return run;
        m_out += m_process.readAllStandardOutput();
        run.exitCode = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
        run.out = QString::fromUtf8(m_out);
        run.err = QString::fromUtf8(m_process.readAllStandardError());
        return run;
    }

private:
    QProcess m_process;
    QByteArray m_out;
};

Run remotoctl(const QStringList &arguments)
{
    return Remotoctl(arguments).finish();
}

enum : qint32 { Notify = 0, Answer = 1, ObjectUp = 3, InitialObjectsAnnounced = 0x100 };
enum : qint32 { GetInfo = 0x1100, GetMetaInfo = 0x1101, Invoke = 0x1102, SigConnect = 0x1103 };
constexpr qint32 Marker = 0x29111993;

QByteArray valueListText(const QVariantList &values)
{
    QByteArray raw;
    QDataStream stream(&raw, QIODevice::WriteOnly);
    stream << values;
    return raw.toBase64();
}

// Plays a service at the byte level, written apart from the real one: one object, "scripted",
// whose methodList a test chooses. It records the signature of every call, and sends the
// notifications a test chooses (each a value list) before it answers a call or a subscription.
class ScriptedService : public QObject
{
public:
    ScriptedService(const QStringList &records, const QVariantList &notifications = {})
        : m_records(records)
        , m_notifications(notifications)
    {
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            m_socket = m_server.nextPendingConnection();
            connect(m_socket, &QLocalSocket::readyRead, this, [this] { readFrames(); });
        });
    }

    bool listen()
    {
        static int counter = 0;
        return m_server.listen(QStringLiteral("remoto-tst-scripted-%1-%2")
                                   .arg(QCoreApplication::applicationPid())
                                   .arg(++counter));
    }
    QString address() const { return QStringLiteral("local:") + m_server.serverName(); }

    QStringList invoked;

private:
    void readFrames()
    {
        m_input += m_socket->readAll();
        while (m_input.size() >= 4) {
            const int size = int(qFromBigEndian<quint32>(m_input.constData()));
            if (m_input.size() < 4 + size)
                return;
            const QByteArray body = m_input.mid(4, size);
            m_input.remove(0, 4 + size);
            if (body.at(1) == 1) {
                send(ObjectUp, 0);
                send(InitialObjectsAnnounced, 0);
            } else {
                requestArrived(body);
            }
        }
    }

    void requestArrived(const QByteArray &body)
    {
        const quint32 uid = qFromBigEndian<quint32>(body.constData() + 4);
        const qint32 command = qFromBigEndian<qint32>(body.constData() + 16);
        switch (command) {
        case GetInfo:
            answer(uid, command, { QStringLiteral("Scripted"), QStringLiteral("scripted") });
            break;
        case GetMetaInfo:
            answer(uid, command, { QStringList { QStringLiteral("Scripted") } + m_records });
            break;
        case Invoke: {
            QVariantList request;
            QDataStream stream(QByteArray::fromBase64(body.mid(24)));
            stream >> request;
            invoked.append(request.value(1).toString());
            notify();
            answer(uid, command, { true, 42 });
            break;
        }
        case SigConnect:
            notify();
            answer(uid, command, { true });
            break;
        }
    }

    void notify()
    {
        for (const QVariant &notification : qAsConst(m_notifications))
            send(Notify, 0, valueListText(notification.toList()));
    }

    void answer(quint32 uid, qint32 command, const QVariantList &values)
    {
        // Day zero as the time, then the result code 0 and the command, little-endian.
        QByteArray payload(16, '\0');
        qToLittleEndian(command, payload.data() + 12);
        send(Answer, uid, payload + valueListText(values));
    }

    void send(qint32 kind, quint32 uid, const QByteArray &payload = QByteArray())
    {
        QByteArray frame(24, '\0');
        qToBigEndian(quint32(20 + payload.size()), frame.data());
        frame[4] = 1;
        frame[5] = 3;
        qToBigEndian(uid, frame.data() + 8);
        qToBigEndian(quint32(1), frame.data() + 12);
        qToBigEndian(kind, frame.data() + 16);
        qToBigEndian(Marker, frame.data() + 20);
        m_socket->write(frame + payload);
    }

    QLocalServer m_server;
    QLocalSocket *m_socket = nullptr;
    QByteArray m_input;
    QStringList m_records;
    QVariantList m_notifications;
};

// What a service sends to raise the proxy's own signal that it went down.
QVariantList proxyDownNotification()
{
    return { QVariant(), QStringLiteral("rpcDisconnected()") };
}

} // namespace

// The command-line host against the demo service: what it prints and how it exits.
class tst_Remotoctl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void list();
    void call_data();
    void call();
    void failures_data();
    void failures();
    void accessToken();
    void callsTheEntryTheModuleCalls_data();
    void callsTheEntryTheModuleCalls();
    void watchIgnoresProxySignalsRaisedByTheService();
    void watchTimerSignal();
    void watchSignalOnDemand();
    void watchEndsWhenServiceGoes();
    void monitorSeesSameProxyComeBack();
    void defaultsFromEnvironment_data();
    void defaultsFromEnvironment();

private:
    QStringList on(const QStringList &arguments) const
    {
        return QStringList { QStringLiteral("--connect"), service->address() } + arguments;
    }

    std::unique_ptr<DemoService> service;
};

void tst_Remotoctl::initTestCase()
{
    service.reset(new DemoService);
    QVERIFY(service->start());
}

void tst_Remotoctl::cleanupTestCase()
{
    service.reset();
}

void tst_Remotoctl::list()
{
    const Run run = remotoctl(on({ QStringLiteral("list") }));
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out,
        QStringLiteral("admin (Admin)\n"
                       "    bool withdraw(QString)\n"
                       "    bool republish(QString)\n"
                       "    QStringList published()\n"
                       "calculator (Calculator)\n"
                       "    int add(int,int)\n"
                       "    int add(int,int,int)\n"
                       "    QString greet(QString)\n"
                       "    QVariantMap stats(QVariantList)\n"
                       "clock (Clock)\n"
                       "    QString now()\n"
                       "counter (Counter)\n"
                       "    void increment()\n"
                       "    void reset()\n"
                       "    int value()\n"));
}

void tst_Remotoctl::call_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("output");

    QTest::newRow("int result") << QStringList { "calculator", "add", "2", "3" } << "5\n";
    QTest::newRow("overload by argument count")
        << QStringList { "calculator", "add", "1", "2", "3" } << "6\n";
    QTest::newRow("negative numbers after --")
        << QStringList { "calculator", "add", "--", "-2", "-3" } << "-5\n";
    QTest::newRow("string in and out")
        << QStringList { "calculator", "greet", "\"Ada\"" } << "\"Hello, Ada!\"\n";
    QTest::newRow("array in, object out") << QStringList { "calculator", "stats", "[1, 2, 3]" }
                                          << "{\"count\":3,\"mean\":2,\"sum\":6}\n";
    QTest::newRow("list of strings") << QStringList { "admin", "published" }
                                     << "[\"calculator\",\"counter\",\"clock\",\"admin\"]\n";
    QTest::newRow("no result prints nothing") << QStringList { "counter", "reset" } << "";
}

void tst_Remotoctl::call()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, output);

    const Run run = remotoctl(on(QStringList { QStringLiteral("call") } + arguments));
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, output);
}

void tst_Remotoctl::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown command")
        << QStringList { "frobnicate" } << true << 1 << "unknown command frobnicate";
    QTest::newRow("argument not JSON") << QStringList { "call", "calculator", "add", "2", "two" }
                                       << true << 1 << "not a JSON value: two";
    QTest::newRow("call without method")
        << QStringList { "call", "calculator" } << true << 1 << "call needs OBJECT and METHOD";
    QTest::newRow("signal without signature")
        << QStringList { "watch", "clock", "tick" } << true << 1 << "give SIGNAL as a signature";
    QTest::newRow("not an address")
        << QStringList { "--connect", "nowhere", "list" } << false << 1 << "not a service address";
    QTest::newRow("plug-in missing")
        << QStringList { "--plugin", "/nonexistent/libRemotoPlugin2.so", "list" } << true << 2
        << "cannot load the plug-in /nonexistent/libRemotoPlugin2.so";
    QTest::newRow("unreachable service")
        << QStringList { "--connect", "local:remoto-tst-nobody-listens", "--wait", "300", "list" }
        << false << 3 << "cannot reach the service at local:remoto-tst-nobody-listens";
    QTest::newRow("unknown object")
        << QStringList { "call", "printer", "print" } << true << 4
        << "no object named printer (the service has: admin, calculator, clock, counter)";
    QTest::newRow("unknown method") << QStringList { "call", "calculator", "divide", "1", "2" }
                                    << true << 5 << "calculator has no method divide";
    QTest::newRow("wrong argument count") << QStringList { "call", "calculator", "add", "1" }
                                          << true << 5 << "calculator has no method add taking 1";
    QTest::newRow("unknown signal") << QStringList { "watch", "clock", "tock(QString)" } << true
                                    << 5 << "clock has no signal tock(QString)";
    QTest::newRow("call refused by the service") << QStringList { "call", "calculator", "add",
        "\"two\"", "2" } << true << 6 << "calculator.add failed: INVALID_PARAM";
}

void tst_Remotoctl::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, connected);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const Run run = remotoctl(connected ? on(arguments) : arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.startsWith(QStringLiteral("remotoctl: ") + message), qPrintable(run.err));
    QCOMPARE(run.out, QString());
}

void tst_Remotoctl::accessToken()
{
    DemoService guarded({ QStringLiteral("--token"), QStringLiteral("open-sesame") });
    QVERIFY(guarded.start());
    const QStringList list { QStringLiteral("--connect"), guarded.address(),
        QStringLiteral("list") };

    Run run = remotoctl(list);
    QCOMPARE(run.exitCode, 7);
    QVERIFY2(run.err.contains(QStringLiteral("refused access")), qPrintable(run.err));
    run = remotoctl(list + QStringList { QStringLiteral("--token"), QStringLiteral("wrong") });
    QCOMPARE(run.exitCode, 7);
    run = remotoctl(
        list + QStringList { QStringLiteral("--token"), QStringLiteral("open-sesame") });
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.startsWith(QStringLiteral("admin (Admin)\n")));
}

void tst_Remotoctl::callsTheEntryTheModuleCalls_data()
{
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QVariantList>("notifications");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("invoked");
    QTest::addColumn<QString>("message");

    const QStringList mapParameter { "Method int f(QMap<QString,int>)" };
    QTest::newRow("a comma inside a template parts parameters")
        << mapParameter << QVariantList() << QStringList { "f", "{\"a\":1}" } << 5 << QString()
        << QStringList() << "scripted has no method f taking 1 argument(s)";
    QTest::newRow("called with the count the module reads")
        << mapParameter << QVariantList() << QStringList { "f", "1", "2" } << 0 << "42\n"
        << QStringList { "f(QMap<QString,int>)" } << QString();
    QTest::newRow("the last entry of that name and count")
        << QStringList { "Method void h(int,int)", "Method int h(QPair<int,int>)" }
        << QVariantList() << QStringList { "h", "1", "2" } << 0 << "42\n"
        << QStringList { "h(QPair<int,int>)" } << QString();
    QTest::newRow("proxy's own down signal raised during the call")
        << QStringList { "Method int g()" } << QVariantList { proxyDownNotification() }
        << QStringList { "g" } << 0 << "42\n"
        << QStringList { "g()" } << QString();
}

void tst_Remotoctl::callsTheEntryTheModuleCalls()
{
    QFETCH(QStringList, records);
    QFETCH(QVariantList, notifications);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QStringList, invoked);
    QFETCH(QString, message);

    ScriptedService scripted(records, notifications);
    QVERIFY(scripted.listen());
    const Run run = remotoctl(
        QStringList { "--connect", scripted.address(), "call", "scripted" } + arguments);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, output);
    QCOMPARE(scripted.invoked, invoked);
    if (message.isEmpty())
        QCOMPARE(run.err, QString());
    else
        QVERIFY2(run.err.startsWith(QStringLiteral("remotoctl: ") + message), qPrintable(run.err));
}

void tst_Remotoctl::watchIgnoresProxySignalsRaisedByTheService()
{
    ScriptedService scripted({ QStringLiteral("Signal void tick(QString)") },
        { proxyDownNotification(),
            QVariantList { QVariant(), QStringLiteral("tick(QString)"), QStringLiteral("x") } });
    QVERIFY(scripted.listen());
    const Run run = remotoctl({ QStringLiteral("--connect"), scripted.address(),
        QStringLiteral("watch"), QStringLiteral("scripted"), QStringLiteral("tick(QString)"),
        QStringLiteral("--count"), QStringLiteral("1") });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QStringLiteral("tick(QString) [\"x\"]\n"));
    QCOMPARE(run.err, QString());
}

void tst_Remotoctl::watchTimerSignal()
{
    const Run run = remotoctl(on({ QStringLiteral("watch"), QStringLiteral("clock"),
        QStringLiteral("tick( QString )"), QStringLiteral("--count"), QStringLiteral("3") }));
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    const QRegularExpression event(
        QStringLiteral("^tick\\(QString\\) \\[\"\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\"\\]$"));
    for (const QString &line : lines)
        QVERIFY2(event.match(line).hasMatch(), qPrintable(line));
}

void tst_Remotoctl::watchSignalOnDemand()
{
    const Run before = remotoctl(
        on({ QStringLiteral("call"), QStringLiteral("counter"), QStringLiteral("value") }));
    QCOMPARE(before.exitCode, 0);
    const int start = before.out.trimmed().toInt();

    Remotoctl watch(on({ QStringLiteral("watch"), QStringLiteral("counter"),
        QStringLiteral("changed(int)"), QStringLiteral("--count"), QStringLiteral("2") }));
    // Increments made before the watcher has subscribed go unseen; it ends after two seen.
    int increments = 0;
    const auto incrementUntilDone = [&] {
        if (!watch.isRunning())
            return true;
        remotoctl(
            on({ QStringLiteral("call"), QStringLiteral("counter"), QStringLiteral("increment") }));
        ++increments;
        return false;
    };
    QVERIFY(QTest::qWaitFor(incrementUntilDone, Patience));
    const Run run = watch.finish();
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    const QRegularExpression event(QStringLiteral("^changed\\(int\\) \\[(\\d+)\\]$"));
    const int first = event.match(lines.at(0)).captured(1).toInt();
    QVERIFY2(first > start && first <= start + increments, qPrintable(lines.at(0)));
    QCOMPARE(lines.at(1), QStringLiteral("changed(int) [%1]").arg(first + 1));
}

void tst_Remotoctl::watchEndsWhenServiceGoes()
{
    DemoService doomed;
    QVERIFY(doomed.start());
    Remotoctl watch({ QStringLiteral("--connect"), doomed.address(), QStringLiteral("watch"),
        QStringLiteral("clock"), QStringLiteral("tick(QString)") });
    QTRY_VERIFY_WITH_TIMEOUT(!watch.outputSoFar().isEmpty(), Patience);

    doomed.kill();
    const Run run = watch.finish();
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.err.contains(QStringLiteral("lost the connection to the service")),
        qPrintable(run.err));
}

void tst_Remotoctl::monitorSeesSameProxyComeBack()
{
    Remotoctl monitor(
        on({ QStringLiteral("monitor"), QStringLiteral("--count"), QStringLiteral("2") }));
    QTRY_VERIFY_WITH_TIMEOUT(
        monitor.outputSoFar().contains(QStringLiteral("present counter")), Patience);

    const QString counter = QStringLiteral("\"counter\"");
    QCOMPARE(remotoctl(on({ QStringLiteral("call"), QStringLiteral("admin"),
                           QStringLiteral("withdraw"), counter }))
                 .out,
        QStringLiteral("true\n"));
    QCOMPARE(remotoctl(on({ QStringLiteral("call"), QStringLiteral("admin"),
                           QStringLiteral("republish"), counter }))
                 .out,
        QStringLiteral("true\n"));

    const Run run = monitor.finish();
    QCOMPARE(run.exitCode, 0);
    const QRegularExpression present(
        QStringLiteral("^present counter \\(Counter\\) proxy (#\\d+)$"),
        QRegularExpression::MultilineOption);
    const QString number = present.match(run.out).captured(1);
    QVERIFY2(!number.isEmpty(), qPrintable(run.out));
    QVERIFY2(run.out.endsWith(QStringLiteral("down    counter (Counter) proxy %1\n"
                                             "up      counter (Counter) proxy %1, the same "
                                             "proxy as before\n")
                                  .arg(number)),
        qPrintable(run.out));
}

void tst_Remotoctl::defaultsFromEnvironment_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");

    const QString missingPlugin = QStringLiteral("/nonexistent/libRemotoPlugin2.so");
    QTest::newRow("address") << "service" << QString() << QStringList { "list" } << 0;
    QTest::newRow("--connect wins") << "local:remoto-tst-nobody-listens" << QString()
                                    << QStringList { "--connect", "service", "list" } << 0;
    QTest::newRow("plug-in") << "service" << missingPlugin << QStringList { "list" } << 2;
    QTest::newRow("--plugin wins") << "service" << missingPlugin
                                   << QStringList { "--plugin", REMOTO_PLUGIN_PATH, "list" } << 0;
}

void tst_Remotoctl::defaultsFromEnvironment()
{
    QFETCH(QString, address);
    QFETCH(QString, plugin);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);

    // "service" stands for the running demo service's address.
    const auto resolved = [this](const QString &text) {
        return text == QLatin1String("service") ? service->address() : text;
    };
    QProcessEnvironment environment = environmentWithout({ QStringLiteral("REMOTO_PLUGIN") });
    environment.insert(QStringLiteral("REMOTO_ADDRESS"), resolved(address));
    if (!plugin.isEmpty())
        environment.insert(QStringLiteral("REMOTO_PLUGIN"), plugin);
    for (QString &argument : arguments)
        argument = resolved(argument);

    const Run run = Remotoctl(arguments, environment).finish();
    QCOMPARE(run.exitCode, exitCode);
}

QTEST_MAIN(tst_Remotoctl)
#include "tst_remotoctl.moc"
