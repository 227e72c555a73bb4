// The module side by side with Qt Remote Objects, each used as a host would use it, against a
// service process (remoto_bench_service) publishing the same BenchObject through either
// system. Host and services share one CPU, so no figure pays for wake-ups across CPUs; the two
// systems take turns repetition by repetition, each going first every other time, so drifts in
// the machine's speed reach both alike. Prints medians and the ratio remoto / Qt Remote
// Objects; calls also take turns with a raw ping-pong against the service's echo mode, the
// most a call can reach over the same transport. Nothing here fails on a figure.

#include "benchreport.h"
#include "benchservice.h"
#include "benchtools.h"
#include "testcertificates.h"
#include "wirehost.h"

#include <socketconnection.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QFile>
#include <QtCore/QPluginLoader>
#include <QtCore/QPointer>
#include <QtCore/QUrl>
#include <QtNetwork/QLocalSocket>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpSocket>
#include <QtRemoteObjects/QRemoteObjectDynamicReplica>
#include <QtRemoteObjects/QRemoteObjectNode>
#include <QtRemoteObjects/QRemoteObjectPendingCall>

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

using BenchReport::Better;
using BenchTools::fail;
using BenchTools::freeTcpAddresses;
using BenchTools::tlsSocket;
using BenchTools::waitFor;

// How many of the many hosts connect at a time.
constexpr int Wave = 50;

qint64 ownCpuNs()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns
        = [](const timeval &t) { return qint64(t.tv_sec) * 1000000000 + qint64(t.tv_usec) * 1000; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// Qt Remote Objects takes a TLS link as a device of the host's own making.
bool connectNode(QRemoteObjectNode *node, const QString &address)
{
    const QUrl url(address);
    if (url.scheme() != QLatin1String("tls"))
        return node->connectToNode(url);
    QSslSocket *socket = tlsSocket(url, node);
    QObject::connect(socket, &QSslSocket::encrypted, node,
        [node, socket] { node->addClientSideConnection(socket); });
    return true;
}

QString localAddress(const char *system, int serial)
{
    return QStringLiteral("local:%1-bench-%2-%3")
        .arg(QLatin1String(system))
        .arg(QCoreApplication::applicationPid())
        .arg(serial);
}

// A host of the module: the plug-in loaded with QPluginLoader, driven over a SocketConnection.
class RemotoHost : public QObject
{
    Q_OBJECT
public:
    explicit RemotoHost(QPluginLoader *loader)
        : m_loader(loader)
    {
    }
    ~RemotoHost() override { close(); }

    // Connects and waits until the proxies of "bench" and of `objects` more are ready.
    bool open(const QString &address, int objects)
    {
        m_plugin = m_loader->instance();
        m_connection = new SocketConnection;
        if (address.startsWith(QLatin1String("tls:")))
            m_connection->setTlsCaFile(testCertificates() + QStringLiteral("ca.pem"));
        connect(m_plugin, SIGNAL(rpcObjectConnected(QObject *)), this,
            SLOT(onObjectConnected(QObject *)));
        QMetaObject::invokeMethod(m_plugin, "setConnection", Q_ARG(QObject *, m_connection));
        return m_connection->connectToService(address)
            && waitFor([&] { return m_ready > objects && m_bench; });
    }
    // Proxies become ready as the service announces objects: nothing to ask for.
    void expect(int) { }
    int ready() const { return m_ready; }
    void close()
    {
        delete m_plugin;
        delete m_connection;
        m_connection = nullptr;
        m_bench = nullptr;
        m_ready = 0;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QVariant call(const QString &method, const QVariantList &args)
    {
        QVariant result;
        QMetaObject::invokeMethod(m_bench, "invoke", Q_RETURN_ARG(QVariant, result),
            Q_ARG(QString, method), Q_ARG(QVariantList, args));
        return result;
    }
    int add(int a, int b) { return call(QStringLiteral("add"), { a, b }).toInt(); }
    int length(const QString &text) { return call(QStringLiteral("length"), { text }).toInt(); }
    int text(int length) { return call(QStringLiteral("text"), { length }).toString().size(); }
    void fire() { call(QStringLiteral("burst"), { 1 }); }
    bool subscribe()
    {
        int result = -1;
        QMetaObject::invokeMethod(
            m_bench, "sendConnect", Q_RETURN_ARG(int, result), Q_ARG(const char *, "fired(int)"));
        return result == 1
            && connect(m_bench, SIGNAL(event(QString, QVariantList)), this,
                SLOT(onEvent(QString, QVariantList)));
    }
    bool burst(int count)
    {
        m_received = 0;
        call(QStringLiteral("burst"), { count });
        return waitFor([&] { return m_received >= count; });
    }

private Q_SLOTS:
    void onObjectConnected(QObject *proxy)
    {
        ++m_ready;
        if (proxy->objectName() == QLatin1String("bench"))
            m_bench = proxy;
    }
    void onEvent(const QString &, const QVariantList &) { ++m_received; }

private:
    QPluginLoader *m_loader;
    QPointer<QObject> m_plugin;
    SocketConnection *m_connection = nullptr;
    QObject *m_bench = nullptr;
    int m_ready = 0;
    int m_received = 0;
};

// A host of Qt Remote Objects: a node with dynamic replicas, slots called through pending calls.
class QtroHost : public QObject
{
    Q_OBJECT
public:
    ~QtroHost() override { close(); }

    bool open(const QString &address, int objects)
    {
        m_node = new QRemoteObjectNode;
        if (!connectNode(m_node, address))
            return false;
        m_bench = acquire(QStringLiteral("bench"));
        for (int i = 1; i <= objects; ++i)
            acquire(QStringLiteral("o%1").arg(i));
        return waitFor([&] { return m_ready > objects; });
    }
    // Replicas of the objects p1 to p`count`, which the service has yet to publish: each
    // becomes ready once its source appears.
    void expect(int count)
    {
        for (int i = 1; i <= count; ++i)
            acquire(QStringLiteral("p%1").arg(i));
    }
    int ready() const { return m_ready; }
    void close()
    {
        qDeleteAll(m_replicas);
        m_replicas.clear();
        delete m_node;
        m_node = nullptr;
        m_bench = nullptr;
        m_ready = 0;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    int add(int a, int b) { return wait(call("add", Q_ARG(int, a), Q_ARG(int, b))).toInt(); }
    int length(const QString &text) { return wait(call("length", Q_ARG(QString, text))).toInt(); }
    int text(int length) { return wait(call("text", Q_ARG(int, length))).toString().size(); }
    bool subscribe() { return connect(m_bench, SIGNAL(fired(int)), this, SLOT(onFired())); }
    void fire() { QMetaObject::invokeMethod(m_bench, "burst", Q_ARG(int, 1)); }
    bool burst(int count)
    {
        m_received = 0;
        QMetaObject::invokeMethod(m_bench, "burst", Q_ARG(int, count));
        return waitFor([&] { return m_received >= count; });
    }

private Q_SLOTS:
    void onFired() { ++m_received; }

private:
    QRemoteObjectDynamicReplica *acquire(const QString &name)
    {
        QRemoteObjectDynamicReplica *replica = m_node->acquireDynamic(name);
        connect(replica, &QRemoteObjectReplica::initialized, this, [this] { ++m_ready; });
        m_replicas.push_back(replica);
        return replica;
    }
    QRemoteObjectPendingCall call(
        const char *method, QGenericArgument a, QGenericArgument b = QGenericArgument())
    {
        QRemoteObjectPendingCall pending;
        if (!QMetaObject::invokeMethod(
                m_bench, method, Q_RETURN_ARG(QRemoteObjectPendingCall, pending), a, b))
            fail("a replica call did not go out");
        return pending;
    }
    static QVariant wait(QRemoteObjectPendingCall pending)
    {
        pending.waitForFinished();
        return pending.returnValue();
    }

    QRemoteObjectNode *m_node = nullptr;
    QRemoteObjectDynamicReplica *m_bench = nullptr;
    std::vector<QRemoteObjectDynamicReplica *> m_replicas;
    int m_ready = 0;
    int m_received = 0;
};

// The ceiling of a call: 64 bytes to the echo mode of the service and back, waited for in a
// nested event loop as a call of the module waits.
class RawHost : public QObject
{
public:
    static constexpr int FrameSize = 64;

    bool open(const QString &address)
    {
        const QUrl url(address);
        if (url.scheme() == QLatin1String("local")) {
            auto socket = new QLocalSocket(this);
            connect(socket, &QLocalSocket::readyRead, this, &RawHost::read);
            socket->connectToServer(url.path());
            m_socket = socket;
            return socket->waitForConnected();
        }
        auto socket = new QTcpSocket(this);
        connect(socket, &QTcpSocket::readyRead, this, &RawHost::read);
        socket->connectToHost(url.host(), quint16(url.port()));
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket = socket;
        return socket->waitForConnected();
    }
    void close()
    {
        delete m_socket;
        m_socket = nullptr;
    }
    // One frame there and back; false when the echo did not come whole.
    bool ping()
    {
        const char frame[FrameSize] = {};
        m_received = 0;
        m_socket->write(frame, FrameSize);
        if (auto local = qobject_cast<QLocalSocket *>(m_socket))
            local->flush();
        else
            static_cast<QTcpSocket *>(m_socket)->flush();
        QEventLoop loop;
        m_loop = &loop;
        loop.exec(QEventLoop::WaitForMoreEvents);
        m_loop = nullptr;
        return m_received == FrameSize;
    }

private:
    void read()
    {
        char frame[FrameSize];
        m_received += m_socket->read(frame, FrameSize - m_received);
        if (m_received == FrameSize && m_loop)
            m_loop->quit();
    }

    QIODevice *m_socket = nullptr;
    QEventLoop *m_loop = nullptr;
    qint64 m_received = 0;
};

// One repetition's figures, each taken the same way for both systems.
using Sample = std::vector<double>;

// Calls per second in all, and the 99th percentile of the latencies, in milliseconds.
Sample callFigures(std::vector<double> *latencies, qint64 elapsedNs)
{
    std::sort(latencies->begin(), latencies->end());
    return { latencies->size() / (elapsedNs / 1e9), (*latencies)[latencies->size() * 99 / 100] };
}

// Many hosts of the module in one process, each on a link of its own.
class WireHosts
{
public:
    bool open(const QString &address, int count)
    {
        for (int i = 0; i < count; ++i) {
            // In waves, as the replicas of Qt Remote Objects come: all at once, a service's heap
            // keeps the room every handshake needed at the same time, which would count as
            // memory per host.
            if (i % Wave == 0 && !waitFor([&] { return m_tally.subscribed == i; }))
                return false;
            m_hosts.push_back(std::make_unique<WireHost>(&m_tally));
            m_hosts.back()->open(address);
        }
        return waitFor([&] { return m_tally.subscribed == count; });
    }
    void close()
    {
        m_hosts.clear();
        m_tally.subscribed = 0;
        m_tally.received = 0;
    }
    qint64 received() const { return m_tally.received; }
    // Every host calls add(2, 3) `calls` times, each call once the last is answered: calls
    // per second in all, and the 99th percentile of the calls' latency in milliseconds.
    Sample callAll(int calls)
    {
        m_tally.latencies.clear();
        m_tally.clock.start();
        for (const auto &host : m_hosts)
            host->call(calls);
        const size_t total = size_t(calls) * m_hosts.size();
        if (!waitFor([&] { return m_tally.latencies.size() == total; }))
            fail("a call went unanswered");
        return callFigures(&m_tally.latencies, m_tally.clock.nsecsElapsed());
    }

private:
    // Before the hosts, which count into it to the last.
    WireHost::Tally m_tally;
    std::vector<std::unique_ptr<WireHost>> m_hosts;
};

// As many dynamic replicas of "bench", each on a node and a link of its own.
class QtroReplicas : public QObject
{
    Q_OBJECT
public:
    ~QtroReplicas() override { close(); }

    bool open(const QString &address, int count)
    {
        for (int i = 0; i < count; ++i) {
            // Its listener takes a burst of at most 50 at once: more are dropped by the system.
            if (i % Wave == 0 && !waitFor([&] { return m_ready == i; }))
                return false;
            m_nodes.push_back(std::make_unique<QRemoteObjectNode>());
            if (!connectNode(m_nodes.back().get(), address))
                return false;
            m_replicas.emplace_back(m_nodes.back()->acquireDynamic(QStringLiteral("bench")));
            QRemoteObjectDynamicReplica *replica = m_replicas.back().get();
            connect(replica, &QRemoteObjectReplica::initialized, this, [this, replica] {
                connect(replica, SIGNAL(fired(int)), this, SLOT(onFired()));
                ++m_ready;
            });
        }
        return waitFor([&] { return m_ready == count; });
    }
    void close()
    {
        m_replicas.clear();
        m_nodes.clear();
        m_ready = 0;
        m_received = 0;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    qint64 received() const { return m_received; }
    // As WireHosts::callAll().
    Sample callAll(int calls)
    {
        std::vector<double> latencies;
        QElapsedTimer clock;
        clock.start();
        for (const auto &replica : m_replicas)
            invoke(replica.get(), calls, &clock, &latencies);
        const size_t total = size_t(calls) * m_replicas.size();
        if (!waitFor([&] { return latencies.size() == total; }))
            fail("a call went unanswered");
        return callFigures(&latencies, clock.nsecsElapsed());
    }

private Q_SLOTS:
    void onFired() { ++m_received; }

private:
    void invoke(QRemoteObjectDynamicReplica *replica, int callsLeft, const QElapsedTimer *clock,
        std::vector<double> *latencies)
    {
        QRemoteObjectPendingCall pending;
        const qint64 sentAt = clock->nsecsElapsed();
        QMetaObject::invokeMethod(replica, "add", Q_RETURN_ARG(QRemoteObjectPendingCall, pending),
            Q_ARG(int, 2), Q_ARG(int, 3));
        auto *watcher = new QRemoteObjectPendingCallWatcher(pending, replica);
        connect(watcher, &QRemoteObjectPendingCallWatcher::finished, this,
            [=](QRemoteObjectPendingCallWatcher *done) {
                latencies->push_back((clock->nsecsElapsed() - sentAt) / 1e6);
                done->deleteLater();
                if (callsLeft > 1)
                    invoke(replica, callsLeft - 1, clock, latencies);
            });
    }

    std::vector<std::unique_ptr<QRemoteObjectNode>> m_nodes;
    std::vector<std::unique_ptr<QRemoteObjectDynamicReplica>> m_replicas;
    int m_ready = 0;
    qint64 m_received = 0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Medians
{
    Sample remoto;
    Sample qtro;
};

// The medians of each of `systems`, measured `rounds` times in turn, each going first as often.
std::vector<Sample> alternateAll(int rounds, const std::vector<std::function<Sample()>> &systems)
{
    const size_t count = systems.size();
    std::vector<std::vector<Sample>> samples(count);
    for (int r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < count; ++i) {
            const size_t system = (size_t(r) + i) % count;
            samples[system].push_back(systems[system]());
        }
    }
    std::vector<Sample> result;
    for (const std::vector<Sample> &taken : samples) {
        Sample medians;
        for (size_t field = 0; field < taken.front().size(); ++field) {
            std::vector<double> column;
            for (const Sample &sample : taken)
                column.push_back(sample[field]);
            medians.push_back(median(column));
        }
        result.push_back(medians);
    }
    return result;
}

Medians alternate(
    int rounds, const std::function<Sample()> &remoto, const std::function<Sample()> &qtro)
{
    const std::vector<Sample> m = alternateAll(rounds, { remoto, qtro });
    return { m[0], m[1] };
}

// One measure of both systems and their ratio, with the ratio's target when it has one.
void row(const char *what, double remoto, double qtro, const char *unit, Better better,
    double target = 0)
{
    const double ratio = remoto / qtro;
    std::printf("%-44s %12.1f %12.1f  %-9s %7.2f", what, remoto, qtro, unit, ratio);
    if (target > 0)
        BenchReport::printTarget(ratio, better, target);
    else
        std::printf("  %s is better\n", better == Better::Higher ? "higher" : "lower");
}

// Calls per second, and the CPU each process spent per call in microseconds.
template <typename Host>
Sample callRate(
    Host *host, const BenchService &service, int calls, const std::function<void(Host *)> &once)
{
    const qint64 hostCpu = ownCpuNs();
    const qint64 serviceCpu = service.cpuNs();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i)
        once(host);
    const double seconds = timer.nsecsElapsed() / 1e9;
    return { calls / seconds, (ownCpuNs() - hostCpu) / 1e3 / calls,
        (service.cpuNs() - serviceCpu) / 1e3 / calls };
}

// Each host of the fan-out holds a descriptor here, and the services inherit the limit.
void raiseOpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void pinToOneCpu()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
        fail("cannot pin to CPU 0");
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything starts: the services inherit the affinity.
    pinToOneCpu();
    raiseOpenFileLimit();
    QCoreApplication app(argc, argv);
    if (testCertificates().isEmpty())
        fail("openssl did not make the certificates of the TLS rows");
    qputenv("REMOTO_BENCH_CERTIFICATES", QFile::encodeName(testCertificates()));
    QPluginLoader loader(QStringLiteral(REMOTO_PLUGIN_PATH));
    if (!loader.instance())
        fail(qPrintable(loader.errorString()));
    const int rounds = 7;
    int serial = 0;

    RemotoHost remoto(&loader);
    QtroHost qtro;

    std::printf(
        "%-44s %12s %12s  %-9s %7s\n", "all on CPU 0, medians", "remoto", "QtRO", "unit", "ratio");

    const auto callsOver = [&](const QString &remotoAddress, const QString &qtroAddress,
                               const QString &echoAddress, bool withCpu) {
        BenchService remotoService("remoto", remotoAddress, 0);
        BenchService qtroService("qtro", qtroAddress, 0);
        BenchService echoService("echo", echoAddress, 0);
        RawHost raw;
        if (!remoto.open(remotoAddress, 0) || !qtro.open(qtroAddress, 0) || !raw.open(echoAddress))
            fail("a host did not connect");
        if (remoto.add(2, 3) != 5 || qtro.add(2, 3) != 5)
            fail("add(2, 3) is not 5");
        if (!raw.ping())
            fail("the echo did not come back whole");
        const char *transport = withCpu ? "local socket" : "TCP loopback";
        const QString callRow = QStringLiteral("add(int,int), %1").arg(QLatin1String(transport));
        BenchReport::measuring(qPrintable(callRow));
        const int calls = 20000;
        // The ping-pong takes its turns with both systems, so its ceiling is from the same run.
        const std::vector<Sample> m = alternateAll(rounds,
            { [&] {
                 return callRate<RemotoHost>(
                     &remoto, remotoService, calls, [](RemotoHost *h) { h->add(2, 3); });
             },
                [&] {
                    return callRate<QtroHost>(
                        &qtro, qtroService, calls, [](QtroHost *h) { h->add(2, 3); });
                },
                [&] {
                    return callRate<RawHost>(&raw, echoService, calls, [](RawHost *h) {
                        if (!h->ping())
                            fail("the echo did not come back whole");
                    });
                } });
        const Sample &ours = m[0];
        const Sample &theirs = m[1];
        row(qPrintable(callRow), ours[0], theirs[0], "calls/s", Better::Higher, 1.1);
        // Here the second column is the raw ping-pong's, not Qt Remote Objects'.
        row("  raw nested-loop ping-pong, 64-byte frames", ours[0], m[2][0], "calls/s",
            Better::Higher, 0.9);
        if (withCpu) {
            row("  CPU per call, both processes", ours[1] + ours[2], theirs[1] + theirs[2], "us",
                Better::Lower, 0.8);
            row("    host", ours[1], theirs[1], "us", Better::Lower);
            row("    service", ours[2], theirs[2], "us", Better::Lower);

            const struct
            {
                const char *label;
                int chars;
                int calls;
                double target;
                bool returned;
            } sizes[] = { { "length(QString), 1 Ki chars", 1024, 10000, 0, false },
                { "length(QString), 64 Ki chars", 64 * 1024, 2000, 1.0, false },
                { "length(QString), 1 Mi chars", 1024 * 1024, 100, 1.0, false },
                { "text(int), 64 Ki chars returned", 64 * 1024, 2000, 1.0, true },
                { "text(int), 1 Mi chars returned", 1024 * 1024, 100, 1.0, true } };
            for (const auto &size : sizes) {
                const QString text(size.returned ? 0 : size.chars, QLatin1Char('x'));
                const auto once = [&](auto *host) {
                    return size.returned ? host->text(size.chars) : host->length(text);
                };
                BenchReport::measuring(size.label);
                if (once(&remoto) != size.chars || once(&qtro) != size.chars)
                    fail("a call answered the wrong length");
                const Medians s = alternate(
                    rounds,
                    [&] {
                        return callRate<RemotoHost>(
                            &remoto, remotoService, size.calls, [&](RemotoHost *h) { once(h); });
                    },
                    [&] {
                        return callRate<QtroHost>(
                            &qtro, qtroService, size.calls, [&](QtroHost *h) { once(h); });
                    });
                row(size.label, s.remoto[0], s.qtro[0], "calls/s", Better::Higher, size.target);
            }

            const int events = 100000;
            const char *const burstRow = "signal burst of 100,000 to a host slot";
            BenchReport::measuring(burstRow);
            if (!remoto.subscribe() || !qtro.subscribe())
                fail("cannot subscribe to fired(int)");
            const auto burst = [&](auto *host) {
                QElapsedTimer timer;
                timer.start();
                if (!host->burst(events))
                    fail("a burst did not arrive whole");
                return Sample { events / (timer.nsecsElapsed() / 1e9) };
            };
            const Medians b = alternate(
                rounds, [&] { return burst(&remoto); }, [&] { return burst(&qtro); });
            row(burstRow, b.remoto[0], b.qtro[0], "events/s", Better::Higher, 1.0);
        }
        remoto.close();
        qtro.close();
    };
    const QString remotoLocal = localAddress("remoto", ++serial);
    const QString qtroLocal = localAddress("qtro", ++serial);
    callsOver(remotoLocal, qtroLocal, localAddress("echo", ++serial), true);
    const QStringList tcp = freeTcpAddresses(3);
    callsOver(tcp.at(0), tcp.at(1), tcp.at(2), false);

    // Many hosts on one service, over each transport.
    enum class Link { Local, Tcp, Tls };
    for (const Link link : { Link::Local, Link::Tcp, Link::Tls }) {
        const QLatin1String transport(link == Link::Local ? "local socket"
                : link == Link::Tcp                       ? "TCP loopback"
                                                          : "TLS loopback");
        const auto addressPair = [&] {
            if (link == Link::Local)
                return QStringList { localAddress("remoto", ++serial),
                    localAddress("qtro", ++serial) };
            QStringList addresses = freeTcpAddresses(2);
            if (link == Link::Tls)
                addresses.replaceInStrings(QStringLiteral("tcp:"), QStringLiteral("tls:"));
            return addresses;
        };
        // One emission relayed to many hosts at a time: notifications delivered per second, and
        // the service's CPU per delivered notification.
        for (const int hosts : { 100, 1000 }) {
            const QString fanRow
                = QStringLiteral("fan-out to %1 hosts, %2").arg(hosts).arg(transport);
            BenchReport::measuring(qPrintable(fanRow));
            const QStringList addresses = addressPair();
            const QString &remotoAddress = addresses.at(0);
            const QString &qtroAddress = addresses.at(1);
            BenchService remotoService("remoto", remotoAddress, 0);
            BenchService qtroService("qtro", qtroAddress, 0);
            WireHosts wire;
            QtroReplicas replicas;
            if (!remoto.open(remotoAddress, 0) || !qtro.open(qtroAddress, 0))
                fail("a host did not connect");
            const double remotoAlone = remotoService.rssKiB();
            const double qtroAlone = qtroService.rssKiB();
            if (!wire.open(remotoAddress, hosts))
                fail("the wire-level hosts did not all subscribe");
            if (!replicas.open(qtroAddress, hosts))
                fail("the replicas did not all connect");
            if (hosts == 1000) {
                // The hosts idle, each with its objects known and one subscription.
                const QString idleRow
                    = QStringLiteral("idle hosts: memory per host, %1").arg(transport);
                BenchReport::measuring(qPrintable(idleRow));
                const double remotoPerHost = (remotoService.rssKiB() - remotoAlone) / hosts;
                const double qtroPerHost = (qtroService.rssKiB() - qtroAlone) / hosts;
                std::printf("%-44s %12.1f %12.1f  %-9s %7.2f", qPrintable(idleRow), remotoPerHost,
                    qtroPerHost, "KiB", remotoPerHost / qtroPerHost);
                BenchReport::printTarget(remotoPerHost, Better::Lower, 64, "remoto ", " KiB");
                std::vector<double> canary;
                for (int i = 0; i < 200; ++i) {
                    QElapsedTimer timer;
                    timer.start();
                    if (remoto.add(2, 3) != 5)
                        fail("the canary call answered wrong");
                    canary.push_back(timer.nsecsElapsed() / 1e6);
                }
                const double slowest = *std::max_element(canary.begin(), canary.end());
                std::printf("%-44s %12.2f %12s  %-9s %7s", "  slowest of 200 canary calls", slowest,
                    "", "ms", "");
                BenchReport::printTarget(slowest, Better::Lower, 5, "remoto ", " ms");
            }
            const int emissions = hosts > 100 ? 200 : 1000;
            const auto fanOut = [&](auto *sender, const auto &subscribers, const auto &service) {
                const qint64 serviceCpu = service.cpuNs();
                QElapsedTimer timer;
                timer.start();
                for (int i = 0; i < emissions; ++i) {
                    const qint64 expected = subscribers.received() + hosts;
                    sender->fire();
                    if (!waitFor([&] { return subscribers.received() >= expected; }))
                        fail("an emission did not reach every host");
                }
                const double delivered = double(hosts) * emissions;
                return Sample { delivered / (timer.nsecsElapsed() / 1e9),
                    (service.cpuNs() - serviceCpu) / 1e3 / delivered };
            };
            const Medians m = alternate(
                rounds, [&] { return fanOut(&remoto, wire, remotoService); },
                [&] { return fanOut(&qtro, replicas, qtroService); });
            row(qPrintable(fanRow), m.remoto[0], m.qtro[0], "notes/s", Better::Higher, 1.2);
            row("  service CPU per delivered notification", m.remoto[1], m.qtro[1], "us",
                Better::Lower, 0.83);
            wire.close();
            replicas.close();
            remoto.close();
            qtro.close();
        }

        {
            const int hosts = 100;
            const QString callersRow
                = QStringLiteral("100 hosts calling add(int,int), %1").arg(transport);
            BenchReport::measuring(qPrintable(callersRow));
            const QStringList addresses = addressPair();
            const QString &remotoAddress = addresses.at(0);
            const QString &qtroAddress = addresses.at(1);
            BenchService remotoService("remoto", remotoAddress, 0);
            BenchService qtroService("qtro", qtroAddress, 0);
            WireHosts wire;
            QtroReplicas replicas;
            if (!wire.open(remotoAddress, hosts) || !replicas.open(qtroAddress, hosts))
                fail("the calling hosts did not all connect");
            const Medians m = alternate(
                rounds, [&] { return wire.callAll(200); }, [&] { return replicas.callAll(200); });
            row(qPrintable(callersRow), m.remoto[0], m.qtro[0], "calls/s", Better::Higher, 1.0);
            row("  99th percentile latency", m.remoto[1], m.qtro[1], "ms", Better::Lower, 1.0);
        }
    }

    for (const int objects : { 1000, 10000 }) {
        const QString connectRow
            = QStringLiteral("connect until %1 proxies/replicas ready").arg(objects);
        BenchReport::measuring(qPrintable(connectRow));
        const QString remotoAddress = localAddress("remoto", ++serial);
        const QString qtroAddress = localAddress("qtro", ++serial);
        BenchService remotoService("remoto", remotoAddress, objects);
        BenchService qtroService("qtro", qtroAddress, objects);
        const auto connectAll = [&](auto *host, const QString &address) {
            QElapsedTimer timer;
            timer.start();
            if (!host->open(address, objects))
                fail("not every proxy became ready");
            const double ms = timer.nsecsElapsed() / 1e6;
            host->close();
            return Sample { ms };
        };
        const Medians m = alternate(
            objects > 1000 ? 3 : 5, [&] { return connectAll(&remoto, remotoAddress); },
            [&] { return connectAll(&qtro, qtroAddress); });
        row(qPrintable(connectRow), m.remoto[0], m.qtro[0], "ms", Better::Lower, 1.0);
    }

    const int publications = 10000;
    // The service's own time for the publish calls, then the time until the host has every new
    // proxy or replica ready, and how much longer a publication takes once thousands are
    // published than while there are few.
    const auto publishMany = [&](auto *host, const char *system) {
        const QString address = localAddress(system, ++serial);
        BenchService service(system, address, 0);
        if (!host->open(address, 0))
            fail("a host did not connect");
        host->expect(publications);
        const int before = host->ready();
        QElapsedTimer timer;
        timer.start();
        service.startPublishing(publications);
        if (!waitFor([&] { return host->ready() >= before + publications; }))
            fail("not every published object became ready on the host");
        const double untilReady = timer.nsecsElapsed() / 1e6;
        const BenchService::PublishTimes times = service.publishTimes();
        host->close();
        return Sample { times.all / 1e6, untilReady, double(times.lastTenth) / times.firstTenth };
    };
    const char *const publishRow = "publish 10,000 objects, one host connected";
    BenchReport::measuring(publishRow);
    const Medians p = alternate(
        3, [&] { return publishMany(&remoto, "remoto"); },
        [&] { return publishMany(&qtro, "qtro"); });
    std::printf("%-44s %12.1f %12.1f  %-9s %7.2f", publishRow, p.remoto[0], p.qtro[0], "ms",
        p.remoto[0] / p.qtro[0]);
    BenchReport::printTarget(p.remoto[0], Better::Lower, 50, "remoto ", " ms");
    row("  until the host has them all ready", p.remoto[1], p.qtro[1], "ms", Better::Lower);
    std::printf("%-44s %12.2f %12.2f  %-9s\n", "  last 1,000 publications / first 1,000",
        p.remoto[2], p.qtro[2], "x");
    return 0;
}

#include "remoto_qtro_bench.moc"
