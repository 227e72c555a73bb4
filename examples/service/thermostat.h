#ifndef THERMOSTAT_H
#define THERMOSTAT_H

#include <QtCore/QObject>

// An object of the service's own, published for hosts. Hosts reach its signals, public slots and
// public Q_INVOKABLE methods; a property as such is not offered, so it is read and set through
// its getter and setter, made callable, and watched through its NOTIFY signal.
class Thermostat : public QObject
{
    Q_OBJECT
    Q_PROPERTY(double target READ target WRITE setTarget NOTIFY targetChanged)

public:
    using QObject::QObject;

    Q_INVOKABLE double target() const { return m_target; }
    // Whether a room at that temperature needs heating.
    Q_INVOKABLE bool heats(double room) const { return room < m_target; }

public Q_SLOTS:
    void setTarget(double celsius)
    {
        if (celsius == m_target)
            return;
        m_target = celsius;
        Q_EMIT targetChanged(celsius);
    }

Q_SIGNALS:
    void targetChanged(double celsius);

private:
    double m_target = 20.0;
};

#endif
