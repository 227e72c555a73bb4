#include "remotoclient.h"

#include "callwatch.h"

#include <commandcatalogue.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>

#include <algorithm>

struct RemotoClient::Queued
{
    QPointer<QObject> proxy;
    Member method;
    QVariantList arguments;
    bool bound;
    QPointer<QObject> context;
    Report report;
};

RemotoClient::RemotoClient(QObject *plugin, QObject *parent)
    : QObject(parent)
    , m_plugin(plugin)
{
    if (!plugin)
        return;
    const QObjectList present = rpcObjects();
    for (QObject *proxy : present)
        m_up.insert(proxy);
    connect(plugin, SIGNAL(rpcObjectConnected(QObject *)), this, SLOT(proxyUp(QObject *)));
    connect(plugin, SIGNAL(rpcObjectDisonnected(QObject *)), this, SLOT(proxyDown(QObject *)));
}

// Calls still queued fail as on a lost link, reported from the event loop: whoever deletes the
// client may be tearing down what the reports reach.
RemotoClient::~RemotoClient()
{
    for (Queued &queued : m_queue) {
        QObject *const receiver
            = queued.bound ? queued.context.data() : QCoreApplication::instance();
        if (!receiver)
            continue;
        QMetaObject::invokeMethod(
            receiver,
            [report = std::move(queued.report)] {
                report(CallOutcome(CallOutcome::LinkLost, CommandCatalogue::Invoke));
            },
            Qt::QueuedConnection);
    }
}

QObjectList RemotoClient::rpcObjects() const
{
    QObjectList proxies;
    if (m_plugin)
        QMetaObject::invokeMethod(m_plugin, "rpcObjects", Q_RETURN_ARG(QObjectList, proxies));
    return proxies;
}

QObjectList RemotoClient::objects() const
{
    QObjectList up;
    const QObjectList proxies = rpcObjects();
    for (QObject *proxy : proxies) {
        if (m_up.contains(proxy))
            up.append(proxy);
    }
    std::sort(up.begin(), up.end(),
        [](const QObject *a, const QObject *b) { return a->objectName() < b->objectName(); });
    return up;
}

QObject *RemotoClient::object(const QString &name) const
{
    QObject *proxy = nullptr;
    if (m_plugin)
        QMetaObject::invokeMethod(
            m_plugin, "findRpcObject", Q_RETURN_ARG(QObject *, proxy), Q_ARG(QString, name));
    return proxy;
}

QString RemotoClient::noSuchObject(const QString &name) const
{
    QStringList names;
    const QObjectList up = objects();
    for (const QObject *proxy : up)
        names.append(proxy->objectName());
    return tr("no object named %1 (the service has: %2)")
        .arg(name, names.isEmpty() ? tr("none") : names.join(QStringLiteral(", ")));
}

QList<Member> RemotoClient::methods(QObject *proxy)
{
    return Member::parseAll(proxy ? proxy->property("methodList").toStringList() : QStringList());
}

CallOutcome RemotoClient::call(QObject *proxy, const Member &method, const QVariantList &arguments)
{
    if (!isUp(proxy))
        return CallOutcome(CallOutcome::ObjectDown, CommandCatalogue::Invoke);
    // This client may be gone once the call returns: only locals are used from here on.
    CallWatch watch(m_plugin, proxy, CommandCatalogue::Invoke);
    QVariant result;
    QMetaObject::invokeMethod(proxy, "invoke", Q_RETURN_ARG(QVariant, result),
        Q_ARG(QString, method.name), Q_ARG(QVariantList, arguments));
    return watch.outcome(result, method.returnsValue());
}

CallOutcome RemotoClient::subscribe(QObject *proxy, const QByteArray &signature)
{
    if (!isUp(proxy))
        return CallOutcome(CallOutcome::ObjectDown, CommandCatalogue::SigConnect);
    CallWatch watch(m_plugin, proxy, CommandCatalogue::SigConnect);
    int accepted = 0;
    QMetaObject::invokeMethod(proxy, "sendConnect", Q_RETURN_ARG(int, accepted),
        Q_ARG(const char *, signature.constData()));
    return watch.outcome(accepted == 1, false);
}

void RemotoClient::callLater(QObject *proxy, const Member &method, const QVariantList &arguments,
    QObject *context, Report report)
{
    m_queue.append({ proxy, method, arguments, context != nullptr, context, std::move(report) });
    if (m_nextPosted || m_running)
        return;
    m_nextPosted = true;
    QMetaObject::invokeMethod(this, &RemotoClient::runNext, Qt::QueuedConnection);
}

void RemotoClient::runNext()
{
    m_nextPosted = false;
    const Queued next = m_queue.takeFirst();
    m_running = true;
    const QPointer<RemotoClient> self(this);
    // The module deletes the proxies when the link is lost.
    const CallOutcome outcome = next.proxy
        ? call(next.proxy, next.method, next.arguments)
        : CallOutcome(CallOutcome::LinkLost, CommandCatalogue::Invoke);
    if (!next.bound || next.context)
        next.report(outcome);
    if (!self)
        return;
    m_running = false;
    if (!m_queue.isEmpty()) {
        m_nextPosted = true;
        QMetaObject::invokeMethod(this, &RemotoClient::runNext, Qt::QueuedConnection);
    }
}

void RemotoClient::proxyUp(QObject *proxy)
{
    m_up.insert(proxy);
    Q_EMIT objectUp(proxy);
}

void RemotoClient::proxyDown(QObject *proxy)
{
    m_up.remove(proxy);
    Q_EMIT objectDown(proxy);
}
