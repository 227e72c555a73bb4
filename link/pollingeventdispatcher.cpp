#include "pollingeventdispatcher.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QSocketNotifier>
#include <QtCore/QVarLengthArray>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Wire {

namespace {

// The events that make each kind of notifier ready, by QSocketNotifier::Type. An error or a
// hang-up wakes both reader and writer, so that whichever the owner waits on learns of it; epoll
// reports both whether asked or not, and would report them again and again to a writer alone.
constexpr quint32 readyEvents[3]
    = { EPOLLIN | EPOLLHUP | EPOLLERR, EPOLLOUT | EPOLLHUP | EPOLLERR, EPOLLPRI };
constexpr quint32 watchedEvents[3] = { EPOLLIN, EPOLLOUT, EPOLLPRI };

// Rounded up, so that a wait never ends just before a deadline and leaves a pass with nothing
// to do.
int ceilMilliseconds(std::chrono::steady_clock::duration duration)
{
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
    return int(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
}

} // namespace

PollingEventDispatcher::PollingEventDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent)
    , m_epoll(epoll_create1(EPOLL_CLOEXEC))
    , m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.fd = m_wakeFd;
    // Without these the thread could neither wait nor be woken.
    if (m_epoll < 0 || m_wakeFd < 0 || epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &event) < 0)
        qFatal("PollingEventDispatcher: cannot set up epoll: %s", std::strerror(errno));
}

PollingEventDispatcher::~PollingEventDispatcher()
{
    close(m_wakeFd);
    close(m_epoll);
}

bool PollingEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    emit awake();
    int delivered = 0;
    // Cleared before the posted events go out, so that an event posted while they do wakes the
    // wait below.
    if (m_wakeUpPending.fetchAndStoreAcquire(0)) {
        drainWakeUps();
        ++delivered;
    }
    QCoreApplication::sendPostedEvents();
    if (m_interrupted.fetchAndStoreAcquire(0))
        return false;

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool mayBlock = (flags & QEventLoop::WaitForMoreEvents) && !m_wakeUpPending.loadAcquire()
        && !m_interrupted.loadAcquire();
    // What a slot of aboutToBlock() posts wrote the wake-up descriptor, which ends the wait.
    if (mayBlock)
        emit aboutToBlock();
    const int timeout = !mayBlock ? 0 : includeTimers ? waitTimeout() : -1;

    epoll_event events[256];
    int count = 0;
    if (flags & QEventLoop::ExcludeSocketNotifiers) {
        // Level-triggered epoll would report a ready socket at once, again and again: wait on
        // the wake-up descriptor alone.
        pollfd wake { m_wakeFd, POLLIN, 0 };
        if (poll(&wake, 1, timeout) > 0) {
            drainWakeUps();
            ++delivered;
        }
    } else {
        applyChanges();
        // A signal merely ends this pass early.
        count = std::max(0, epoll_wait(m_epoll, events, int(std::size(events)), timeout));
    }
    if (mayBlock)
        emit awake();

    delivered += activateSocketNotifiers(events, count);
    if (includeTimers)
        delivered += activateTimers();
    return delivered > 0;
}

bool PollingEventDispatcher::hasPendingEvents()
{
    return m_wakeUpPending.loadAcquire() != 0;
}

void PollingEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    auto it = m_descriptors.find(fd);
    if (it == m_descriptors.end()) {
        it = m_descriptors.insert(fd, Descriptor());
        it->generation = ++m_generations;
    }
    QSocketNotifier *&slot = it->notifiers[notifier->type()];
    if (slot && slot != notifier)
        qWarning("PollingEventDispatcher: a second notifier of type %d for descriptor %d "
                 "replaces the first",
            int(notifier->type()), fd);
    slot = notifier;
    markDirty(fd, *it);
}

void PollingEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const auto it = m_descriptors.find(fd);
    if (it == m_descriptors.end() || it->notifiers[notifier->type()] != notifier)
        return;
    it->notifiers[notifier->type()] = nullptr;
    if (wantedEvents(*it)) {
        markDirty(fd, *it);
        return;
    }
    // The owner may close the descriptor as soon as this returns: a duplicate of it would keep
    // it in the set, and a new descriptor under the same number must not inherit its state.
    // This fails when the owner closed it first; then only a duplicate it left open keeps it in.
    if (it->applied)
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    m_descriptors.erase(it);
}

void PollingEventDispatcher::registerTimer(
    int timerId, int interval, Qt::TimerType timerType, QObject *object)
{
    // Very coarse timers only promise whole seconds; fewer wake-ups is their point.
    if (timerType == Qt::VeryCoarseTimer)
        interval = (interval + 999) / 1000 * 1000;
    m_timers.insert(timerId,
        Timer { interval, timerType, object, Clock::now() + std::chrono::milliseconds(interval),
            false });
}

bool PollingEventDispatcher::unregisterTimer(int timerId)
{
    return m_timers.remove(timerId) > 0;
}

bool PollingEventDispatcher::unregisterTimers(QObject *object)
{
    bool found = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->object == object) {
            it = m_timers.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
}

QList<QAbstractEventDispatcher::TimerInfo> PollingEventDispatcher::registeredTimers(
    QObject *object) const
{
    QList<TimerInfo> timers;
    for (auto it = m_timers.cbegin(); it != m_timers.cend(); ++it) {
        if (it->object == object)
            timers.append(TimerInfo(it.key(), it->interval, it->type));
    }
    return timers;
}

int PollingEventDispatcher::remainingTime(int timerId)
{
    const auto it = m_timers.constFind(timerId);
    return it == m_timers.cend() ? -1 : ceilMilliseconds(it->deadline - Clock::now());
}

void PollingEventDispatcher::wakeUp()
{
    // Only the first of a burst writes; the pass that clears the flag sees them all.
    if (m_wakeUpPending.testAndSetRelease(0, 1))
        eventfd_write(m_wakeFd, 1);
}

void PollingEventDispatcher::interrupt()
{
    m_interrupted.storeRelease(1);
    wakeUp();
}

void PollingEventDispatcher::flush()
{
    // Nothing is buffered.
}

quint32 PollingEventDispatcher::wantedEvents(const Descriptor &descriptor)
{
    quint32 events = 0;
    for (int type = 0; type < 3; ++type) {
        if (descriptor.notifiers[type])
            events |= watchedEvents[type];
    }
    return events;
}

void PollingEventDispatcher::markDirty(int fd, Descriptor &descriptor)
{
    if (!descriptor.dirty) {
        descriptor.dirty = true;
        m_dirty.append(fd);
    }
}

void PollingEventDispatcher::applyChanges()
{
    for (const int fd : qAsConst(m_dirty)) {
        const auto it = m_descriptors.find(fd);
        if (it == m_descriptors.end() || !it->dirty)
            continue;
        it->dirty = false;
        const quint32 wanted = wantedEvents(*it);
        if (wanted == it->applied)
            continue;
        epoll_event event {};
        event.events = wanted;
        event.data.fd = fd;
        int result = epoll_ctl(m_epoll, it->applied ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event);
        // The set disagrees with our record when the owner closed and reopened the number
        // behind our back, or closed a descriptor that a duplicate keeps in the set.
        if (result < 0 && (errno == ENOENT || errno == EEXIST))
            result
                = epoll_ctl(m_epoll, errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
        if (result < 0) {
            qWarning(
                "PollingEventDispatcher: cannot watch descriptor %d: %s", fd, std::strerror(errno));
            continue;
        }
        it->applied = wanted;
    }
    m_dirty.clear();
}

int PollingEventDispatcher::waitTimeout() const
{
    const Clock::time_point now = Clock::now();
    int timeout = -1;
    for (const Timer &timer : m_timers) {
        // One in delivery waits for its slot to return, however long a nested loop runs.
        if (timer.inDelivery)
            continue;
        const int ms = ceilMilliseconds(timer.deadline - now);
        if (timeout < 0 || ms < timeout)
            timeout = ms;
    }
    return timeout;
}

void PollingEventDispatcher::drainWakeUps()
{
    eventfd_t count;
    eventfd_read(m_wakeFd, &count);
}

int PollingEventDispatcher::activateSocketNotifiers(const epoll_event *events, int count)
{
    // A delivery may close a descriptor and open another under the same number; what epoll
    // reported belongs to the old one.
    const quint64 newer = m_generations;
    int delivered = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == m_wakeFd) {
            drainWakeUps();
            ++delivered;
            continue;
        }
        for (int type = 0; type < 3; ++type) {
            if (!(events[i].events & readyEvents[type]))
                continue;
            // Looked up again each time: a delivery may unregister or delete any notifier.
            const auto it = m_descriptors.constFind(fd);
            if (it == m_descriptors.cend() || it->generation > newer)
                break;
            // Qt registers a notifier exactly while it is enabled.
            if (!it->notifiers[type])
                continue;
            QEvent event(QEvent::SockAct);
            QCoreApplication::sendEvent(it->notifiers[type], &event);
            ++delivered;
        }
    }
    return delivered;
}

int PollingEventDispatcher::activateTimers()
{
    const Clock::time_point now = Clock::now();
    QVarLengthArray<std::pair<Clock::time_point, int>, 32> due;
    for (auto it = m_timers.cbegin(); it != m_timers.cend(); ++it) {
        if (!it->inDelivery && it->deadline <= now)
            due.append({ it->deadline, it.key() });
    }
    std::sort(due.begin(), due.end());

    int delivered = 0;
    for (const auto &[deadline, id] : due) {
        // An earlier delivery may have stopped, restarted or re-entered this timer.
        auto it = m_timers.find(id);
        if (it == m_timers.end() || it->deadline != deadline)
            continue;
        const auto interval = std::chrono::milliseconds(it->interval);
        it->deadline = deadline + interval;
        // A late thread resumes the rhythm instead of catching up with a burst.
        if (it->deadline < now)
            it->deadline = now + interval;
        it->inDelivery = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(it->object, &event);
        ++delivered;
        it = m_timers.find(id);
        if (it != m_timers.end())
            it->inDelivery = false;
    }
    return delivered;
}

} // namespace Wire
