#ifndef REMOTOLINK_H
#define REMOTOLINK_H

#include "remoteobjectmodel.h"

#include <QtCore/QObject>
#include <QtCore/QPluginLoader>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtQml/QQmlParserStatus>

class ProxySignals;
class RemotoClient;
class SocketConnection;

// The QML type RemotoLink: the plug-in's root object, linked to a service through our
// connection. The root object is one per process, and so is the link that drives it: a second
// RemotoLink says so in errorString and leaves the module alone. The address, and whether the
// link is tried again, take effect at once; the token and the TLS settings with the next link.
class RemotoLink : public QObject, public QQmlParserStatus
{
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)
    Q_PROPERTY(QString address READ address WRITE setAddress NOTIFY addressChanged)
    Q_PROPERTY(QString accessToken READ accessToken WRITE setAccessToken NOTIFY settingsChanged)
    Q_PROPERTY(QString tlsCaFile READ tlsCaFile WRITE setTlsCaFile NOTIFY settingsChanged)
    Q_PROPERTY(QString tlsPin READ tlsPin WRITE setTlsPin NOTIFY settingsChanged)
    Q_PROPERTY(QString tlsCertificateFile READ tlsCertificateFile WRITE setTlsCertificateFile NOTIFY
            settingsChanged)
    Q_PROPERTY(QString tlsKeyFile READ tlsKeyFile WRITE setTlsKeyFile NOTIFY settingsChanged)
    Q_PROPERTY(
        bool autoReconnect READ autoReconnect WRITE setAutoReconnect NOTIFY autoReconnectChanged)
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString errorString READ errorString NOTIFY errorStringChanged)
    Q_PROPERTY(RemoteObjectModel *objects READ objects CONSTANT)

public:
    enum Status {
        // No address yet, or a link that cannot drive the module.
        Idle,
        // Trying to reach the service, or waiting for it to announce its objects.
        Connecting,
        // Linked, and the service has announced the objects it has.
        Ready,
        // The link ended, or the service could not be reached.
        Lost,
        // The service refused the link (its access token, for one).
        Refused,
    };
    Q_ENUM(Status)

    explicit RemotoLink(QObject *parent = nullptr);
    ~RemotoLink() override;

    // Where the module's plug-in is looked for, relative to the folder of this QML module.
    static void setModuleFolder(const QString &folder);

    QString address() const { return m_address; }
    void setAddress(const QString &address);
    QString accessToken() const { return m_accessToken; }
    void setAccessToken(const QString &token);
    QString tlsCaFile() const { return m_tlsCaFile; }
    void setTlsCaFile(const QString &file);
    QString tlsPin() const { return m_tlsPin; }
    void setTlsPin(const QString &pin);
    QString tlsCertificateFile() const { return m_tlsCertificateFile; }
    void setTlsCertificateFile(const QString &file);
    QString tlsKeyFile() const { return m_tlsKeyFile; }
    void setTlsKeyFile(const QString &file);
    bool autoReconnect() const { return m_autoReconnect; }
    void setAutoReconnect(bool enabled);
    Status status() const { return m_status; }
    QString errorString() const { return m_errorString; }
    RemoteObjectModel *objects() const { return m_model; }

    // Null for a link that does not drive the module.
    RemotoClient *client() const { return m_client; }
    // The proxy's signals as the service listed them, "void changed(int)".
    QStringList signalsOf(QObject *proxy) const;

    void classBegin() override;
    void componentComplete() override;

Q_SIGNALS:
    void addressChanged();
    void settingsChanged();
    void autoReconnectChanged();
    void statusChanged();
    void errorStringChanged();

private:
    // Why the module could not be loaded; empty when it was.
    QString loadModule();
    void relink();
    bool applySettings();
    void connectionStateChanged(int state);
    void setStatus(Status status);
    void setErrorString(const QString &text);
    void setSetting(QString *setting, const QString &value);

    QString m_address;
    QString m_accessToken;
    QString m_tlsCaFile;
    QString m_tlsPin;
    QString m_tlsCertificateFile;
    QString m_tlsKeyFile;
    bool m_autoReconnect = false;
    Status m_status = Idle;
    QString m_errorString;
    bool m_complete = false;

    QPluginLoader m_loader;
    QPointer<QObject> m_plugin;
    SocketConnection *m_connection = nullptr;
    ProxySignals *m_signals = nullptr;
    RemotoClient *m_client = nullptr;
    RemoteObjectModel *m_model;
};

#endif
