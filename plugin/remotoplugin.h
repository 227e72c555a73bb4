#ifndef REMOTOPLUGIN_H
#define REMOTOPLUGIN_H

#include <QtCore/QObject>
#include <QtCore/QString>

class RemotoPluginPrivate;

// The module's root object: the host attaches its connection here and finds the proxies of
// remote objects through it.
class RemotoPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.remoto.RemotoPlugin")
    Q_PROPERTY(QString moduleVersion READ moduleVersion)
    Q_PROPERTY(QObject *connection READ connection)

public:
    RemotoPlugin();
    ~RemotoPlugin() override;

    Q_INVOKABLE void setConnection(QObject *newconn);
    Q_INVOKABLE QObjectList rpcObjects();
    Q_INVOKABLE QObject *findRpcObject(QString obj_name);

    QString moduleVersion() const;
    QObject *connection() const;

Q_SIGNALS:
    void rpcObjectConnected(QObject *);
    void rpcObjectDisonnected(QObject *);

private:
    RemotoPluginPrivate *d;
};

#endif
