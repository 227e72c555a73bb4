#include "session.h"

#include <commandcatalogue.h>
#include <frame.h>
#include <request.h>

#include <QtCore/QEventLoop>
#include <QtCore/QTimer>

#include <algorithm>

using Velmor::Command::Message;
using Velmor::Connection::State;

Session::Session()
{
    // Tried again quickly while the service is starting; open() bounds the time.
    m_connection.setReconnectDelays(50, 400);
    connect(&m_connection, &SocketConnection::errorOccurred, this, [this](const QString &text) {
        m_error = text;
        Q_EMIT changed();
    });
    connect(&m_connection, &SocketConnection::message, this, &Session::messageArrived);
    connect(&m_connection, &SocketConnection::stateChanged, this, &Session::linkStateChanged);
    connect(&m_connection, &SocketConnection::initialObjectsAnnounced, this, [this] {
        m_initialObjectsAnnounced = true;
        Q_EMIT changed();
    });
}

Session::~Session()
{
    if (!m_plugin)
        return;
    QMetaObject::invokeMethod(m_plugin, "setConnection", Q_ARG(QObject *, nullptr));
    // Taking the proxies with it while the connection they were given still exists.
    delete m_plugin.data();
}

bool Session::loadPlugin(const QString &path)
{
    m_loader.setFileName(path);
    m_plugin = m_loader.instance();
    if (!m_plugin) {
        m_error = m_loader.errorString();
        return false;
    }
    if (!QMetaObject::invokeMethod(m_plugin, "setConnection", Q_ARG(QObject *, this))) {
        m_error = QStringLiteral("%1 is not the RemotoPlugin2 module").arg(path);
        m_plugin = nullptr;
        return false;
    }
    connect(m_plugin, SIGNAL(rpcObjectConnected(QObject *)), this, SLOT(proxyConnected(QObject *)));
    connect(m_plugin, SIGNAL(rpcObjectDisonnected(QObject *)), this,
        SLOT(proxyDisconnected(QObject *)));
    return true;
}

bool Session::setAccessToken(const QByteArray &token)
{
    return m_connection.setAccessToken(token);
}

Session::Outcome Session::open(const QString &address, int waitMsecs)
{
    const QDeadlineTimer deadline(waitMsecs);
    m_connection.setAutoReconnect(true);
    if (!m_connection.connectToService(address)) {
        m_error = m_connection.errorString();
        return BadAddress;
    }
    const auto linkUp = [this] { return m_connection.state() == Velmor::Connection::Connected; };
    const bool connected = waitUntil(linkUp, deadline);
    // From here on a lost link is reported, not quietly mended.
    m_connection.setAutoReconnect(false);
    if (!connected) {
        m_connection.disconnectFromService();
        if (m_error.isEmpty())
            m_error = QStringLiteral("no connection within %1 ms").arg(waitMsecs);
        return Unreachable;
    }

    waitUntil(
        [&] { return m_initialObjectsAnnounced || m_connection.refusalReason() != 0 || !linkUp(); },
        deadline);
    const qint32 refusal = m_connection.refusalReason();
    if (refusal == Wire::Frame::AccessRefused) {
        m_error = QStringLiteral("the service refused access (wrong or missing --token)");
        return Refused;
    }
    // The connection has put a refusal in words of its own already.
    if (refusal != 0)
        return Unreachable;
    if (!linkUp()) {
        m_error = QStringLiteral("the service closed the connection");
        return Unreachable;
    }
    if (!m_initialObjectsAnnounced) {
        m_error = QStringLiteral("the service did not announce its objects within %1 ms")
                      .arg(waitMsecs);
        return Unreachable;
    }
    // An object whose proxy is not complete by then is left out rather than failing all.
    waitUntil([this] { return m_connected.size() >= m_announced.size(); }, deadline);
    m_open = true;
    return Ready;
}

QObjectList Session::objects() const
{
    QObjectList list(m_connected.begin(), m_connected.end());
    std::sort(list.begin(), list.end(),
        [](const QObject *a, const QObject *b) { return a->objectName() < b->objectName(); });
    return list;
}

QObject *Session::object(const QString &name) const
{
    for (QObject *proxy : m_connected) {
        if (proxy->objectName() == name)
            return proxy;
    }
    return nullptr;
}

void Session::proxyConnected(QObject *proxy)
{
    m_connected.insert(proxy);
    Q_EMIT changed();
}

void Session::proxyDisconnected(QObject *proxy)
{
    m_connected.remove(proxy);
    Q_EMIT changed();
}

void Session::request(const Request *request)
{
    if (request && request->command().toInt() == CommandCatalogue::Invoke)
        ++m_invokesSent;
    m_connection.request(request);
}

void Session::messageArrived(const Message &message)
{
    // The plug-in first, so that it has handled the message before this session reacts.
    Q_EMIT this->message(message);
    if (message.kind == Velmor::Command::ObjectUp)
        m_announced.insert(message.objectId);
    else if (message.kind == Velmor::Command::ObjectDown)
        m_announced.remove(message.objectId);
    Q_EMIT changed();
}

void Session::linkStateChanged(State state)
{
    // The plug-in first, so that it has announced its proxies gone before this session reacts.
    Q_EMIT stateChanged(state);
    if (state == Velmor::Connection::ConnectionLost) {
        m_announced.clear();
        if (m_open) {
            m_open = false;
            Q_EMIT lost();
        }
    }
    Q_EMIT changed();
}

bool Session::waitUntil(const std::function<bool()> &done, const QDeadlineTimer &deadline)
{
    if (done() || deadline.hasExpired())
        return done();
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &Session::changed, &loop, [&] {
        if (done())
            loop.quit();
    });
    timer.start(int(deadline.remainingTime()));
    loop.exec();
    return done();
}
