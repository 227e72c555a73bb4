#include "demoobjects.h"

#include <remotoservice.h>

#include <QtCore/QTime>

#include <limits>

namespace {

// Three ints cannot overflow a qint64.
int saturated(qint64 sum)
{
    return int(
        qBound<qint64>(std::numeric_limits<int>::min(), sum, std::numeric_limits<int>::max()));
}

} // namespace

int Calculator::add(int a, int b) const
{
    return saturated(qint64(a) + b);
}

int Calculator::add(int a, int b, int c) const
{
    return saturated(qint64(a) + b + c);
}

QString Calculator::greet(const QString &name) const
{
    return QStringLiteral("Hello, %1!").arg(name);
}

QVariantMap Calculator::stats(const QVariantList &values) const
{
    double sum = 0;
    for (const QVariant &value : values)
        sum += value.toDouble();
    return {
        { QStringLiteral("count"), values.size() },
        { QStringLiteral("sum"), sum },
        // An empty list has no mean; 0 keeps the answer plain JSON.
        { QStringLiteral("mean"), values.isEmpty() ? 0.0 : sum / values.size() },
    };
}

void Counter::increment()
{
    Q_EMIT changed(++m_value);
}

void Counter::reset()
{
    m_value = 0;
    Q_EMIT changed(m_value);
}

Clock::Clock(QObject *parent)
    : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, [this] { Q_EMIT tick(now()); });
    m_timer.start(TickInterval);
}

QString Clock::now() const
{
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"));
}

Admin::Admin(const QList<RemotoService *> &services, const QString &ownName)
    : m_services(services)
    , m_ownName(ownName)
{
}

void Admin::manage(const QString &name, QObject *object)
{
    m_managed.insert(name, object);
}

bool Admin::withdraw(const QString &name)
{
    // Withdrawing Admin itself would leave nothing to publish it again with.
    if (name == m_ownName || !m_managed.contains(name))
        return false;
    bool withdrawn = false;
    for (RemotoService *service : qAsConst(m_services))
        withdrawn |= service->withdraw(name);
    return withdrawn;
}

bool Admin::republish(const QString &name)
{
    QObject *object = m_managed.value(name);
    bool published = false;
    for (RemotoService *service : qAsConst(m_services))
        published |= object && service->publish(name, object);
    return published;
}

// The services publish and withdraw together, so any of them tells.
QStringList Admin::published() const
{
    return m_services.first()->publishedNames();
}
