#include "remotoscript.h"

#include "callfailure.h"
#include "warningcapture.h"

#include <methodentry.h>

#include <QtCore/QEventLoop>
#include <QtCore/QList>
#include <QtCore/QMetaObject>
#include <QtCore/QPointer>
#include <QtCore/QSet>
#include <QtCore/QTimer>
#include <QtQml/QJSEngine>
#include <QtQml/QQmlEngine>

#include <algorithm>

namespace {
// The service calls methods of up to ten arguments.
constexpr int MaxArguments = 10;

// Handed to a script: a garbage collection must never take a proxy or the root object with it.
QObject *kept(QObject *object)
{
    if (object)
        QQmlEngine::setObjectOwnership(object, QQmlEngine::CppOwnership);
    return object;
}

QObjectList rpcObjects(QObject *plugin)
{
    QObjectList proxies;
    if (plugin)
        QMetaObject::invokeMethod(plugin, "rpcObjects", Q_RETURN_ARG(QObjectList, proxies));
    return proxies;
}

QObject *findRpcObject(QObject *plugin, const QString &name)
{
    QObject *proxy = nullptr;
    if (plugin)
        QMetaObject::invokeMethod(
            plugin, "findRpcObject", Q_RETURN_ARG(QObject *, proxy), Q_ARG(QString, name));
    return proxy;
}

QStringList names(const QObjectList &proxies)
{
    QStringList list;
    for (const QObject *proxy : proxies)
        list.append(proxy->objectName());
    list.sort();
    return list;
}
} // namespace

struct RemotoScript::Private
{
    class Attempt;
    struct Wait;

    Private(RemotoScript *q, QJSEngine *engine, QObject *plugin)
        : q(q)
        , engine(engine)
        , plugin(plugin)
    {
    }

    QJSValue callWith(const QJSValue &target, const QString &method, const QJSValueList &arguments);
    // The proxy a script named or handed over; null, with an exception thrown, when there is none.
    QObject *proxyFor(const QJSValue &target);
    void fail(const QString &message);

    RemotoScript *const q;
    QJSEngine *const engine;
    const QPointer<QObject> plugin;
    // Compared with the module's live proxies only: one is reported down before it is deleted.
    QSet<QObject *> up;
    QList<Attempt *> attempts;
    QList<Wait *> waits;
    bool stopPending = false;
};

// A request to the module about one proxy, watched until its answer has come: the warnings
// raised meanwhile, and whether the proxy went down or away.
class RemotoScript::Private::Attempt
{
public:
    Attempt(RemotoScript *script, QObject *proxy)
        : script(script)
        , proxy(proxy)
    {
        script->d->attempts.append(this);
    }
    ~Attempt()
    {
        if (script)
            script->d->attempts.removeOne(this);
    }
    Attempt(const Attempt &) = delete;
    Attempt &operator=(const Attempt &) = delete;

    // Something besides the answer itself says the request may have failed.
    bool troubled() const { return !capture.isEmpty() || wentDown || !proxy; }

    // Why it failed, or empty when nothing told. A warning not taken is passed on.
    QString reason()
    {
        // The link's loss answers every waiting request with a result code of its own.
        if (!proxy) {
            const QString warning = capture.takeLast();
            return warning.isEmpty() ? tr("the link to the service was lost") : warning;
        }
        if (wentDown)
            return tr("the service withdrew the object");
        return capture.takeLast();
    }

    const QPointer<RemotoScript> script;
    const QPointer<QObject> proxy;
    bool wentDown = false;
    WarningCapture capture;
};

struct RemotoScript::Private::Wait
{
    QEventLoop loop;
    bool stopped = false;
};

RemotoScript::RemotoScript(QJSEngine *engine, QObject *plugin)
    : QObject(engine)
    , d(new Private(this, engine, plugin))
{
    if (!plugin)
        return;
    for (QObject *proxy : rpcObjects(plugin))
        d->up.insert(proxy);
    connect(plugin, SIGNAL(rpcObjectConnected(QObject *)), this, SLOT(proxyUp(QObject *)));
    connect(plugin, SIGNAL(rpcObjectDisonnected(QObject *)), this, SLOT(proxyDown(QObject *)));
}

RemotoScript::~RemotoScript()
{
    for (Private::Wait *wait : qAsConst(d->waits))
        wait->loop.quit();
}

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
    return d->plugin;
}

QObjectList RemotoScript::objects() const
{
    QObjectList up;
    for (QObject *proxy : rpcObjects(d->plugin)) {
        if (d->up.contains(proxy))
            up.append(kept(proxy));
    }
    std::sort(up.begin(), up.end(),
        [](const QObject *a, const QObject *b) { return a->objectName() < b->objectName(); });
    return up;
}

QObject *RemotoScript::object(const QString &name) const
{
    return kept(findRpcObject(d->plugin, name));
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
    if (arguments.size() > MaxArguments) {
        fail(tr("%1.%2: a remote method takes at most %3 arguments")
                 .arg(name, method)
                 .arg(MaxArguments));
        return QJSValue();
    }

    // The module calls the last entry of that name and argument count, and sends nothing when
    // there is none.
    const QStringList entries = proxy->property("methodList").toStringList();
    bool named = false;
    bool found = false;
    bool returnsValue = false;
    for (const QString &entry : entries) {
        const QStringList parts = splitMethodEntry(entry);
        if (parts.size() < 2 || parts.at(1) != method)
            continue;
        named = true;
        if (parts.size() - 2 == arguments.size()) {
            found = true;
            returnsValue = parts.at(0).compare(QLatin1String("void"), Qt::CaseInsensitive) != 0;
        }
    }
    if (!found) {
        const QString missing = named ? tr("%1 has no method %2 taking %3 argument(s)")
                                            .arg(name, method)
                                            .arg(arguments.size())
                                      : tr("%1 has no method %2").arg(name, method);
        fail(tr("%1; it has: %2").arg(missing, entries.join(QStringLiteral(", "))));
        return QJSValue();
    }

    QVariantList values;
    for (const QJSValue &argument : arguments)
        values.append(argument.toVariant());
    QJSEngine *const engine = this->engine;
    QVariant result;
    Attempt attempt(q, proxy);
    QMetaObject::invokeMethod(proxy, "invoke", Q_RETURN_ARG(QVariant, result),
        Q_ARG(QString, method), Q_ARG(QVariantList, values));
    // The host may delete the library while the call waits, but not the engine running this.
    if (!attempt.script) {
        engine->throwError(
            tr("%1.%2: the script support was removed during the call").arg(name, method));
        return QJSValue();
    }
    if (!CallFailure::callFailed(returnsValue, result, attempt.troubled()))
        return engine->toScriptValue(result);
    const QString reason = attempt.reason();
    fail(tr("%1.%2 failed: %3")
             .arg(name, method,
                 reason.isEmpty() ? tr("the module gave no answer")
                                  : CallFailure(reason).toString()));
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
    int accepted = 0;
    Private::Attempt attempt(this, proxy);
    QMetaObject::invokeMethod(proxy, "sendConnect", Q_RETURN_ARG(int, accepted),
        Q_ARG(const char *, signature.constData()));
    if (accepted == 1)
        return;
    if (!attempt.script) {
        engine->throwError(tr("cannot subscribe to %1.%2: the script support was removed meanwhile")
                               .arg(name, QString::fromUtf8(signature)));
        return;
    }
    // The service answers a signal it does not have with a plain no, which the module passes on
    // without a word.
    const QString reason = attempt.reason();
    d->fail(tr("cannot subscribe to %1.%2: %3")
                .arg(name, QString::fromUtf8(signature),
                    reason.isEmpty() ? tr("the service has no such signal")
                                     : CallFailure(reason).toString()));
}

bool RemotoScript::wait(int msecs)
{
    if (d->stopPending) {
        d->stopPending = false;
        return true;
    }
    Private::Wait wait;
    d->waits.append(&wait);
    QTimer timer;
    if (msecs >= 0) {
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &wait.loop, &QEventLoop::quit);
        timer.start(msecs);
    }
    const QPointer<RemotoScript> self(this);
    wait.loop.exec();
    if (self)
        d->waits.removeOne(&wait);
    return wait.stopped;
}

void RemotoScript::stopWaiting()
{
    // A stop that comes before the wait it is meant for, such as from an event delivered while
    // a call waited for its answer, is kept for that wait.
    if (d->waits.isEmpty()) {
        d->stopPending = true;
        return;
    }
    for (Private::Wait *wait : qAsConst(d->waits)) {
        wait->stopped = true;
        wait->loop.quit();
    }
}

void RemotoScript::proxyUp(QObject *proxy)
{
    d->up.insert(proxy);
    Q_EMIT objectConnected(kept(proxy));
}

void RemotoScript::proxyDown(QObject *proxy)
{
    d->up.remove(proxy);
    for (Private::Attempt *attempt : qAsConst(d->attempts)) {
        if (attempt->proxy == proxy)
            attempt->wentDown = true;
    }
    Q_EMIT objectDisconnected(kept(proxy));
}

QObject *RemotoScript::Private::proxyFor(const QJSValue &target)
{
    if (target.isString()) {
        const QString name = target.toString();
        if (QObject *proxy = findRpcObject(plugin, name))
            return proxy;
        const QStringList known = names(rpcObjects(plugin));
        fail(tr("no object named %1 (the service has: %2)")
                 .arg(name, known.isEmpty() ? tr("none") : known.join(QStringLiteral(", "))));
        return nullptr;
    }
    QObject *proxy = target.toQObject();
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
