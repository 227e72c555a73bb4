#include "remotoplugin.h"

#include "remotopluginprivate.h"

RemotoPlugin::RemotoPlugin()
    : QObject(nullptr)
    , d(new RemotoPluginPrivate(this))
{
    Velmor::registerMetaTypes();
    connect(d, &RemotoPluginPrivate::rpcObjectConnected, this, &RemotoPlugin::rpcObjectConnected);
    connect(d, &RemotoPluginPrivate::rpcObjectDisonnected, this,
            &RemotoPlugin::rpcObjectDisonnected);
}

RemotoPlugin::~RemotoPlugin()
{
    // The registry goes first; the proxies follow as children.
    delete d;
}

void RemotoPlugin::setConnection(QObject *newconn)
{
    d->setConnection(newconn);
}

QObjectList RemotoPlugin::rpcObjects()
{
    return d->rpcObjects();
}

QObject *RemotoPlugin::findRpcObject(QString obj_name)
{
    return d->findRpcObject(obj_name);
}

QString RemotoPlugin::moduleVersion() const
{
    return QStringLiteral("2.3.38");
}

QObject *RemotoPlugin::connection() const
{
    return d->connection;
}
