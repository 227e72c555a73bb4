#include "remotoscript.h"

#include <argumentvector.h>
#include <methodchoice.h>
#include <remotoclient.h>
#include <waiter.h>

#include <QtCore/QDeadlineTimer>
#include <QtCore/QList>
#include <QtCore/QLoggingCategory>
#include <QtCore/QPointer>
#include <QtQml/QJSEngine>
#include <QtQml/QQmlEngine>

namespace {

Q_LOGGING_CATEGORY(lcScript, "remoto.script", QtInfoMsg)

// Handed to a script: a garbage collection must never take a proxy or the root object with it.
QObject *kept(QObject *object)
{
    if (object)
        QQmlEngine::setObjectOwnership(object, QQmlEngine::CppOwnership);
    return object;
}

} // namespace

struct RemotoScript::Private
{
    Private(RemotoScript *q, QJSEngine *engine, QObject *plugin)
        : q(q)
        , engine(engine)
        , client(plugin, q)
    {
    }

    QJSValue callWith(const QJSValue &target, const QString &method, const QJSValueList &arguments);
    // The proxy a script named or handed over; null, with an exception thrown, when there is none.
    QObject *proxyFor(const QJSValue &target);
    void fail(const QString &message);

    RemotoScript *const q;
    QJSEngine *const engine;
    RemotoClient client;
    QList<Waiter *> waiters;
    bool stopPending = false;
};

RemotoScript::RemotoScript(QJSEngine *engine, QObject *plugin)
    : QObject(engine)
    , d(new Private(this, engine, plugin))
{
    connect(&d->client, &RemotoClient::objectUp, this, &RemotoScript::proxyUp);
    connect(&d->client, &RemotoClient::objectDown, this, &RemotoScript::proxyDown);
}

// The waits running end with their waiters, which are children.
RemotoScript::~RemotoScript() = default;

RemotoScript *RemotoScript::install(QJSEngine *engine, QObject *plugin)
{
    // The engine passes a list of objects on as an array once it knows the type by the name
    // the module's rpcObjects() declares.
    qRegisterMetaType<QObjectList>("QObjectList");
    kept(plugin);
    auto *script = new RemotoScript(engine, plugin);
    engine->globalObject().setProperty(QStringLiteral("remoto"), engine->newQObject(kept(script)));
    return script;
}

QObject *RemotoScript::plugin() const
{
    return d->client.plugin();
}

QObjectList RemotoScript::objects() const
{
    QObjectList up = d->client.objects();
    for (QObject *proxy : qAsConst(up))
        kept(proxy);
    return up;
}

QObject *RemotoScript::object(const QString &name) const
{
    return kept(d->client.object(name));
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method)
{
    return d->callWith(target, method, {});
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1)
{
    return d->callWith(target, method, { a1 });
}

QJSValue RemotoScript::call(
    const QJSValue &target, const QString &method, const QJSValue &a1, const QJSValue &a2)
{
    return d->callWith(target, method, { a1, a2 });
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1,
    const QJSValue &a2, const QJSValue &a3)
{
    return d->callWith(target, method, { a1, a2, a3 });
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1,
    const QJSValue &a2, const QJSValue &a3, const QJSValue &a4)
{
    return d->callWith(target, method, { a1, a2, a3, a4 });
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1,
    const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5)
{
    return d->callWith(target, method, { a1, a2, a3, a4, a5 });
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1,
    const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
    const QJSValue &a6)
{
    return d->callWith(target, method, { a1, a2, a3, a4, a5, a6 });
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1,
    const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
    const QJSValue &a6, const QJSValue &a7)
{
    return d->callWith(target, method, { a1, a2, a3, a4, a5, a6, a7 });
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1,
    const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
    const QJSValue &a6, const QJSValue &a7, const QJSValue &a8)
{
    return d->callWith(target, method, { a1, a2, a3, a4, a5, a6, a7, a8 });
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1,
    const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
    const QJSValue &a6, const QJSValue &a7, const QJSValue &a8, const QJSValue &a9)
{
    return d->callWith(target, method, { a1, a2, a3, a4, a5, a6, a7, a8, a9 });
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1,
    const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
    const QJSValue &a6, const QJSValue &a7, const QJSValue &a8, const QJSValue &a9,
    const QJSValue &a10)
{
    return d->callWith(target, method, { a1, a2, a3, a4, a5, a6, a7, a8, a9, a10 });
}

QJSValue RemotoScript::call(const QJSValue &target, const QString &method, const QJSValue &a1,
    const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
    const QJSValue &a6, const QJSValue &a7, const QJSValue &a8, const QJSValue &a9,
    const QJSValue &a10, const QJSValue &a11)
{
    return d->callWith(target, method, { a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11 });
}

QJSValue RemotoScript::Private::callWith(
    const QJSValue &target, const QString &method, const QJSValueList &arguments)
{
    QObject *proxy = proxyFor(target);
    if (!proxy)
        return QJSValue();
    const QString name = proxy->objectName();
    if (arguments.size() > ArgumentVector::MaxArguments) {
        fail(tr("%1.%2: a remote method takes at most %3 arguments")
                 .arg(name, method)
                 .arg(ArgumentVector::MaxArguments));
        return QJSValue();
    }
    Member chosen;
    QString problem;
    if (!MethodChoice::choose(
            name, RemotoClient::methods(proxy), method, arguments.size(), &chosen, &problem)) {
        fail(problem);
        return QJSValue();
    }

    QVariantList values;
    for (const QJSValue &argument : arguments)
        values.append(argument.toVariant());
    // The host may delete the library while the call waits, but not the engine running this:
    // from here on only locals are used.
    QJSEngine *const engine = this->engine;
    const QPointer<RemotoScript> script(q);
    const CallOutcome outcome = client.call(proxy, chosen, values);
    qCDebug(lcScript, "%s.%s: %s", qUtf8Printable(name), qUtf8Printable(chosen.signature),
        outcome.isOk() ? "returned" : qUtf8Printable(outcome.errorText()));
    if (!script) {
        engine->throwError(
            tr("%1.%2: the script support was removed during the call").arg(name, method));
        return QJSValue();
    }
    if (outcome.isOk())
        return engine->toScriptValue(outcome.value);
    engine->throwError(tr("%1.%2 failed: %3").arg(name, method, outcome.errorText()));
    return QJSValue();
}

void RemotoScript::subscribe(const QJSValue &target, const QString &signal)
{
    QObject *proxy = d->proxyFor(target);
    if (!proxy)
        return;
    const QString name = proxy->objectName();
    const QByteArray signature = QMetaObject::normalizedSignature(signal.toUtf8().constData());
    if (!signature.contains('(')) {
        d->fail(tr("give the signal of %1 by its signature, such as %2(int)").arg(name, signal));
        return;
    }
    QJSEngine *const engine = d->engine;
    const QPointer<RemotoScript> script(this);
    const CallOutcome outcome = d->client.subscribe(proxy, signature);
    qCDebug(lcScript, "%s.%s: %s", qUtf8Printable(name), signature.constData(),
        outcome.isOk() ? "subscribed" : qUtf8Printable(outcome.errorText()));
    if (outcome.isOk())
        return;
    if (!script) {
        engine->throwError(tr("cannot subscribe to %1.%2: the script support was removed meanwhile")
                               .arg(name, QString::fromUtf8(signature)));
        return;
    }
    engine->throwError(tr("cannot subscribe to %1.%2: %3")
                           .arg(name, QString::fromUtf8(signature), outcome.errorText()));
}

bool RemotoScript::wait(int msecs)
{
    if (d->stopPending) {
        d->stopPending = false;
        return true;
    }
    // A child, so that the library's deletion ends the wait too.
    const QPointer<Waiter> waiter = new Waiter(this);
    d->waiters.append(waiter);
    const bool stopped = waiter->wait(
        msecs >= 0 ? QDeadlineTimer(msecs) : QDeadlineTimer(QDeadlineTimer::Forever));
    if (!waiter)
        return false;
    d->waiters.removeOne(waiter);
    delete waiter;
    return stopped;
}

void RemotoScript::stopWaiting()
{
    // A stop that comes before the wait it is meant for, such as from an event delivered while
    // a call waited for its answer, is kept for that wait.
    if (d->waiters.isEmpty()) {
        d->stopPending = true;
        return;
    }
    for (Waiter *waiter : qAsConst(d->waiters))
        waiter->finish();
}

void RemotoScript::proxyUp(QObject *proxy)
{
    Q_EMIT objectConnected(kept(proxy));
}

void RemotoScript::proxyDown(QObject *proxy)
{
    Q_EMIT objectDisconnected(kept(proxy));
}

QObject *RemotoScript::Private::proxyFor(const QJSValue &target)
{
    if (target.isString()) {
        const QString name = target.toString();
        if (QObject *proxy = client.object(name))
            return proxy;
        fail(client.noSuchObject(name));
        return nullptr;
    }
    QObject *proxy = target.toQObject();
    QObject *plugin = client.plugin();
    if (proxy && plugin && proxy->parent() == plugin)
        return proxy;
    // The engine gives no object for a wrapper whose object was deleted.
    fail(target.isQObject() && !proxy
            ? tr("the object's proxy is gone: the link to the service was lost")
            : tr("%1 is neither a remote object's proxy nor its name").arg(target.toString()));
    return nullptr;
}

void RemotoScript::Private::fail(const QString &message)
{
    engine->throwError(message);
}
