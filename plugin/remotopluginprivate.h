#ifndef REMOTOPLUGINPRIVATE_H
#define REMOTOPLUGINPRIVATE_H

#include "commandchannel.h"
#include "commandsender.h"
#include "rpcobjectregistry.h"

#include <connectionstate.h>
#include <message.h>

#include <QtCore/QObject>
#include <QtCore/QPointer>

class Request;
class RemotoPlugin;
class RemotoResponse;

// Holds the host connection, the registry of remote objects and the command wait time;
// dispatches incoming messages and sends commands.
class RemotoPluginPrivate : public QObject, public CommandSender
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
    // The caller owns the response.
    RemotoResponse *sendCommandAndWait(const RpcObjectEntryPtr &entry, const QVariant &command,
                                       const QByteArray &payload, bool encodeBase64);
    bool sendInvoke(QObject *object, const QByteArray &payload, QVariant *result) override;
    bool sendConnect(QObject *object, const char *signal) override;
    RemotoResponse *sendConnectAsync(QObject *object, const char *signal) override;

    // Guarded, so a connection the host deleted is never disconnected from.
    QPointer<QObject> connection;
    RpcObjectRegistry objects;
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

    bool callAndWait(QObject *object, int command, const QByteArray &payload,
                     const char *notFound, const char *timedOut, QVariant *result);

    CommandChannel channel;
};

#endif
