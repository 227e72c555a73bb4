#ifndef SESSION_H
#define SESSION_H

#include <connectionstate.h>
#include <message.h>
#include <socketconnection.h>

#include <QtCore/QDeadlineTimer>
#include <QtCore/QHash>
#include <QtCore/QObject>
#include <QtCore/QPluginLoader>
#include <QtCore/QPointer>
#include <QtCore/QSet>
#include <QtCore/QStringList>
#include <QtCore/QTimer>

#include <functional>

class Request;

// The loaded plug-in and its connection, reached as any host reaches them: the plug-in only
// through its meta-object, by name. The plug-in is given the session itself as its connection,
// so that each request it sends passes here on the way to the socket.
class Session : public QObject
{
    Q_OBJECT
public:
    enum Outcome { Ready, BadAddress, Unreachable, Refused };

    Session();
    ~Session() override;

    // False, with errorString() saying why, when the plug-in cannot be loaded.
    bool loadPlugin(const QString &path);
    // False for a token longer than the connection can present.
    bool setAccessToken(const QByteArray &token);
    // Connects, then waits until the service has announced the objects it has and each of
    // them has a proxy. A service that never says it has announced all is taken to have a
    // second after its last ObjectUp, with a line on standard error saying so. With
    // `waitMsecs` 0 the first attempt decides, so a service that is not there is reported at
    // once; otherwise attempts are made until that time is up, for a service that is starting.
    // The plug-in must be loaded.
    Outcome open(const QString &address, int waitMsecs);

    // Proxies of the objects currently published, sorted by name.
    QObjectList objects() const;
    QObject *object(const QString &name) const;
    QObject *plugin() const { return m_plugin; }
    QString pluginFileName() const { return m_loader.fileName(); }
    // The proxy's signals as the service listed them, "void changed(int)": the module keeps
    // them to itself.
    QStringList signalList(QObject *proxy) const { return m_signals.value(proxy); }
    QString errorString() const { return m_error; }
    // INVOKE requests the plug-in has sent: a call that leaves the count alone was never sent.
    int invokesSent() const { return m_invokesSent; }

Q_SIGNALS:
    // The link to the service ended after open() succeeded.
    void lost();
    // Something a wait may be waiting for has happened.
    void changed();
    // The connection's side, as the plug-in expects it of its connection.
    void message(const Velmor::Command::Message &message);
    void stateChanged(const Velmor::Connection::State state);

public Q_SLOTS:
    void request(const Request *request);

private Q_SLOTS:
    void proxyConnected(QObject *proxy);
    void proxyDisconnected(QObject *proxy);

private:
    void messageArrived(const Velmor::Command::Message &message);
    void linkStateChanged(Velmor::Connection::State state);
    bool waitUntil(const std::function<bool()> &done, const QDeadlineTimer &deadline);
    QString failureCause(const QString &address, int waitedMsecs) const;

    SocketConnection m_connection;
    QPluginLoader m_loader;
    QPointer<QObject> m_plugin;
    // Object ids the service announced and has not withdrawn.
    QSet<quint32> m_announced;
    QSet<QObject *> m_connected;
    QHash<QObject *, QStringList> m_signals;
    // The signals in the meta information the module is handling, for the proxy it brings up.
    QStringList m_arrivingSignals;
    bool m_initialObjectsAnnounced = false;
    // Restarted by each ObjectUp until the service says it has announced all.
    QTimer m_announcementPause;
    bool m_announcementsPaused = false;
    int m_invokesSent = 0;
    bool m_open = false;
    QString m_error;
};

#endif
