#include "remoteobjectbase.h"

#include "remotolink.h"

#include <argumentvector.h>
#include <commandcatalogue.h>
#include <methodchoice.h>
#include <remotoclient.h>
#include <resultcodetable.h>

#include <QtCore/QMetaObject>
#include <QtCore/QTimer>
#include <QtQml/QJSEngine>
#include <QtQml/QQmlEngine>
#include <QtQml/qqmlinfo.h>

namespace {

// The result code's name, or the kind of failure when the answer carried none.
QString codeName(const CallOutcome &outcome)
{
    if (outcome.code >= 0)
        return ResultCodeTable::resultNames().value(outcome.code);
    switch (outcome.kind) {
    case CallOutcome::Succeeded:
        return QString();
    case CallOutcome::Failed:
        return QStringLiteral("Failed");
    case CallOutcome::Declined:
        return QStringLiteral("Declined");
    case CallOutcome::TimedOut:
        return QStringLiteral("TimedOut");
    case CallOutcome::ObjectDown:
        return QStringLiteral("ObjectDown");
    case CallOutcome::LinkLost:
        return QStringLiteral("LinkLost");
    case CallOutcome::NotSent:
        return QStringLiteral("NotSent");
    }
    return QString();
}

// A failure found before anything was sent: `reason` says why in full.
CallOutcome notSent(const QString &reason)
{
    CallOutcome outcome(CallOutcome::NotSent, CommandCatalogue::Invoke);
    outcome.reason = reason;
    return outcome;
}

QString failureText(const CallOutcome &outcome, const QString &what)
{
    return outcome.kind == CallOutcome::NotSent && !outcome.reason.isEmpty()
        ? outcome.reason
        : RemoteObjectBase::tr("%1 failed: %2").arg(what, outcome.errorText());
}

QJSValue errorValue(QJSEngine *engine, const CallOutcome &outcome, const QString &what)
{
    QJSValue error = engine->newErrorObject(QJSValue::GenericError, failureText(outcome, what));
    error.setProperty(QStringLiteral("code"), outcome.code);
    error.setProperty(QStringLiteral("codeName"), codeName(outcome));
    return error;
}

} // namespace

RemoteObjectBase::RemoteObjectBase(QObject *parent)
    : QObject(parent)
{
}

RemoteObjectBase::~RemoteObjectBase() = default;

void RemoteObjectBase::setLink(RemotoLink *link)
{
    if (link == m_link)
        return;
    if (m_link) {
        disconnect(m_link, nullptr, this, nullptr);
        if (m_link->client())
            disconnect(m_link->client(), nullptr, this, nullptr);
    }
    m_link = link;
    if (link) {
        connect(link, &QObject::destroyed, this, &RemoteObjectBase::scheduleUpdate);
        if (RemotoClient *client = link->client()) {
            connect(client, &RemotoClient::objectUp, this, &RemoteObjectBase::objectChanged);
            connect(client, &RemotoClient::objectDown, this, &RemoteObjectBase::objectChanged);
        }
    }
    Q_EMIT linkChanged();
    scheduleUpdate();
}

void RemoteObjectBase::setName(const QString &name)
{
    if (name == m_name)
        return;
    m_name = name;
    Q_EMIT nameChanged();
    scheduleUpdate();
}

QString RemoteObjectBase::className() const
{
    return m_proxy ? m_proxy->property("className").toString() : QString();
}

QStringList RemoteObjectBase::methods() const
{
    return m_proxy ? m_proxy->property("methodList").toStringList() : QStringList();
}

QStringList RemoteObjectBase::signalNames() const
{
    return m_link && m_proxy ? m_link->signalsOf(m_proxy) : QStringList();
}

void RemoteObjectBase::setSubscriptions(const QStringList &signatures)
{
    if (signatures == m_subscriptions)
        return;
    m_subscriptions = signatures;
    Q_EMIT subscriptionsChanged();
    scheduleUpdate();
}

// Known as down at once, so that no call goes to it from here on; taken as up once its
// subscriptions are made, from the event loop rather than from within the module's signal.
void RemoteObjectBase::objectChanged(QObject *proxy)
{
    if (proxy != m_proxy && proxy->objectName() != m_name)
        return;
    if (m_ready && proxy == m_proxy && !m_link->client()->isUp(proxy)) {
        m_ready = false;
        m_subscribed.clear();
        Q_EMIT readyChanged();
    }
    scheduleUpdate();
}

void RemoteObjectBase::scheduleUpdate()
{
    if (m_updatePosted)
        return;
    m_updatePosted = true;
    QMetaObject::invokeMethod(this, &RemoteObjectBase::update, Qt::QueuedConnection);
}

void RemoteObjectBase::update()
{
    m_updatePosted = false;
    const QPointer<RemotoClient> client = m_link ? m_link->client() : nullptr;
    QObject *proxy = client && !m_name.isEmpty() ? client->object(m_name) : nullptr;
    if (proxy != m_proxy)
        setProxy(proxy);
    const bool up = proxy && client->isUp(proxy);
    if (up) {
        const QPointer<RemoteObjectBase> self(this);
        subscribeAll();
        // The subscriptions waited in nested event loops, where anything may have happened.
        if (!self || !client || m_proxy != proxy || !client->isUp(proxy))
            return;
    }
    if (up == m_ready)
        return;
    m_ready = up;
    if (up) {
        // Its class and members are known once it is up.
        Q_EMIT proxyChanged();
    } else {
        m_subscribed.clear();
    }
    Q_EMIT readyChanged();
}

void RemoteObjectBase::setProxy(QObject *proxy)
{
    if (m_proxy)
        disconnect(m_proxy, nullptr, this, nullptr);
    m_proxy = proxy;
    m_subscribed.clear();
    if (proxy) {
        // The module deletes its proxies when the link is lost.
        connect(proxy, &QObject::destroyed, this, &RemoteObjectBase::scheduleUpdate);
        connect(proxy, SIGNAL(event(QString, QVariantList)), this,
            SLOT(proxyEvent(QString, QVariantList)));
    }
    Q_EMIT proxyChanged();
}

void RemoteObjectBase::subscribeAll()
{
    const QPointer<RemoteObjectBase> self(this);
    const QPointer<QObject> proxy = m_proxy;
    const QPointer<RemotoClient> client = m_link->client();
    const QStringList wanted = m_subscriptions;
    for (const QString &signal : wanted) {
        const QString signature = Member::normalized(signal);
        if (m_subscribed.contains(signature))
            continue;
        const CallOutcome outcome = client->subscribe(proxy, signature.toUtf8());
        if (!self || !client || !proxy || m_proxy != proxy)
            return;
        m_subscribed.insert(signature);
        if (outcome.isOk())
            continue;
        Q_EMIT error(outcome.code, codeName(outcome),
            tr("cannot subscribe to %1.%2: %3").arg(m_name, signature, outcome.errorText()));
        if (!self || !client || !proxy || m_proxy != proxy)
            return;
    }
}

void RemoteObjectBase::proxyEvent(const QString &name, const QVariantList &arguments)
{
    Q_EMIT remoteSignal(name, arguments);
}

bool RemoteObjectBase::choose(
    const QString &method, int count, Member *chosen, QString *problem) const
{
    if (!m_link || !m_link->client()) {
        *problem = tr("%1.%2: the object has no link to a service").arg(m_name, method);
        return false;
    }
    if (!m_proxy) {
        *problem = m_link->client()->noSuchObject(m_name);
        return false;
    }
    if (count > ArgumentVector::MaxArguments) {
        *problem = tr("%1.%2: a remote method takes at most %3 arguments")
                       .arg(m_name, method)
                       .arg(ArgumentVector::MaxArguments);
        return false;
    }
    return MethodChoice::choose(
        m_name, RemotoClient::methods(m_proxy), method, count, chosen, problem);
}

QJSValue RemoteObjectBase::callForOutcome(const QString &method, const QVariantList &arguments)
{
    QJSEngine *const engine = qjsEngine(this);
    if (!engine)
        return QJSValue();
    const QString what = m_name + QLatin1Char('.') + method;
    Member chosen;
    QString problem;
    // This object may be gone once the call returns: only locals are used from there on.
    const CallOutcome outcome = choose(method, arguments.size(), &chosen, &problem)
        ? m_link->client()->call(m_proxy, chosen, arguments)
        : notSent(problem);
    QJSValue result = engine->newObject();
    if (outcome.isOk())
        result.setProperty(QStringLiteral("value"), engine->toScriptValue(outcome.value));
    else
        result.setProperty(QStringLiteral("error"), errorValue(engine, outcome, what));
    return result;
}

void RemoteObjectBase::callLater(
    const QString &method, const QVariantList &arguments, const QJSValue &callback)
{
    const QString what = m_name + QLatin1Char('.') + method;
    Member chosen;
    QString problem;
    if (!choose(method, arguments.size(), &chosen, &problem)) {
        const CallOutcome outcome = notSent(problem);
        QTimer::singleShot(
            0, this, [this, callback, outcome, what] { deliver(callback, outcome, what); });
        return;
    }
    m_link->client()->callLater(m_proxy, chosen, arguments, this,
        [this, callback, what](const CallOutcome &outcome) { deliver(callback, outcome, what); });
}

void RemoteObjectBase::deliver(
    const QJSValue &callback, const CallOutcome &outcome, const QString &what)
{
    QJSEngine *const engine = qjsEngine(this);
    if (!callback.isCallable() || !engine) {
        if (!outcome.isOk())
            Q_EMIT error(outcome.code, codeName(outcome), failureText(outcome, what));
        return;
    }
    const QJSValueList arguments = outcome.isOk()
        ? QJSValueList { engine->toScriptValue(outcome.value), QJSValue() }
        : QJSValueList { QJSValue(), errorValue(engine, outcome, what) };
    // Copied: the callback may drop the last other reference to itself.
    QJSValue function = callback;
    const QJSValue returned = function.call(arguments);
    if (returned.isError())
        qmlWarning(this) << returned.toString();
}
