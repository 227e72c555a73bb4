// A host of the RemotoPlugin2 module, the one the README walks through. It loads the plug-in,
// links it to a service, calls a remote method, subscribes to a remote signal and watches a
// remote object go away and come back. Run it against the demo service (remoto-demo-service):
// it prints what happens and exits with 0 once it has seen all of it, or with 1 on a failure.

#include <socketconnection.h>

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QFileInfo>
#include <QtCore/QPluginLoader>
#include <QtCore/QSet>
#include <QtCore/QTextStream>
#include <QtCore/QTimer>

#include <functional>

namespace {

void print(const QString &line)
{
    QTextStream(stdout) << line << Qt::endl;
}

int fail(const QString &why)
{
    QTextStream(stderr) << "remoto-example-host: " << why << Qt::endl;
    return 1;
}

struct Options
{
    QString plugin;
    QString address;
    int timeout = 0;
};

Options parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Tours the demo service through the RemotoPlugin2 module."));
    parser.addHelpOption();
    // In a build of the module the plug-in sits beside this program; otherwise it is looked
    // for in the module's folder of Qt's plug-in path, as any host would.
    const QPluginLoader beside(
        QCoreApplication::applicationDirPath() + QStringLiteral("/RemotoPlugin2"));
    const QString defaultPlugin
        = beside.fileName().isEmpty() ? QStringLiteral("remoto/RemotoPlugin2") : beside.fileName();
    const QCommandLineOption plugin(QStringLiteral("plugin"),
        QStringLiteral("The plug-in: a file, or a name looked for in Qt's plug-in path "
                       "(default %1).")
            .arg(defaultPlugin),
        QStringLiteral("PATH"), defaultPlugin);
    const QCommandLineOption address(QStringLiteral("connect"),
        QStringLiteral("The service: local:NAME or tcp://HOST:PORT (default local:remoto-demo)."),
        QStringLiteral("ADDRESS"), QStringLiteral("local:remoto-demo"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
        QStringLiteral("Give up after MS milliseconds (default 10000)."), QStringLiteral("MS"),
        QStringLiteral("10000"));
    parser.addOptions({ plugin, address, timeout });
    parser.process(app);

    // QPluginLoader looks a relative name up in the plug-in path, not in the current folder,
    // so a file named on the command line is made absolute first.
    const QFileInfo file(parser.value(plugin));
    return { file.isFile() ? file.absoluteFilePath() : parser.value(plugin), parser.value(address),
        parser.value(timeout).toInt() };
}

} // namespace

//! [host]
// The module is reached by name through Qt's meta-object system, as a script engine would, so a
// host includes none of its headers: its signals are connected with SIGNAL() and SLOT().
class Host : public QObject
{
    Q_OBJECT
public:
    explicit Host(QObject *plugin)
    {
        connect(plugin, SIGNAL(rpcObjectConnected(QObject *)), this, SLOT(objectUp(QObject *)));
        connect(plugin, SIGNAL(rpcObjectDisonnected(QObject *)), this, SLOT(objectDown(QObject *)));
    }

    QSet<QString> up; // the remote objects usable now, by name
    int events = 0;
    bool failed = false;

Q_SIGNALS:
    void changed();

public Q_SLOTS:
    // The proxy is complete (class and methods known): calls to it can go out.
    void objectUp(QObject *proxy)
    {
        print(QStringLiteral("up %1 (%2)")
                  .arg(proxy->objectName(), proxy->property("className").toString()));
        up.insert(proxy->objectName());
        Q_EMIT changed();
    }
    // Withdrawn by the service, or the link is lost. A withdrawn object's proxy stays and comes
    // up again, subscriptions and all, if the service publishes the object again.
    void objectDown(QObject *proxy)
    {
        print(QStringLiteral("down %1").arg(proxy->objectName()));
        up.remove(proxy->objectName());
        Q_EMIT changed();
    }
    // A subscribed remote signal, named by its signature, with its arguments.
    void remoteEvent(const QString &signal, const QVariantList &arguments)
    {
        QStringList texts;
        for (const QVariant &argument : arguments)
            texts.append(argument.toString());
        print(QStringLiteral("event %1 %2 [%3]")
                  .arg(sender()->objectName(), signal, texts.join(QStringLiteral(", "))));
        ++events;
        Q_EMIT changed();
    }
    // The link could not be made, or the service refused or dropped it.
    void connectionFailed(const QString &why)
    {
        print(QStringLiteral("connection failed: %1").arg(why));
        failed = true;
        Q_EMIT changed();
    }
};
//! [host]

//! [calls]
QObject *findObject(QObject *plugin, const QString &name)
{
    QObject *proxy = nullptr;
    QMetaObject::invokeMethod(
        plugin, "findRpcObject", Q_RETURN_ARG(QObject *, proxy), Q_ARG(QString, name));
    return proxy;
}

// Waits for the result: a null QVariant when the call failed, an invalid one when the proxy has
// no method of that name taking that many arguments.
QVariant call(QObject *proxy, const QString &method, const QVariantList &arguments = {})
{
    QVariant result;
    QMetaObject::invokeMethod(proxy, "invoke", Q_RETURN_ARG(QVariant, result),
        Q_ARG(QString, method), Q_ARG(QVariantList, arguments));
    return result;
}

// The signal is given by its signature, as a const char * (the type sendConnect takes: a
// QString or QByteArray argument finds no method to call).
bool subscribe(QObject *proxy, const char *signal)
{
    int accepted = 0;
    QMetaObject::invokeMethod(
        proxy, "sendConnect", Q_RETURN_ARG(int, accepted), Q_ARG(const char *, signal));
    return accepted == 1;
}
//! [calls]

// The module's messages arrive through the event loop, so a host waits in one. Waiting ends
// early when the connection fails.
bool waitUntil(Host &host, const QDeadlineTimer &deadline, const std::function<bool()> &done)
{
    QEventLoop loop;
    QObject::connect(&host, &Host::changed, &loop, [&] {
        if (done() || host.failed)
            loop.quit();
    });
    QTimer::singleShot(int(deadline.remainingTime()), &loop, &QEventLoop::quit);
    if (!done() && !host.failed)
        loop.exec();
    return done();
}

//! [run]
int run(QObject *plugin, const QString &address, const QDeadlineTimer &deadline)
{
    SocketConnection connection;
    QMetaObject::invokeMethod(plugin, "setConnection", Q_ARG(QObject *, &connection));
    Host host(plugin);
    QObject::connect(&connection, &SocketConnection::errorOccurred, &host, &Host::connectionFailed);
    if (!connection.connectToService(address))
        return fail(QStringLiteral("not a service address: ") + address);
    const auto demoObjectsUp = [&] {
        return host.up.contains(QStringLiteral("calculator"))
            && host.up.contains(QStringLiteral("counter"))
            && host.up.contains(QStringLiteral("admin"));
    };
    if (!waitUntil(host, deadline, demoObjectsUp))
        return fail(QStringLiteral("no calculator, counter and admin at ") + address);

    QObject *calculator = findObject(plugin, QStringLiteral("calculator"));
    print(QStringLiteral("calculator add(2, 3) = ")
        + call(calculator, QStringLiteral("add"), { 2, 3 }).toString());

    QObject *counter = findObject(plugin, QStringLiteral("counter"));
    QObject::connect(counter, SIGNAL(event(QString, QVariantList)), &host,
        SLOT(remoteEvent(QString, QVariantList)));
    if (!subscribe(counter, "changed(int)"))
        return fail(QStringLiteral("counter refused the subscription"));
    call(counter, QStringLiteral("increment"));
    if (!waitUntil(host, deadline, [&] { return host.events == 1; }))
        return fail(QStringLiteral("no event from counter"));

    // The demo's admin withdraws counter and publishes it again: the same proxy goes down and
    // comes back up, still subscribed.
    QObject *admin = findObject(plugin, QStringLiteral("admin"));
    call(admin, QStringLiteral("withdraw"), { QStringLiteral("counter") });
    if (!waitUntil(host, deadline, [&] { return !host.up.contains(QStringLiteral("counter")); }))
        return fail(QStringLiteral("counter did not go down"));
    call(admin, QStringLiteral("republish"), { QStringLiteral("counter") });
    if (!waitUntil(host, deadline, [&] { return host.up.contains(QStringLiteral("counter")); }))
        return fail(QStringLiteral("counter did not come back"));
    call(counter, QStringLiteral("increment"));
    if (!waitUntil(host, deadline, [&] { return host.events == 2; }))
        return fail(QStringLiteral("no event from counter after it came back"));
    print(QStringLiteral("done"));
    return 0;
}
//! [run]

//! [load]
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Options options = parseOptions(app);

    QPluginLoader loader(options.plugin);
    QObject *plugin = loader.instance(); // RemotoPlugin, the module's root object
    if (!plugin)
        return fail(QStringLiteral("cannot load %1: %2").arg(options.plugin, loader.errorString()));
    // The root object is the loader's, and instance() hands every caller the same one. A host
    // showing it to a script engine keeps it C++-owned, with QQmlEngine::setObjectOwnership(
    // plugin, QQmlEngine::CppOwnership): deleted by a garbage collection, it would be replaced
    // at the next instance() by a new one without a connection or proxies.
    print(QStringLiteral("loaded RemotoPlugin2 %1 from %2")
              .arg(plugin->property("moduleVersion").toString(), loader.fileName()));

    const int status = run(plugin, options.address, QDeadlineTimer(options.timeout));
    // Deletes the root object and its proxies now; left to the end of the process, that would
    // happen after Qt has shut down.
    loader.unload();
    return status;
}
//! [load]

#include "main.moc"
