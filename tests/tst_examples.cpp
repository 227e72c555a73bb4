#include "demoservice.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#include <memory>

namespace {

constexpr int Patience = 60000;

struct Run
{
    int exitCode = -1;
    QStringList lines;
    QString err;
};

// remotoctl's own defaults stay out of the way: every run names the plug-in and the service.
QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("REMOTO_ADDRESS"));
    environment.remove(QStringLiteral("REMOTO_PLUGIN"));
    environment.remove(QStringLiteral("QT_PLUGIN_PATH"));
    return environment;
}

Run finish(QProcess &process)
{
    Run run;
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(Patience))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.lines = QString::fromUtf8(process.readAllStandardOutput())
                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

Run runProgram(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment = cleanEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    return finish(process);
}

QStringList remotoctlArguments(const QString &address, const QStringList &command)
{
    const QStringList options { QStringLiteral("--plugin"), QStringLiteral(REMOTO_PLUGIN_PATH),
        QStringLiteral("--connect"), address };
    return options + command;
}

} // namespace

// The example programs run as a reader would run them: the host example against the demo
// service, the service example reached through remotoctl.
class tst_Examples : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void hostTour_data();
    void hostTour();
    void hostFailures_data();
    void hostFailures();
    void serviceCalls_data();
    void serviceCalls();
    void serviceSignal();

private:
    QString exampleServiceAddress;
    QProcess exampleService;
};

void tst_Examples::initTestCase()
{
    exampleServiceAddress
        = QStringLiteral("local:remoto-tst-example-%1").arg(QCoreApplication::applicationPid());
    exampleService.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    exampleService.start(QStringLiteral(REMOTO_EXAMPLE_SERVICE),
        { QStringLiteral("--listen"), exampleServiceAddress });
    QVERIFY(exampleService.waitForReadyRead(Patience));
    QCOMPARE(QString::fromUtf8(exampleService.readLine()).trimmed(),
        QStringLiteral("listening on ") + exampleServiceAddress);
}

void tst_Examples::cleanupTestCase()
{
    exampleService.kill();
    exampleService.waitForFinished(Patience);
    QLocalServer::removeServer(exampleServiceAddress.mid(6));
}

void tst_Examples::hostTour_data()
{
    QTest::addColumn<bool>("throughPluginPath");

    // Beside the program, as a build of the module leaves it.
    QTest::newRow("plug-in found by default") << false;
    // In the module's folder of a directory in QT_PLUGIN_PATH, as an installed host finds it.
    QTest::newRow("plug-in found through QT_PLUGIN_PATH") << true;
}

void tst_Examples::hostTour()
{
    QFETCH(bool, throughPluginPath);

    DemoService demo;
    QVERIFY(demo.start());
    QStringList arguments { QStringLiteral("--connect"), demo.address() };
    QProcessEnvironment environment = cleanEnvironment();
    QString plugin = QFileInfo(QStringLiteral(REMOTO_PLUGIN_PATH)).canonicalFilePath();
    QTemporaryDir pluginPath;
    if (throughPluginPath) {
        QVERIFY(pluginPath.isValid());
        QVERIFY(QDir(pluginPath.path()).mkdir(QStringLiteral("remoto")));
        const QString copy = pluginPath.filePath(
            QStringLiteral("remoto/") + QFileInfo(QStringLiteral(REMOTO_PLUGIN_PATH)).fileName());
        QVERIFY(QFile::copy(plugin, copy));
        plugin = QFileInfo(copy).canonicalFilePath();
        environment.insert(QStringLiteral("QT_PLUGIN_PATH"), pluginPath.path());
        arguments << QStringLiteral("--plugin") << QStringLiteral("remoto/RemotoPlugin2");
    }

    Run run = runProgram(QStringLiteral(REMOTO_EXAMPLE_HOST), arguments, environment);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.lines.value(0).startsWith(QStringLiteral("loaded RemotoPlugin2 ")),
        qPrintable(run.lines.value(0)));
    QVERIFY2(run.lines.takeFirst().endsWith(QStringLiteral(" from ") + plugin), qPrintable(plugin));
    // The clock is not waited for: its proxy may come up at any point of the tour.
    QCOMPARE(run.lines.removeAll(QStringLiteral("up clock (Clock)")), 1);
    QStringList initial = run.lines.mid(0, 3);
    initial.sort();
    QCOMPARE(initial,
        QStringList(
            { QStringLiteral("up admin (Admin)"), QStringLiteral("up calculator (Calculator)"),
                QStringLiteral("up counter (Counter)") }));
    QCOMPARE(run.lines.mid(3),
        QStringList({ QStringLiteral("calculator add(2, 3) = 5"),
            QStringLiteral("event counter changed(int) [1]"), QStringLiteral("down counter"),
            QStringLiteral("up counter (Counter)"),
            QStringLiteral("event counter changed(int) [2]"), QStringLiteral("done") }));
}

void tst_Examples::hostFailures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("no plug-in") << QStringList { "--plugin", "/nonexistent/libRemotoPlugin2.so" }
                                << "not found";
    QTest::newRow("not an address")
        << QStringList { "--connect", "nowhere" } << "not a service address: nowhere";
    QTest::newRow("nobody listening")
        << QStringList { "--connect", "local:remoto-tst-nobody-listens" }
        << "no calculator, counter and admin at local:remoto-tst-nobody-listens";
}

void tst_Examples::hostFailures()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const Run run = runProgram(QStringLiteral(REMOTO_EXAMPLE_HOST), arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.startsWith(QStringLiteral("remoto-example-host: ")), qPrintable(run.err));
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
}

void tst_Examples::serviceCalls_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QStringList>("output");

    // What the service offers: methods, slots and its signal, not the property itself nor
    // QObject's own.
    QTest::newRow("list") << QStringList { "list" }
                          << QStringList { "thermostat (Thermostat)", "    void setTarget(double)",
                                 "    double target()", "    bool heats(double)",
                                 "    signal targetChanged(double)" };
    QTest::newRow("the property's getter")
        << QStringList { "call", "thermostat", "target" } << QStringList { "20" };
    QTest::newRow("an invokable method with an argument")
        << QStringList { "call", "thermostat", "heats", "19.5" } << QStringList { "true" };
}

void tst_Examples::serviceCalls()
{
    QFETCH(QStringList, command);
    QFETCH(QStringList, output);

    const Run run
        = runProgram(QStringLiteral(REMOTOCTL), remotoctlArguments(exampleServiceAddress, command));
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines, output);
}

void tst_Examples::serviceSignal()
{
    QProcess watch;
    watch.setProcessEnvironment(cleanEnvironment());
    watch.start(QStringLiteral(REMOTOCTL),
        remotoctlArguments(exampleServiceAddress,
            { QStringLiteral("watch"), QStringLiteral("thermostat"),
                QStringLiteral("targetChanged(double)"), QStringLiteral("--count"),
                QStringLiteral("1") }));
    QVERIFY(watch.waitForStarted(Patience));
    // Changes made before the watcher has subscribed go unseen; each setting differs from the
    // last, so each one emits the signal.
    double target = 21;
    const auto setUntilSeen = [&] {
        if (watch.state() == QProcess::NotRunning)
            return true;
        target += 0.5;
        runProgram(QStringLiteral(REMOTOCTL),
            remotoctlArguments(exampleServiceAddress,
                { QStringLiteral("call"), QStringLiteral("thermostat"), QStringLiteral("setTarget"),
                    QString::number(target) }));
        return false;
    };
    QVERIFY(QTest::qWaitFor(setUntilSeen, Patience));
    const Run run = finish(watch);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.size(), 1);
    const QRegularExpression event(QStringLiteral("^targetChanged\\(double\\) \\[(.+)\\]$"));
    const double seen = event.match(run.lines.at(0)).captured(1).toDouble();
    QVERIFY2(seen > 21 && seen <= target, qPrintable(run.lines.at(0)));

    const Run last = runProgram(QStringLiteral(REMOTOCTL),
        remotoctlArguments(exampleServiceAddress,
            { QStringLiteral("call"), QStringLiteral("thermostat"), QStringLiteral("target") }));
    QCOMPARE(last.lines, QStringList { QString::number(target) });
}

QTEST_GUILESS_MAIN(tst_Examples)
#include "tst_examples.moc"
