#include "waiter.h"

#include <QtCore/QEventLoop>
#include <QtCore/QPointer>
#include <QtCore/QTimer>

#include <algorithm>
#include <limits>

Waiter::Waiter(QObject *parent)
    : QObject(parent)
{
}

Waiter::~Waiter()
{
    for (QEventLoop *loop : qAsConst(m_loops))
        loop->quit();
}

bool Waiter::wait(const QDeadlineTimer &deadline)
{
    if (m_finished)
        return true;
    if (deadline.hasExpired())
        return false;
    QEventLoop loop;
    QTimer timer;
    if (!deadline.isForever()) {
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(int(qMin(deadline.remainingTime(), qint64(std::numeric_limits<int>::max()))));
    }
    m_loops.append(&loop);
    const QPointer<Waiter> self(this);
    loop.exec();
    if (!self)
        return false;
    m_loops.erase(std::find(m_loops.begin(), m_loops.end(), &loop));
    return m_finished;
}

void Waiter::finish()
{
    m_finished = true;
    for (QEventLoop *loop : qAsConst(m_loops))
        loop->quit();
}
