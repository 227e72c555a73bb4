#ifndef WATCHERS_H
#define WATCHERS_H

#include <waiter.h>

#include <QtCore/QHash>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QVariantList>

class Session;

// Runs until finished: after a number of printed lines, or when the service is lost.
class Watcher : public QObject
{
    Q_OBJECT
public:
    // `count` 0 runs until the process is stopped or the service is lost.
    Watcher(Session *session, int count);

    int run();

protected:
    // Prints a line and counts it towards `count`; once finished, prints nothing more, though
    // more may come before the loop has returned.
    void print(const QString &line);
    void finish(int exitCode);

private:
    // Finishing may come before run(), while the module waits for an answer in a loop of
    // its own.
    Waiter m_waiter;
    int m_remaining;
    int m_exitCode = -1;
};

// Prints each event of one subscribed signal as "signature [arguments as JSON]".
class SignalWatcher : public Watcher
{
    Q_OBJECT
public:
    SignalWatcher(Session *session, QObject *proxy, const QByteArray &signature, int count);

private Q_SLOTS:
    void eventArrived(const QString &name, const QVariantList &params);
    void objectDisconnected(QObject *proxy);
    void objectConnected(QObject *proxy);

private:
    QPointer<QObject> m_proxy;
    QString m_signature;
};

// Prints the objects present, then each proxy coming up or going down, numbering proxies
// so that a proxy coming back can be recognised as the same object. Every line counts.
class ObjectMonitor : public Watcher
{
    Q_OBJECT
public:
    ObjectMonitor(Session *session, int count);

private Q_SLOTS:
    void objectConnected(QObject *proxy);
    void objectDisconnected(QObject *proxy);

private:
    void report(const QString &what, QObject *proxy);

    QHash<QObject *, int> m_numbers;
    int m_nextNumber = 1;
};

#endif
