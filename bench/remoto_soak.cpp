// Hosts connecting, subscribing, calling and leaving at random on one service (a
// remoto_bench_service on TCP loopback) for SOAK_SECONDS, 300 by default: whatever hosts take,
// the service must give back. After a warm-up, and again at the end, new hosts and calls stop
// and every host leaves; then the service's memory at the end must be within 10% of what it held
// after the warm-up, every call must have had its answer, and the service must hold no more
// descriptors than before the first host came. Prints its figures; exits 1 when any of the three
// fails.

#include "benchreport.h"
#include "benchservice.h"
#include "benchtools.h"
#include "wirehost.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

namespace {

using BenchReport::Better;
using BenchTools::fail;
using BenchTools::waitFor;

// Below the service's 256 clients at once, with room for the hosts it has yet to see go.
constexpr int MostHosts = 100;
// A call waiting longer has been lost.
constexpr int AnswerPatienceMs = 10000;
// Descriptors not given back within this after the last host left have leaked.
constexpr int DescriptorPatienceMs = 10000;
// How often the driver has the subscribers notified.
constexpr int FireEveryMs = 100;

// How a host of the churn ends.
enum Fate {
    // Makes its calls and leaves after the last answer, as most hosts do.
    Done,
    // Aborts its link with a call on its way.
    AbortInCall,
    // Leaves without ever sending hello.
    Silent,
    // Aborts while its handshake is under way.
    MidHandshake,
    Fates
};

const char *const FateNames[Fates]
    = { "  left after their last answer", "  aborted with a call on its way",
          "  left without a hello", "  aborted during the handshake" };

class Churn : public QObject
{
public:
    explicit Churn(const QString &address)
        : m_address(address)
    {
        connect(&m_ticker, &QTimer::timeout, this, &Churn::tick);
        m_ticker.start(10);
    }

    // Hosts come and go for `ms` milliseconds.
    void run(qint64 ms)
    {
        m_open = true;
        m_driver = std::make_unique<WireHost>(&m_tally);
        m_driver->open(m_address);
        QElapsedTimer elapsed;
        elapsed.start();
        waitFor([&] { return elapsed.elapsed() >= ms; }, int(ms) + 1000);
    }

    // No new host and no new call; once every call on its way is answered, or lost, every host
    // leaves.
    void settle()
    {
        m_open = false;
        const auto waiting = [&](const WireHost *wire) { return wire->waitingSince() >= 0; };
        const auto anyWaiting = [&] {
            return waiting(m_driver.get())
                || std::any_of(m_hosts.begin(), m_hosts.end(),
                    [&](const Host &host) { return waiting(host.wire.get()); });
        };
        // Meanwhile the watchdog counts a call lost once it waits too long, and drops its host.
        waitFor([&] { return !anyWaiting(); }, AnswerPatienceMs + 1000);
        tick();
        m_lost += std::count_if(m_hosts.begin(), m_hosts.end(),
            [&](const Host &host) { return waiting(host.wire.get()); });
        m_lost += waiting(m_driver.get()) ? 1 : 0;
        while (!m_hosts.empty())
            retire(m_hosts.back().wire.get(), Leave);
        m_driver->leave();
        m_driver.reset();
    }

    qint64 served(Fate fate) const { return m_served[fate]; }
    qint64 answered() const { return m_answered; }
    double slowestMs() const { return m_slowestMs; }
    qint64 lost() const { return m_lost; }
    qint64 unannounced() const { return m_unannounced; }
    qint64 received() const { return m_tally.received; }

private:
    struct Host
    {
        std::unique_ptr<WireHost> wire;
        Fate fate;
        qint64 since;
        int callsLeft;
    };
    enum Exit { Leave, Abort };

    int between(int low, int high)
    {
        return std::uniform_int_distribution<int>(low, high)(m_random);
    }

    void tick()
    {
        for (const double ms : m_tally.latencies)
            m_slowestMs = std::max(m_slowestMs, ms);
        m_answered += qint64(m_tally.latencies.size());
        m_tally.latencies.clear();

        const qint64 now = m_tally.clock.nsecsElapsed();
        const auto overdue = [&](const WireHost *wire) {
            return wire->waitingSince() >= 0
                && now - wire->waitingSince() > qint64(AnswerPatienceMs) * 1000000;
        };
        for (size_t i = 0; i < m_hosts.size();) {
            const Host &host = m_hosts[i];
            if (overdue(host.wire.get())) {
                ++m_lost;
                retire(host.wire.get(), Abort);
            } else if (host.fate != Silent && !host.wire->isSubscribed()
                && host.wire->waitingSince() < 0
                && now - host.since > qint64(AnswerPatienceMs) * 1000000) {
                // Never told of the objects: the service did not take it in.
                ++m_unannounced;
                retire(host.wire.get(), Abort);
            } else {
                ++i;
            }
        }
        if (!m_driver)
            return;
        if (overdue(m_driver.get())) {
            ++m_lost;
            m_driver->abort();
            m_driver = std::make_unique<WireHost>(&m_tally);
            m_driver->open(m_address);
        }
        if (m_open && m_driver->isSubscribed() && m_driver->waitingSince() < 0
            && now - m_lastFire >= qint64(FireEveryMs) * 1000000) {
            m_lastFire = now;
            m_driver->fire();
        }
        // A few at a time, so that hosts arrive over time rather than in bursts.
        for (int i = 0; m_open && i < 2 && int(m_hosts.size()) < MostHosts; ++i)
            spawn();
    }

    void spawn()
    {
        const int dice = between(0, 99);
        const Fate fate = dice < 70 ? Done
            : dice < 80             ? AbortInCall
            : dice < 90             ? Silent
                                    : MidHandshake;
        ++m_served[fate];
        m_hosts.push_back({ std::make_unique<WireHost>(&m_tally), fate,
            m_tally.clock.nsecsElapsed(), between(1, 50) });
        WireHost *wire = m_hosts.back().wire.get();
        wire->open(m_address, fate == Silent ? WireHost::Silent : WireHost::Handshake);
        // Queued, so that no host goes while it reads.
        const auto later = Qt::QueuedConnection;
        switch (fate) {
        case Done:
        case AbortInCall:
            connect(
                wire, &WireHost::subscribed, wire, [this, wire] { pause(wire); }, later);
            connect(
                wire, &WireHost::answered, wire, [this, wire] { pause(wire); }, later);
            break;
        case Silent:
            // Well before the service's hello deadline of 10 s.
            QTimer::singleShot(between(0, 1000), wire,
                [this, wire, exit = Exit(between(Leave, Abort))] { retire(wire, exit); });
            break;
        case MidHandshake:
            connect(
                wire, &WireHost::announced, wire,
                [this, wire] {
                    QTimer::singleShot(between(0, 2), wire, [this, wire] { retire(wire, Abort); });
                },
                later);
            break;
        case Fates:
            break;
        }
    }

    // Between two calls a host does something else for a while, so that many are there at
    // once to be notified.
    void pause(WireHost *wire)
    {
        const Host *host = find(wire);
        if (!host)
            return;
        if (host->callsLeft == 0 || !m_open)
            retire(wire, Leave);
        else
            QTimer::singleShot(between(0, 20), wire, [this, wire] { call(wire); });
    }

    void call(WireHost *wire)
    {
        Host *host = find(wire);
        if (!host)
            return;
        if (!m_open) {
            retire(wire, Leave);
            return;
        }
        --host->callsLeft;
        wire->call(1);
        // Long enough for the call to go out, mostly too short for its answer to come back.
        if (host->fate == AbortInCall && host->callsLeft == 0)
            QTimer::singleShot(between(1, 3), wire, [this, wire] { retire(wire, Abort); });
    }

    Host *find(const WireHost *wire)
    {
        const auto found = std::find_if(m_hosts.begin(), m_hosts.end(),
            [wire](const Host &host) { return host.wire.get() == wire; });
        return found == m_hosts.end() ? nullptr : &*found;
    }

    // Ends a host's link and lets it go; a host already gone is left alone, since what it
    // queued may still come.
    void retire(WireHost *wire, Exit exit)
    {
        Host *found = find(wire);
        if (!found)
            return;
        if (exit == Abort)
            wire->abort();
        else
            wire->leave();
        // Later: it may be the one whose signal or timer brought us here.
        found->wire.release()->deleteLater();
        *found = std::move(m_hosts.back());
        m_hosts.pop_back();
    }

    const QString m_address;
    WireHost::Tally m_tally;
    std::vector<Host> m_hosts;
    std::unique_ptr<WireHost> m_driver;
    QTimer m_ticker;
    std::mt19937 m_random { std::random_device()() };
    bool m_open = false;
    qint64 m_lastFire = 0;
    qint64 m_served[Fates] = {};
    qint64 m_answered = 0;
    double m_slowestMs = 0;
    qint64 m_lost = 0;
    qint64 m_unannounced = 0;
};

// One figure a row; one with a target, held below it, ends with whether this run met it.
void row(const char *what, double figure, const char *unit, int decimals = 0, double target = -1)
{
    std::printf("%-44s %12.*f  %-9s", what, decimals, figure, unit);
    if (target >= 0)
        BenchReport::printTarget(figure, Better::Lower, target);
    else
        std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = qEnvironmentVariableIsSet("SOAK_SECONDS")
        ? qEnvironmentVariableIntValue("SOAK_SECONDS")
        : 300;
    // A warm-up long enough for the service's allocations to reach their working size.
    const int warmUp = std::max(10, seconds / 10);
    if (seconds < 2 * warmUp)
        fail("SOAK_SECONDS must be 20 or more");

    const QString address = BenchTools::freeTcpAddresses(1).constFirst();
    BenchService service("remoto", address, 0);
    const int descriptorsAlone = service.descriptors();
    const auto descriptorsBack = [&] {
        waitFor([&] { return service.descriptors() <= descriptorsAlone; }, DescriptorPatienceMs);
        return service.descriptors();
    };
    Churn churn(address);

    BenchReport::measuring("warm-up");
    churn.run(warmUp * 1000);
    churn.settle();
    const int descriptorsWarm = descriptorsBack();
    const double rssWarm = service.rssKiB();

    BenchReport::measuring("churn");
    churn.run((seconds - warmUp) * 1000LL);
    churn.settle();
    const int descriptorsEnd = descriptorsBack();
    const double rssEnd = service.rssKiB();

    row("churn, up to 100 hosts at once", seconds, "s");
    row("  of which warm-up", warmUp, "s");
    qint64 served = 0;
    for (int fate = 0; fate < Fates; ++fate)
        served += churn.served(Fate(fate));
    row("hosts served", served, "hosts");
    for (int fate = 0; fate < Fates; ++fate)
        row(FateNames[fate], churn.served(Fate(fate)), "hosts");
    row("  never told of the objects within 10 s", churn.unannounced(), "hosts");
    row("calls answered", churn.answered(), "calls");
    row("  slowest answer", churn.slowestMs(), "ms", 1);
    row("notifications received", churn.received(), "notes");
    row("service memory after warm-up", rssWarm, "KiB");
    row("service memory at the end", rssEnd, "KiB");
    const double ratio = rssEnd / rssWarm;
    row("  at the end / after warm-up", ratio, "x", 3, 1.1);
    row("calls left unanswered", churn.lost(), "calls", 0, 0);
    row("service descriptors with no host", descriptorsAlone, "");
    row("  after warm-up", descriptorsWarm, "");
    row("  at the end", descriptorsEnd, "");
    const int leaked = std::max(descriptorsWarm, descriptorsEnd) - descriptorsAlone;
    row("  leaked", leaked, "", 0, 0);

    const bool met = ratio <= 1.1 && churn.lost() == 0 && leaked <= 0;
    return met ? 0 : 1;
}
