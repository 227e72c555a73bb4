#ifndef SESSION_H
#define SESSION_H

#include <connectionstate.h>
#include <message.h>
#include <socketconnection.h>

#include <QtCore/QDeadlineTimer>
#include <QtCore/QObject>
#include <QtCore/QPluginLoader>
#include <QtCore/QPointer>
#include <QtCore/QSet>
#include <QtCore/QStringList>
#include <QtCore/QTimer>

#include <functional>

class ProxySignals;
class RemotoClient;

// The loaded plug-in and its connection, reached as any host reaches them: the plug-in only
// through its meta-object, by name, and its proxies through the client layer.
class Session : public QObject
{
    Q_OBJECT
public:
    enum Outcome { Ready, BadAddress, Unreachable, Refused };

    Session();
    ~Session() override;

    // Loads the plug-in and gives it the connection; when it cannot, says why on standard
    // error. Returns the exit code.
    int load(const QString &path);
    // Presents the token, takes the TLS settings of REMOTO_TLS_CA, REMOTO_TLS_PIN,
    // REMOTO_TLS_CERT and REMOTO_TLS_KEY, opens the link and waits for the objects (open());
    // when that fails, says why on standard error. Returns the exit code. The plug-in must be
    // loaded.
    int start(const QByteArray &token, const QString &address, int waitMsecs);
    // Connects, then waits until the service has announced the objects it has and each of
    // them has a proxy. A service that never says it has announced all is taken to have a
    // second after its last ObjectUp, with a line on standard error saying so. With
    // `waitMsecs` 0 the first attempt decides, so a service that is not there is reported at
    // once; otherwise attempts are made until that time is up, for a service that is starting.
    // The plug-in must be loaded.
    Outcome open(const QString &address, int waitMsecs);

    RemotoClient *client() const { return m_client; }
    QObject *plugin() const { return m_plugin; }
    QString pluginFileName() const { return m_loader.fileName(); }
    // The proxy's signals as the service listed them, "void changed(int)": the module keeps
    // them to itself.
    QStringList signalList(QObject *proxy) const;
    QString errorString() const { return m_error; }

Q_SIGNALS:
    // The link to the service ended after open() succeeded.
    void lost();
    // Something a wait may be waiting for has happened.
    void changed();

private:
    void messageArriving(const Velmor::Command::Message &message);
    void messageHandled(const Velmor::Command::Message &message);
    void linkStateChanged(Velmor::Connection::State state);
    bool waitUntil(const std::function<bool()> &done, const QDeadlineTimer &deadline);
    QString failureCause(const QString &address, int waitedMsecs) const;
    int useTlsSettings();

    SocketConnection m_connection;
    QPluginLoader m_loader;
    QPointer<QObject> m_plugin;
    RemotoClient *m_client = nullptr;
    // Object ids the service announced and has not withdrawn.
    QSet<quint32> m_announced;
    ProxySignals *m_signals;
    bool m_initialObjectsAnnounced = false;
    // Restarted by each ObjectUp until the service says it has announced all.
    QTimer m_announcementPause;
    bool m_announcementsPaused = false;
    bool m_open = false;
    QString m_error;
};

#endif
