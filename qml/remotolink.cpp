#include "remotolink.h"

#include "remoteobjectmodel.h"

#include <proxysignals.h>
#include <remotoclient.h>
#include <socketconnection.h>

#include <QtCore/QDir>
#include <QtCore/QFileInfo>

namespace {

// The link that drives the plug-in's root object, which is one per process.
RemotoLink *driving = nullptr;
QString moduleFolder;

// REMOTO_PLUGIN first, as for remotoctl; then beside the build's plug-in or at its installed
// place relative to this QML module; failing both, the module's category folder in Qt's
// plug-in paths, which QPluginLoader searches for a relative name.
QString pluginPath()
{
    const QString chosen = qEnvironmentVariable("REMOTO_PLUGIN");
    if (!chosen.isEmpty())
        return chosen;
    const QString fileName = QStringLiteral(REMOTO_QML_PLUGIN_FILE);
    const QDir folder(moduleFolder);
    for (const char *relative : { REMOTO_QML_BUILD_PLUGIN_DIR, REMOTO_QML_INSTALLED_PLUGIN_DIR }) {
        const QString path = folder.filePath(QLatin1String(relative) + QLatin1Char('/') + fileName);
        if (!moduleFolder.isEmpty() && QFileInfo(path).isFile())
            return QDir::cleanPath(path);
    }
    return QStringLiteral("remoto/") + fileName;
}

} // namespace

RemotoLink::RemotoLink(QObject *parent)
    : QObject(parent)
    , m_model(new RemoteObjectModel(this))
{
    if (driving) {
        setErrorString(tr("another RemotoLink drives the module already: the module has one root "
                          "object per process, and one link"));
        return;
    }
    driving = this;
    setErrorString(loadModule());
}

// Ends the link so that the module sees it lost, and lets go of the root object, which stays
// for the next link.
RemotoLink::~RemotoLink()
{
    if (driving != this)
        return;
    driving = nullptr;
    if (!m_plugin)
        return;
    m_connection->disconnectFromService();
    QMetaObject::invokeMethod(m_plugin, "setConnection", Q_ARG(QObject *, nullptr));
}

void RemotoLink::setModuleFolder(const QString &folder)
{
    moduleFolder = folder;
}

QString RemotoLink::loadModule()
{
    m_loader.setFileName(pluginPath());
    m_plugin = m_loader.instance();
    if (!m_plugin)
        return tr("cannot load the RemotoPlugin2 module %1: %2")
            .arg(m_loader.fileName(), m_loader.errorString());
    m_connection = new SocketConnection(this);
    m_signals = new ProxySignals(this);
    // Each message reaches the signal records before the plug-in and after it; whoever hears
    // of a proxy next finds its signals known.
    connect(m_connection, &SocketConnection::message, m_signals, &ProxySignals::arrived);
    if (!QMetaObject::invokeMethod(m_plugin, "setConnection", Q_ARG(QObject *, m_connection))) {
        m_plugin = nullptr;
        return tr("%1 is not the RemotoPlugin2 module").arg(m_loader.fileName());
    }
    connect(m_connection, &SocketConnection::message, m_signals, &ProxySignals::handled);
    connect(m_plugin, SIGNAL(rpcObjectConnected(QObject *)), m_signals,
        SLOT(proxyConnected(QObject *)));
    m_client = new RemotoClient(m_plugin, this);
    m_model->setClient(m_client);

    connect(m_connection, &SocketConnection::stateChanged, this,
        [this](Velmor::Connection::State state) { connectionStateChanged(state); });
    connect(m_connection, &SocketConnection::errorOccurred, this, &RemotoLink::setErrorString);
    connect(m_connection, &SocketConnection::initialObjectsAnnounced, this, [this] {
        if (m_connection->state() == Velmor::Connection::Connected)
            setStatus(Ready);
    });
    return QString();
}

QStringList RemotoLink::signalsOf(QObject *proxy) const
{
    return m_signals ? m_signals->of(proxy) : QStringList();
}

void RemotoLink::classBegin() { }

void RemotoLink::componentComplete()
{
    m_complete = true;
    relink();
}

void RemotoLink::setAddress(const QString &address)
{
    if (address == m_address)
        return;
    m_address = address;
    Q_EMIT addressChanged();
    if (m_complete)
        relink();
}

// The old link is reported lost, and the module lets go of its proxies, before the new one
// starts.
void RemotoLink::relink()
{
    if (!m_client)
        return;
    m_connection->disconnectFromService();
    if (m_address.isEmpty()) {
        setStatus(Idle);
        return;
    }
    if (!applySettings()) {
        setStatus(Idle);
        return;
    }
    setErrorString(QString());
    m_connection->setAutoReconnect(m_autoReconnect);
    setStatus(Connecting);
    if (!m_connection->connectToService(m_address)) {
        setErrorString(tr("not a service address: %1 (give local:NAME, tcp://HOST:PORT or "
                          "tls://HOST:PORT)")
                           .arg(m_address));
        setStatus(Idle);
    }
}

bool RemotoLink::applySettings()
{
    if (!m_connection->setAccessToken(m_accessToken.toUtf8())) {
        setErrorString(tr("the access token is too long"));
        return false;
    }
    if (m_tlsCertificateFile.isEmpty() != m_tlsKeyFile.isEmpty()) {
        setErrorString(tr("give tlsCertificateFile and tlsKeyFile together"));
        return false;
    }
    if (!m_connection->setTlsCaFile(m_tlsCaFile)
        || !m_connection->setTlsClientCertificate(m_tlsCertificateFile, m_tlsKeyFile)) {
        setErrorString(m_connection->errorString());
        return false;
    }
    if (!m_connection->setTlsPin(m_tlsPin)) {
        setErrorString(tr("tlsPin needs the SHA-256 of the service's public key, 64 hex digits"));
        return false;
    }
    return true;
}

void RemotoLink::connectionStateChanged(int state)
{
    switch (state) {
    case Velmor::Connection::Connecting:
    case Velmor::Connection::Connected:
        setStatus(Connecting);
        break;
    case Velmor::Connection::ConnectionLost:
    case Velmor::Connection::Disconnected:
        if (m_status != Idle)
            setStatus(m_connection->refusalReason() != 0 ? Refused : Lost);
        break;
    }
}

void RemotoLink::setStatus(Status status)
{
    if (status == m_status)
        return;
    m_status = status;
    Q_EMIT statusChanged();
}

void RemotoLink::setErrorString(const QString &text)
{
    if (text == m_errorString)
        return;
    m_errorString = text;
    Q_EMIT errorStringChanged();
}

void RemotoLink::setSetting(QString *setting, const QString &value)
{
    if (*setting == value)
        return;
    *setting = value;
    Q_EMIT settingsChanged();
}

void RemotoLink::setAccessToken(const QString &token)
{
    setSetting(&m_accessToken, token);
}

void RemotoLink::setTlsCaFile(const QString &file)
{
    setSetting(&m_tlsCaFile, file);
}

void RemotoLink::setTlsPin(const QString &pin)
{
    setSetting(&m_tlsPin, pin);
}

void RemotoLink::setTlsCertificateFile(const QString &file)
{
    setSetting(&m_tlsCertificateFile, file);
}

void RemotoLink::setTlsKeyFile(const QString &file)
{
    setSetting(&m_tlsKeyFile, file);
}

void RemotoLink::setAutoReconnect(bool enabled)
{
    if (enabled == m_autoReconnect)
        return;
    m_autoReconnect = enabled;
    if (m_connection)
        m_connection->setAutoReconnect(enabled);
    Q_EMIT autoReconnectChanged();
}
