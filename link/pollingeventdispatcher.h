#ifndef POLLINGEVENTDISPATCHER_H
#define POLLINGEVENTDISPATCHER_H

#include <QtCore/qglobal.h>

#ifdef Q_OS_LINUX

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QAtomicInt>
#include <QtCore/QHash>
#include <QtCore/QVector>

#include <chrono>
#include <sys/epoll.h>

class QSocketNotifier;

namespace Wire {

// An epoll-based event dispatcher for a thread that carries the I/O of many TLS links. Install
// it with QThread::setEventDispatcher() before the thread starts. Qt's default dispatcher walks
// all notifiers and writes its wake-up descriptor for each enable or disable of a notifier, and
// QSslSocket toggles its socket's write notifier on every write; here a toggle only changes a
// mask in memory, applied to epoll once before the thread waits, and a burst of posted events
// costs one wake-up.
class PollingEventDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit PollingEventDispatcher(QObject *parent = nullptr);
    ~PollingEventDispatcher() override;

    // Sends posted events, waits (if the flags allow) until a descriptor, a timer or a wake-up
    // needs attention, and delivers what came. Returns whether anything was delivered.
    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    // Whether a wake-up is pending, that is, events were posted since the last pass.
    bool hasPendingEvents() override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(
        int timerId, int interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    // Milliseconds until the timer is due, 0 if overdue, -1 if there is no such timer.
    int remainingTime(int timerId) override;

    // Safe from any thread.
    void wakeUp() override;
    // Makes the current or next pass return without waiting. Safe from any thread.
    void interrupt() override;
    void flush() override;

private:
    using Clock = std::chrono::steady_clock;

    struct Descriptor
    {
        QSocketNotifier *notifiers[3] = {}; // by QSocketNotifier::Type
        quint32 applied = 0; // the events epoll watches for; 0 when not in the set
        quint64 generation = 0; // tells a reused descriptor number from the one it replaced
        bool dirty = false; // queued in m_dirty
    };

    struct Timer
    {
        int interval;
        Qt::TimerType type;
        QObject *object;
        Clock::time_point deadline;
        bool inDelivery; // a nested loop in its slot must not deliver it again
    };

    static quint32 wantedEvents(const Descriptor &descriptor);
    void markDirty(int fd, Descriptor &descriptor);
    void applyChanges();
    int waitTimeout() const;
    void drainWakeUps();
    int activateSocketNotifiers(const epoll_event *events, int count);
    int activateTimers();

    int m_epoll;
    int m_wakeFd;
    QAtomicInt m_wakeUpPending;
    QAtomicInt m_interrupted;
    QHash<int, Descriptor> m_descriptors;
    QVector<int> m_dirty;
    quint64 m_generations = 0;
    QHash<int, Timer> m_timers;
};

} // namespace Wire

#endif // Q_OS_LINUX

#endif
