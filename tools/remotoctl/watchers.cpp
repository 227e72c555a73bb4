#include "watchers.h"

#include "exitcodes.h"
#include "jsontext.h"
#include "output.h"
#include "session.h"

#include <remotoclient.h>

Watcher::Watcher(Session *session, int count)
    : m_remaining(count)
{
    connect(session, &Session::lost, this, [this] {
        printError(QStringLiteral("lost the connection to the service"));
        finish(ExitCode::Unreachable);
    });
}

int Watcher::run()
{
    m_waiter.wait();
    return m_exitCode;
}

void Watcher::print(const QString &line)
{
    if (m_exitCode >= 0)
        return;
    printLine(line);
    if (m_remaining > 0 && --m_remaining == 0)
        finish(ExitCode::Ok);
}

void Watcher::finish(int exitCode)
{
    if (m_exitCode >= 0)
        return;
    m_exitCode = exitCode;
    m_waiter.finish();
}

SignalWatcher::SignalWatcher(
    Session *session, QObject *proxy, const QByteArray &signature, int count)
    : Watcher(session, count)
    , m_proxy(proxy)
    , m_signature(QString::fromLatin1(signature))
{
    connect(proxy, SIGNAL(event(QString, QVariantList)), this,
        SLOT(eventArrived(QString, QVariantList)));
    // From the plug-in: the proxy's own signals can be raised by the service.
    connect(session->plugin(), SIGNAL(rpcObjectDisonnected(QObject *)), this,
        SLOT(objectDisconnected(QObject *)));
    connect(session->plugin(), SIGNAL(rpcObjectConnected(QObject *)), this,
        SLOT(objectConnected(QObject *)));
}

void SignalWatcher::eventArrived(const QString &name, const QVariantList &params)
{
    if (name != m_signature)
        return;
    print(name + QLatin1Char(' ') + JsonText::format(params));
}

void SignalWatcher::objectDisconnected(QObject *proxy)
{
    if (proxy != m_proxy)
        return;
    printError(
        QStringLiteral("%1 was withdrawn; waiting for it to come back").arg(m_proxy->objectName()));
}

void SignalWatcher::objectConnected(QObject *proxy)
{
    if (proxy != m_proxy)
        return;
    // The module subscribes the returning object to the same signals again by itself.
    printError(QStringLiteral("%1 is back").arg(m_proxy->objectName()));
}

ObjectMonitor::ObjectMonitor(Session *session, int count)
    : Watcher(session, count)
{
    connect(session->plugin(), SIGNAL(rpcObjectConnected(QObject *)), this,
        SLOT(objectConnected(QObject *)));
    connect(session->plugin(), SIGNAL(rpcObjectDisonnected(QObject *)), this,
        SLOT(objectDisconnected(QObject *)));
    const QObjectList present = session->client()->objects();
    for (QObject *proxy : present)
        report(QStringLiteral("present"), proxy);
}

void ObjectMonitor::objectConnected(QObject *proxy)
{
    report(QStringLiteral("up"), proxy);
}

void ObjectMonitor::objectDisconnected(QObject *proxy)
{
    report(QStringLiteral("down"), proxy);
}

void ObjectMonitor::report(const QString &what, QObject *proxy)
{
    const bool known = m_numbers.contains(proxy);
    if (!known) {
        m_numbers.insert(proxy, m_nextNumber++);
        // A later proxy may be given the same address.
        connect(
            proxy, &QObject::destroyed, this, [this](QObject *gone) { m_numbers.remove(gone); });
    }
    QString line = QStringLiteral("%1 %2 (%3) proxy #%4")
                       .arg(what, -7)
                       .arg(proxy->objectName(), proxy->property("className").toString())
                       .arg(m_numbers.value(proxy));
    if (known && what == QLatin1String("up"))
        line += QStringLiteral(", the same proxy as before");
    print(line);
}
