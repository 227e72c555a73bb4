#ifndef REMOTOPLUGINPRIVATE_H
#define REMOTOPLUGINPRIVATE_H

#include "rpcobjectentry.h"

#include <connectionstate.h>
#include <message.h>

#include <QtCore/QHash>
#include <QtCore/QMap>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QSharedPointer>

#include <set>

class Request;
class RemotoObject;
class RemotoPlugin;
class RemotoResponse;

using RpcObjectEntryPtr = QSharedPointer<RpcObjectEntry>;

// Holds the host connection, the registry of remote objects and the command wait time;
// dispatches incoming messages and sends commands.
class RemotoPluginPrivate : public QObject
{
    Q_OBJECT
public:
    explicit RemotoPluginPrivate(RemotoPlugin *parent);
    ~RemotoPluginPrivate() override;

    void setConnection(QObject *newconn);
    QObjectList rpcObjects() const;
    QObject *findRpcObject(const QString &obj_name) const;

    RemotoResponse *sendCommand(const RpcObjectEntryPtr &entry, const QVariant &command,
                                const QByteArray &payload, bool encodeBase64);
    RemotoResponse *sendCommandAndWait(const RpcObjectEntryPtr &entry, const QVariant &command,
                                       const QByteArray &payload, bool encodeBase64);
    bool sendInvoke(QObject *object, const QByteArray &payload, QVariant *result);
    bool sendConnect(QObject *object, const char *signal);
    RemotoResponse *sendConnectAsync(QObject *object, const char *signal);

    // Guarded, so a connection the host deleted is never disconnected from.
    QPointer<QObject> connection;
    QMap<quint32, RpcObjectEntryPtr> objects;
    int timeout = 2000;

Q_SIGNALS:
    void request(const Request *);
    void rpcObjectConnected(QObject *);
    void rpcObjectDisonnected(QObject *);

public Q_SLOTS:
    bool message(const Velmor::Command::Message &);
    void connectionStateChanged(Velmor::Connection::State state);

private:
    void handleObjectUp(quint32 objectId);
    void handleInfoAnswer(const RpcObjectEntryPtr &entry, RemotoResponse *response);
    void handleMetaInfoAnswer(const RpcObjectEntryPtr &entry, RemotoResponse *response);
    void handleObjectDown(const RpcObjectEntryPtr &entry);
    void dispatchNotification(const RpcObjectEntryPtr &entry,
                              const Velmor::Command::Message &message);

    RemotoResponse *prepareCommand(const RpcObjectEntryPtr &entry, const QVariant &command,
                                   const QByteArray &payload, bool encodeBase64, bool autoDelete);
    bool callAndWait(QObject *object, int command, const QByteArray &payload,
                     const char *notFound, const char *timedOut, QVariant *result);
    RpcObjectEntryPtr entryOf(const QObject *object) const;
    void dropEntry(const RpcObjectEntryPtr &entry);
    static bool isMetaInfoPending(const RpcObjectEntry &entry);

    // Indexes kept in step with the registry, so lookups by proxy and by name cost the same
    // however many objects are registered. They hold exactly the proxies of registered entries.
    void indexProxy(const RpcObjectEntryPtr &entry);
    void unindexProxy(const QObject *proxy);
    void proxyRenamed(const QObject *proxy, const QString &name);

    struct IndexedProxy
    {
        RpcObjectEntryPtr entry;
        QString name;
    };
    QHash<const QObject *, IndexedProxy> proxyIndex;
    QHash<QString, std::set<quint32>> nameIndex;
};

#endif
