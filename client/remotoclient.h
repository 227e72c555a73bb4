#ifndef REMOTOCLIENT_H
#define REMOTOCLIENT_H

#include "calloutcome.h"
#include "member.h"

#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QSet>
#include <QtCore/QVariantList>

#include <functional>

// What the script library and remotoctl do alike as hosts of the module: find its proxies and
// tell which are up, and call methods and subscribe to signals through them, reporting what
// became of each (CallOutcome). Reaches the module as any host does, by name through its
// meta-objects. Over our SocketConnection the outcome comes from the answers on the link; over
// a connection that is not ours, from what the module returns and the warnings it raises.
// Lives in the plug-in's thread.
class RemotoClient : public QObject
{
    Q_OBJECT
public:
    using Report = std::function<void(const CallOutcome &)>;

    // The proxies the module has at this point are taken as up: make it before connecting, or
    // while all of them are.
    explicit RemotoClient(QObject *plugin, QObject *parent = nullptr);
    ~RemotoClient() override;

    QObject *plugin() const { return m_plugin; }
    // The proxies of the objects that are up, sorted by name.
    QObjectList objects() const;
    // Every proxy the module has, up or not, in its order.
    QObjectList rpcObjects() const;
    // The proxy of that name, up or not; null when there is none.
    QObject *object(const QString &name) const;
    bool isUp(QObject *proxy) const { return m_up.contains(proxy); }
    // Why there is no object of that name: "no object named X (the service has: a, b)".
    QString noSuchObject(const QString &name) const;
    // The proxy's methods, as its methodList lists them; entries that cannot be read are left
    // out.
    static QList<Member> methods(QObject *proxy);

    // Calls the method and waits for the answer, as the module does, in a nested event loop:
    // signals, and whatever is connected to them, may run before it returns, this client's
    // deletion included. A proxy that is down is not called.
    CallOutcome call(QObject *proxy, const Member &method, const QVariantList &arguments);
    // Subscribes to a signal, given by its normalized signature, in the same way.
    CallOutcome subscribe(QObject *proxy, const QByteArray &signature);
    // Makes the call later, from this thread's event loop, one such call at a time, and hands
    // its outcome to `report`, unless `context` was given and is gone by then. Reports run one
    // at a time too: the next call starts once the report before it has returned. Calls still
    // queued when the client is deleted are reported as on a lost link.
    void callLater(QObject *proxy, const Member &method, const QVariantList &arguments,
        QObject *context, Report report);

Q_SIGNALS:
    // After this client has counted the proxy as up, or as down.
    void objectUp(QObject *proxy);
    void objectDown(QObject *proxy);

private Q_SLOTS:
    void proxyUp(QObject *proxy);
    void proxyDown(QObject *proxy);

private:
    struct Queued;

    void runNext();

    QPointer<QObject> m_plugin;
    // Compared with the module's live proxies only: one is reported down before it is deleted.
    QSet<QObject *> m_up;
    QList<Queued> m_queue;
    bool m_nextPosted = false;
    bool m_running = false;
};

#endif
