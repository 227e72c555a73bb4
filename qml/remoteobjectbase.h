#ifndef REMOTEOBJECTBASE_H
#define REMOTEOBJECTBASE_H

#include <calloutcome.h>
#include <member.h>

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QSet>
#include <QtCore/QStringList>
#include <QtCore/QVariantList>
#include <QtQml/QJSValue>

class RemotoLink;

// What the QML type RemoteObject (RemoteObject.qml) is made of: one remote object, by its
// name, through a RemotoLink. It follows the object as it goes down and comes up again, and
// as the link is lost and made anew, subscribing to the signals listed in `subscriptions` each
// time it comes up. A failure nobody asked for, such as a subscription's, comes as error().
class RemoteObjectBase : public QObject
{
    Q_OBJECT
    Q_PROPERTY(RemotoLink *link READ link WRITE setLink NOTIFY linkChanged)
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(bool ready READ isReady NOTIFY readyChanged)
    Q_PROPERTY(QString className READ className NOTIFY proxyChanged)
    Q_PROPERTY(QStringList methods READ methods NOTIFY proxyChanged)
    Q_PROPERTY(QStringList signalNames READ signalNames NOTIFY proxyChanged)
    Q_PROPERTY(QStringList subscriptions READ subscriptions WRITE setSubscriptions NOTIFY
            subscriptionsChanged)

public:
    explicit RemoteObjectBase(QObject *parent = nullptr);
    ~RemoteObjectBase() override;

    RemotoLink *link() const { return m_link; }
    void setLink(RemotoLink *link);
    QString name() const { return m_name; }
    void setName(const QString &name);
    bool isReady() const { return m_ready; }
    QString className() const;
    // The methods' entries, "int add(int,int)".
    QStringList methods() const;
    // The signals' entries, "void changed(int)".
    QStringList signalNames() const;
    QStringList subscriptions() const { return m_subscriptions; }
    void setSubscriptions(const QStringList &signatures);

    // Calls `method`, a name or a signature, with the arguments and waits for the answer, up
    // to the module's time-out, in a nested event loop. Returns { value } or { error }, an
    // Error with the result code as `code` (-1 for none) and its name, or the kind of
    // failure, as `codeName`: RemoteObject.call() throws the error.
    Q_INVOKABLE QJSValue callForOutcome(const QString &method, const QVariantList &arguments);
    // Returns at once; the call is made later, on this thread, one such call at a time, and
    // `callback(value, error)` gets its outcome, error undefined on success. Without a
    // callback a failure comes as error().
    Q_INVOKABLE void callLater(
        const QString &method, const QVariantList &arguments, const QJSValue &callback);

Q_SIGNALS:
    void linkChanged();
    void nameChanged();
    void readyChanged();
    void proxyChanged();
    void subscriptionsChanged();
    // A subscribed signal, by its signature, with its arguments.
    void remoteSignal(const QString &name, const QVariantList &args);
    // `code` is the answer's result code or -1, `name` its name or the kind of failure.
    void error(int code, const QString &name, const QString &text);

private Q_SLOTS:
    void proxyEvent(const QString &name, const QVariantList &arguments);

private:
    void objectChanged(QObject *proxy);
    void scheduleUpdate();
    void update();
    void setProxy(QObject *proxy);
    void subscribeAll();
    // Which call the module makes for `method` with `count` arguments; false, with `problem`
    // saying why, when there is none.
    bool choose(const QString &method, int count, Member *chosen, QString *problem) const;
    // Hands the outcome of a call made later to its callback, or a failure to error().
    void deliver(const QJSValue &callback, const CallOutcome &outcome, const QString &what);

    QPointer<RemotoLink> m_link;
    QString m_name;
    QStringList m_subscriptions;
    QPointer<QObject> m_proxy;
    // The subscriptions made, or refused, since the proxy last came up: each is tried once.
    QSet<QString> m_subscribed;
    bool m_ready = false;
    bool m_updatePosted = false;
};

#endif
