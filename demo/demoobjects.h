#ifndef DEMOOBJECTS_H
#define DEMOOBJECTS_H

#include <QtCore/QHash>
#include <QtCore/QObject>
#include <QtCore/QStringList>
#include <QtCore/QTimer>
#include <QtCore/QVariantList>
#include <QtCore/QVariantMap>

class RemotoService;

// Results of every shape, and overloads. The module tells overloads apart by name and
// argument count only, so the two add() overloads differ in count. A sum beyond the range of
// int saturates: add(2147483647, 1) is 2147483647, add(-2147483648, -1) is -2147483648.
class Calculator : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    Q_INVOKABLE int add(int a, int b) const;
    Q_INVOKABLE int add(int a, int b, int c) const;
    Q_INVOKABLE QString greet(const QString &name) const;
    // Takes a list and answers a map, to show containers crossing both ways.
    Q_INVOKABLE QVariantMap stats(const QVariantList &values) const;
};

// A signal emitted on demand, and methods with and without results.
class Counter : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    Q_INVOKABLE int value() const { return m_value; }

public Q_SLOTS:
    void increment();
    void reset();

Q_SIGNALS:
    void changed(int value);

private:
    int m_value = 0;
};

// A signal emitted on its own, on a timer.
class Clock : public QObject
{
    Q_OBJECT
public:
    static constexpr int TickInterval = 200;

    explicit Clock(QObject *parent = nullptr);

    Q_INVOKABLE QString now() const;

Q_SIGNALS:
    void tick(QString time);

private:
    QTimer m_timer;
};

// Withdraws and republishes the other objects on request, so hosts can watch their proxies
// go down and come back: in every service given, so hosts on every address see the same.
class Admin : public QObject
{
    Q_OBJECT
public:
    Admin(const QList<RemotoService *> &services, const QString &ownName);

    // Objects Admin may withdraw and publish again, by the name they are published under.
    void manage(const QString &name, QObject *object);

    Q_INVOKABLE bool withdraw(const QString &name);
    Q_INVOKABLE bool republish(const QString &name);
    Q_INVOKABLE QStringList published() const;

private:
    QList<RemotoService *> m_services;
    QString m_ownName;
    QHash<QString, QObject *> m_managed;
};

#endif
