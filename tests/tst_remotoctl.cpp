#include "demoservice.h"
#include "testcertificates.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QProcess>
#include <QtCore/QRect>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryFile>
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
// whose methodList a test chooses. It records the signature of every call and answers with its
// first argument as it came, or else with the result a test chooses; it sends the notifications
// a test chooses (each a value list) before it answers a call or a subscription.
class ScriptedService : public QObject
{
public:
    ScriptedService(const QStringList &records, const QVariantList &notifications = {},
        const QVariant &result = 42)
        : m_records(records)
        , m_notifications(notifications)
        , m_result(result)
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
                // A hello with the token "older" meets a service built before ObjectsAnnounced.
                if (body.mid(4) != "older")
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
            answer(uid, command, { true, request.size() > 2 ? request.at(2) : m_result });
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
    QVariant m_result;
};

// What a service sends to raise the proxy's own signal that it went down.
QVariantList proxyDownNotification()
{
    return { QVariant(), QStringLiteral("rpcDisconnected()") };
}

// The words as readline hands them to a completion function, which splits at colons too.
QStringList completionWords(const QStringList &line)
{
    QStringList words;
    for (const QString &word : line) {
        const QStringList parts = word.split(QLatin1Char(':'));
        for (int i = 0; i < parts.size(); ++i)
            words << (i > 0 ? QStringList { QStringLiteral(":"), parts.at(i) } : parts.mid(0, 1));
    }
    return words;
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
    void accessToken_data();
    void accessToken();
    void scriptedService_data();
    void scriptedService();
    void watchIgnoresProxySignalsRaisedByTheService();
    void watchTimerSignal();
    void watchSignalOnDemand();
    void watchEndsWhenServiceGoes();
    void watchEndsWhenItsReaderGoes();
    void monitorSeesSameProxyComeBack();
    void defaultsFromEnvironment_data();
    void defaultsFromEnvironment();
    void version();
    void completion_data();
    void completion();

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
                       "    signal tick(QString)\n"
                       "counter (Counter)\n"
                       "    void increment()\n"
                       "    void reset()\n"
                       "    int value()\n"
                       "    signal changed(int)\n"));

    const Run json = remotoctl(on({ QStringLiteral("list"), QStringLiteral("--json") }));
    QCOMPARE(json.exitCode, 0);
    const QJsonArray objects = QJsonDocument::fromJson(json.out.toUtf8()).array();
    QCOMPARE(objects.size(), 4);
    QCOMPARE(QJsonDocument(objects.at(3).toObject()).toJson(QJsonDocument::Compact),
        QByteArray(
            "{\"class\":\"Counter\",\"methods\":["
            "{\"name\":\"increment\",\"parameters\":[],\"returns\":\"void\",\"signature\":"
            "\"increment()\"},"
            "{\"name\":\"reset\",\"parameters\":[],\"returns\":\"void\",\"signature\":\"reset()\"},"
            "{\"name\":\"value\",\"parameters\":[],\"returns\":\"int\",\"signature\":\"value()\"}],"
            "\"name\":\"counter\",\"signals\":["
            "{\"name\":\"changed\",\"parameters\":[\"int\"],\"signature\":\"changed(int)\"}]}"));
}

void tst_Remotoctl::call_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("output");

    QTest::newRow("int result") << QStringList { "calculator", "add", "2", "3" } << "5\n";
    QTest::newRow("overload by argument count")
        << QStringList { "calculator", "add", "1", "2", "3" } << "6\n";
    QTest::newRow("overload by signature")
        << QStringList { "calculator", "add( int, int )", "2", "3" } << "5\n";
    QTest::newRow("whole numbers written otherwise")
        << QStringList { "calculator", "add", "2.0", "3e0" } << "5\n";
    QTest::newRow("negative numbers after --")
        << QStringList { "calculator", "add", "--", "-2", "-3" } << "-5\n";
    QTest::newRow("string in and out")
        << QStringList { "calculator", "greet", "\"Ada\"" } << "\"Hello, Ada!\"\n";
    QTest::newRow("bare text for a string")
        << QStringList { "calculator", "greet", "world" } << "\"Hello, world!\"\n";
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
    QTest::newRow("call without method")
        << QStringList { "call", "calculator" } << true << 1 << "call needs OBJECT and METHOD";
    QTest::newRow("--count outside watch and monitor") << QStringList { "call", "calculator", "add",
        "1", "2", "--count", "1" } << false << 1 << "--count belongs to watch and monitor";
    QTest::newRow("--json outside list") << QStringList { "monitor", "--json" } << false << 1
                                         << "--json belongs to the list command";
    QTest::newRow("not an address")
        << QStringList { "--connect", "nowhere", "list" } << false << 1 << "not a service address";
    QTest::newRow("plug-in missing")
        << QStringList { "--plugin", "/nonexistent/libRemotoPlugin2.so", "list" } << true << 2
        << "cannot load the plug-in /nonexistent/libRemotoPlugin2.so";
    QTest::newRow("no socket")
        << QStringList { "--connect", "local:remoto-tst-nobody-listens", "list" } << false << 3
        << "cannot reach the service at local:remoto-tst-nobody-listens: nothing listens there";
    QTest::newRow("no socket within the wait")
        << QStringList { "--connect", "local:remoto-tst-nobody-listens", "--wait", "300", "list" }
        << false << 3 << "cannot reach the service at local:remoto-tst-nobody-listens: nothing";
    QTest::newRow("unknown object")
        << QStringList { "call", "printer", "print" } << true << 4
        << "no object named printer (the service has: admin, calculator, clock, counter)";
    QTest::newRow("unknown method")
        << QStringList { "call", "calculator", "divide" } << true << 5
        << "calculator has no method divide; it has: add(int,int), add(int,int,int), "
           "greet(QString), stats(QVariantList)";
    QTest::newRow("wrong argument count") << QStringList { "call", "calculator", "add",
        "1" } << true << 5 << "calculator.add takes 2 or 3 arguments, not 1";
    QTest::newRow("signature with the wrong argument count") << QStringList { "call", "calculator",
        "add(int,int)", "1" } << true << 5 << "calculator.add(int,int) takes 2 arguments, not 1";
    QTest::newRow("int out of range")
        << QStringList { "call", "calculator", "add", "99999999999", "1" } << true << 1
        << "argument 1 of calculator.add(int,int) is of type int; 99999999999 is out of its range";
    QTest::newRow("just beyond int")
        << QStringList { "call", "calculator", "add", "0", "2147483648" } << true << 1
        << "argument 2 of calculator.add(int,int) is of type int; 2147483648 is out of its range";
    QTest::newRow("fraction for an int")
        << QStringList { "call", "calculator", "add", "1.5", "1.5" } << true << 1
        << "argument 1 of calculator.add(int,int) is of type int; 1.5 is not a whole number";
    QTest::newRow("JSON string for an int")
        << QStringList { "call", "calculator", "add", "\"3\"", "2" } << true << 1
        << "argument 1 of calculator.add(int,int) is of type int; \"3\" is text, not a number";
    QTest::newRow("word for an int")
        << QStringList { "call", "calculator", "add", "2", "two" } << true << 1
        << "argument 2 of calculator.add(int,int) is of type int; two is not a number";
    QTest::newRow("unknown signal")
        << QStringList { "watch", "clock", "tock(QString)" } << true << 5
        << "clock has no signal tock(QString); it has: tick(QString)";
    QTest::newRow("unknown signal name")
        << QStringList { "watch", "counter", "tick" } << true << 5 << "counter has no signal tick";
    // Nested deeper than the service reads a value list.
    QTest::newRow("call refused by the service")
        << QStringList { "call", "calculator", "stats", QString(70, '[') + QString(70, ']') }
        << true << 6 << "calculator.stats failed: INVALID_PARAM (4): Неверный блок параметров";
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

void tst_Remotoctl::accessToken_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("environment");
    QTest::addColumn<int>("exitCode");
    // Whether the service listens on tls:// with make-test-certificates.sh's certificate.
    QTest::addColumn<bool>("tls");

    // FILE stands for a file holding the right token on a line of its own, CERTS/ for the
    // folder of the test certificates, PIN for the service certificate's pin.
    QTest::newRow("none") << QStringList() << QString() << 7 << false;
    QTest::newRow("wrong") << QStringList { "--token", "wrong" } << QString() << 7 << false;
    QTest::newRow("right") << QStringList { "--token", "open-sesame" } << QString() << 0 << false;
    QTest::newRow("from the environment") << QStringList() << "open-sesame" << 0 << false;
    QTest::newRow("--token wins") << QStringList { "--token", "wrong" } << "open-sesame" << 7
                                  << false;
    QTest::newRow("from a file") << QStringList { "--token-file", "FILE" } << "wrong" << 0 << false;
    QTest::newRow("not both") << QStringList { "--token", "x", "--token-file", "FILE" } << QString()
                              << 1 << false;
    QTest::newRow("over tls with a CA")
        << QStringList { "--tls-ca", "CERTS/ca.pem" } << "open-sesame" << 0 << true;
    QTest::newRow("over tls with a pin")
        << QStringList { "--tls-pin", "PIN" } << "open-sesame" << 0 << true;
    QTest::newRow("over tls, wrong token")
        << QStringList { "--tls-ca", "CERTS/ca.pem" } << "wrong" << 7 << true;
    QTest::newRow("over tls, issuer unknown to the system")
        << QStringList() << "open-sesame" << 3 << true;
}

void tst_Remotoctl::accessToken()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, environment);
    QFETCH(int, exitCode);
    QFETCH(bool, tls);

    const QString made = tls ? testCertificates() : QString();
    QVERIFY(!tls || !made.isEmpty());
    DemoService guarded(QStringList { QStringLiteral("--token"), QStringLiteral("open-sesame") }
        + (tls ? QStringList { QStringLiteral("--listen"), QStringLiteral("tls://127.0.0.1:0"),
               QStringLiteral("--tls-cert"), made + "service.pem", QStringLiteral("--tls-key"),
               made + "service.key" }
               : QStringList()));
    QVERIFY(guarded.start());
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^CERTS/")), made);
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^PIN$")), testCertificatePin());
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write("open-sesame\n");
    file.close();
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^FILE$")), file.fileName());
    QProcessEnvironment variables = environmentWithout({ QStringLiteral("REMOTO_ADDRESS"),
        QStringLiteral("REMOTO_PLUGIN"), QStringLiteral("REMOTO_TOKEN"),
        QStringLiteral("REMOTO_TLS_CA"), QStringLiteral("REMOTO_TLS_PIN"),
        QStringLiteral("REMOTO_TLS_CERT"), QStringLiteral("REMOTO_TLS_KEY") });
    if (!environment.isEmpty())
        variables.insert(QStringLiteral("REMOTO_TOKEN"), environment);

    const Run run = Remotoctl(
        QStringList { QStringLiteral("--connect"), guarded.address(), QStringLiteral("list") }
            + arguments,
        variables)
                        .finish();
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode == 0)
        QVERIFY(run.out.startsWith(QStringLiteral("admin (Admin)\n")));
    if (exitCode == 7)
        QVERIFY2(run.err.contains(QStringLiteral("refused access")), qPrintable(run.err));
}

void tst_Remotoctl::scriptedService_data()
{
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QVariantList>("notifications");
    QTest::addColumn<QVariant>("result");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("invoked");
    QTest::addColumn<QString>("message");

    const QStringList mapParameter { "Method QVariantMap f(QMap<QString,QVariant>)" };
    QTest::newRow("a comma inside a template stays in its parameter")
        << mapParameter << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "f", "{\"a\":1}" } << 0 << "{\"a\":1}\n"
        << QStringList { "f(QMap<QString,QVariant>)" } << QString();
    QTest::newRow("such a parameter takes one argument")
        << mapParameter << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "f", "1", "2" } << 5 << QString() << QStringList()
        << "scripted.f takes 1 argument, not 2";
    QTest::newRow("brackets that do not pair up")
        << QStringList { "Method int f(QMap<QString,int)" } << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "f", "1" } << 5 << QString() << QStringList()
        << "the module cannot call scripted.f(QMap<QString,int): it reads the signature as "
           "taking 2 arguments where the method takes 1 argument";
    const QStringList overloads { "Method void h(int)", "Method int h(QString)" };
    QTest::newRow("the last entry of that name and count")
        << overloads << QVariantList() << QVariant() << QStringList { "call", "scripted", "h", "x" }
        << 0 << "\"x\"\n"
        << QStringList { "h(QString)" } << QString();
    QTest::newRow("a signature the module does not call")
        << overloads << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "h(int)", "1" } << 5 << QString() << QStringList()
        << "with 1 argument the module calls scripted.h(QString), not h(int)";
    QTest::newRow("proxy's own down signal raised during the call")
        << QStringList { "Method int g()" } << QVariantList { proxyDownNotification() }
        << QVariant(42) << QStringList { "call", "scripted", "g" } << 0 << "42\n"
        << QStringList { "g()" } << QString();
    QTest::newRow("two signals of that name")
        << QStringList { "Signal void changed(int)", "Signal void changed(QString)" }
        << QVariantList() << QVariant() << QStringList { "watch", "scripted", "changed" } << 5
        << QString() << QStringList()
        << "scripted has 2 signals named changed (changed(int), changed(QString)); give one";
    QTest::newRow("a service that never says it announced all")
        << QStringList { "Method int g()" } << QVariantList() << QVariant()
        << QStringList { "--token", "older", "list" } << 0 << "scripted (Scripted)\n    int g()\n"
        << QStringList()
        << "the service did not say when it had announced all its objects; going on with those "
           "it announced\n";

    // Arguments come back as they went, printed as results are.
    const auto echo = [](const char *type) {
        return QStringList { QStringLiteral("Method %1 echo(%1)").arg(QLatin1String(type)) };
    };
    const auto returned = [](const char *signature) { return QStringList { signature }; };
    QTest::newRow("qlonglong beyond 2^53")
        << echo("qlonglong") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "9007199254740993" } << 0
        << "9007199254740993\n"
        << returned("echo(qlonglong)") << QString();
    QTest::newRow("largest qulonglong")
        << echo("qulonglong") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "18446744073709551615" } << 0
        << "18446744073709551615\n"
        << returned("echo(qulonglong)") << QString();
    QTest::newRow("beyond short")
        << echo("short") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "32768" } << 1 << QString() << QStringList()
        << "argument 1 of scripted.echo(short) is of type short; 32768 is out of its range";
    QTest::newRow("an integer a double cannot hold")
        << echo("double") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "9007199254740993" } << 1 << QString()
        << QStringList()
        << "argument 1 of scripted.echo(double) is of type double; 9007199254740993 is beyond 2^53";
    QTest::newRow("double") << echo("double") << QVariantList() << QVariant()
                            << QStringList { "call", "scripted", "echo", "0.1" } << 0 << "0.1\n"
                            << returned("echo(double)") << QString();
    QTest::newRow("bool") << echo("bool") << QVariantList() << QVariant()
                          << QStringList { "call", "scripted", "echo", "true" } << 0 << "true\n"
                          << returned("echo(bool)") << QString();
    QTest::newRow("a number for a bool")
        << echo("bool") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "1" } << 1 << QString() << QStringList()
        << "argument 1 of scripted.echo(bool) is of type bool; 1 is neither true nor false";
    QTest::newRow("date-time at an offset")
        << echo("QDateTime") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "2024-05-06T07:08:09.010+02:00" } << 0
        << "\"2024-05-06T07:08:09.010+02:00\"\n"
        << returned("echo(QDateTime)") << QString();
    QTest::newRow("date-time in UTC")
        << echo("QDateTime") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "\"2024-05-06T07:08:09.010Z\"" } << 0
        << "\"2024-05-06T07:08:09.010Z\"\n"
        << returned("echo(QDateTime)") << QString();
    QTest::newRow("not a date-time")
        << echo("QDateTime") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "tomorrow" } << 1 << QString() << QStringList()
        << "argument 1 of scripted.echo(QDateTime) is of type QDateTime; tomorrow is not an ISO "
           "8601 date-time";
    // remotoctl runs three hours east of UTC.
    QTest::newRow("local date-time with its offset")
        << QStringList { "Method QDateTime now()" } << QVariantList()
        << QVariant(QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9, 10), Qt::LocalTime))
        << QStringList { "call", "scripted", "now" } << 0 << "\"2024-05-06T07:08:09.010+03:00\"\n"
        << returned("now()") << QString();
    QTest::newRow("byte array") << echo("QByteArray") << QVariantList() << QVariant()
                                << QStringList { "call", "scripted", "echo", "AP9oaQ==" } << 0
                                << "\"AP9oaQ==\"\n"
                                << returned("echo(QByteArray)") << QString();
    QTest::newRow("not Base64")
        << echo("QByteArray") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "hi!" } << 1 << QString() << QStringList()
        << "argument 1 of scripted.echo(QByteArray) is of type QByteArray; hi! is not Base64 text";
    QTest::newRow("QVariant takes any JSON")
        << echo("QVariant") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "{\"a\": [1, \"x\\n\", null]}" } << 0
        << "{\"a\":[1,\"x\\n\",null]}\n"
        << returned("echo(QVariant)") << QString();
    QTest::newRow("a list of strings")
        << echo("QStringList") << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "echo", "[1]" } << 1 << QString() << QStringList()
        << "argument 1 of scripted.echo(QStringList) is of type QStringList; [1] is not a JSON "
           "array of strings";
    QTest::newRow("URL") << echo("QUrl") << QVariantList() << QVariant()
                         << QStringList { "call", "scripted", "echo", "http://example.org/a" } << 0
                         << "\"http://example.org/a\"\n"
                         << returned("echo(QUrl)") << QString();
    QTest::newRow("a type of the service's own")
        << QStringList { "Method void f(Gadget)" } << QVariantList() << QVariant()
        << QStringList { "call", "scripted", "f", "{}" } << 1 << QString() << QStringList()
        << "argument 1 of scripted.f(Gadget) is of type Gadget; remotoctl knows no such type";
    QTest::newRow("a result with no JSON form")
        << QStringList { "Method QRect r()" } << QVariantList() << QVariant(QRect(1, 2, 3, 4))
        << QStringList { "call", "scripted", "r" } << 0 << "null\n"
        << returned("r()") << "a QRect value has no JSON form; printed as null";
}

void tst_Remotoctl::scriptedService()
{
    QFETCH(QStringList, records);
    QFETCH(QVariantList, notifications);
    QFETCH(QVariant, result);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QStringList, invoked);
    QFETCH(QString, message);

    ScriptedService scripted(records, notifications, result);
    QVERIFY(scripted.listen());
    QProcessEnvironment environment
        = environmentWithout({ QStringLiteral("REMOTO_ADDRESS"), QStringLiteral("REMOTO_PLUGIN") });
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC-3"));
    const Run run
        = Remotoctl(QStringList { "--connect", scripted.address() } + arguments, environment)
              .finish();
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
        QStringLiteral("watch"), QStringLiteral("scripted"), QStringLiteral("tick"),
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

// The reader of its output goes after one line: the next write ends remotoctl, and with it
// the pipeline.
void tst_Remotoctl::watchEndsWhenItsReaderGoes()
{
    QProcess pipeline;
    pipeline.start(QStringLiteral("sh"),
        { QStringLiteral("-c"),
            QStringLiteral("\"$0\" --connect \"$1\" watch clock tick | head -n 1"),
            QStringLiteral(REMOTOCTL), service->address() });
    QVERIFY(QTest::qWaitFor([&] { return pipeline.state() == QProcess::NotRunning; }, Patience));
    QCOMPARE(pipeline.exitCode(), 0);
    QVERIFY2(pipeline.readAllStandardOutput().startsWith("tick(QString) [\""),
        pipeline.readAllStandardError().constData());
}

// Every line counts, the objects present too.
void tst_Remotoctl::monitorSeesSameProxyComeBack()
{
    Remotoctl monitor(
        on({ QStringLiteral("monitor"), QStringLiteral("--count"), QStringLiteral("6") }));
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

void tst_Remotoctl::version()
{
    const Run run = remotoctl({ QStringLiteral("--version") });
    QCOMPARE(run.exitCode, 0);
    // The module's own version is fixed apart from the project's.
    const QRegularExpression versions(QStringLiteral("^remotoctl ")
        + QRegularExpression::escape(QStringLiteral(REMOTO_VERSION))
        + QStringLiteral("\nRemotoPlugin2 module \\d+\\.\\d+\\.\\d+ "
                         "\\(.*libRemotoPlugin2\\.so\\)\n$"));
    QVERIFY2(versions.match(run.out).hasMatch(), qPrintable(run.out));
}

void tst_Remotoctl::completion_data()
{
    QTest::addColumn<QStringList>("line");
    QTest::addColumn<QString>("completions");

    // The last word is the one being completed; ADDRESS stands for the demo service's.
    QTest::newRow("commands") << QStringList { "" } << "list call watch monitor script";
    QTest::newRow("options") << QStringList { "--co" } << "--connect --count";
    QTest::newRow("objects") << QStringList { "--connect", "ADDRESS", "call", "c" }
                             << "calculator clock counter";
    QTest::newRow("methods") << QStringList { "--connect", "ADDRESS", "call", "calculator", "" }
                             << "add greet stats";
    QTest::newRow("signals") << QStringList { "watch", "--connect=ADDRESS", "counter", "" }
                             << "changed";
    QTest::newRow("nothing after the method")
        << QStringList { "--connect", "ADDRESS", "call", "calculator", "add", "" } << "";
}

void tst_Remotoctl::completion()
{
    QFETCH(QStringList, line);
    QFETCH(QString, completions);

    const QString script = QFINDTESTDATA("../tools/remotoctl/remotoctl.bash-completion");
    QVERIFY(!script.isEmpty());
    line.replaceInStrings(QStringLiteral("ADDRESS"), service->address());
    QProcess bash;
    bash.start(QStringLiteral("bash"),
        QStringList { QStringLiteral("-c"),
            QStringLiteral("source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); "
                           "_remotoctl; echo \"${COMPREPLY[*]}\""),
            QStringLiteral("bash"), script, QStringLiteral(REMOTOCTL) }
            + completionWords(line));
    QVERIFY(QTest::qWaitFor([&] { return bash.state() == QProcess::NotRunning; }, Patience));
    QCOMPARE(QString::fromUtf8(bash.readAllStandardError()), QString());
    QCOMPARE(QString::fromUtf8(bash.readAllStandardOutput()), completions + QLatin1Char('\n'));
}

QTEST_MAIN(tst_Remotoctl)
#include "tst_remotoctl.moc"
