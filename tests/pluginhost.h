#ifndef PLUGINHOST_H
#define PLUGINHOST_H

#include <QtCore/QMetaObject>
#include <QtCore/QObject>
#include <QtCore/QPluginLoader>
#include <QtCore/QVariant>

// Reaches the built plug-in only as a host does: through QPluginLoader and, from then on, the
// meta-object by name.
namespace PluginHost {

inline QObject *instance()
{
    static QPluginLoader loader(QStringLiteral(REMOTO_PLUGIN_PATH));
    QObject *plugin = loader.instance();
    if (!plugin)
        qFatal("cannot load the plug-in: %s", qPrintable(loader.errorString()));
    return plugin;
}

inline void setConnection(QObject *plugin, QObject *connection)
{
    QMetaObject::invokeMethod(plugin, "setConnection", Q_ARG(QObject *, connection));
}

inline QObjectList rpcObjects(QObject *plugin)
{
    QObjectList objects;
    QMetaObject::invokeMethod(plugin, "rpcObjects", Q_RETURN_ARG(QObjectList, objects));
    return objects;
}

inline QObject *findRpcObject(QObject *plugin, const QString &name)
{
    QObject *object = nullptr;
    QMetaObject::invokeMethod(plugin, "findRpcObject", Q_RETURN_ARG(QObject *, object),
                              Q_ARG(QString, name));
    return object;
}

inline QVariant invoke(QObject *proxy, const QString &method, const QVariantList &args)
{
    QVariant result;
    QMetaObject::invokeMethod(proxy, "invoke", Q_RETURN_ARG(QVariant, result),
                              Q_ARG(QString, method), Q_ARG(QVariantList, args));
    return result;
}

inline int sendConnect(QObject *proxy, const char *signal)
{
    int result = -1;
    QMetaObject::invokeMethod(proxy, "sendConnect", Q_RETURN_ARG(int, result),
                              Q_ARG(const char *, signal));
    return result;
}

} // namespace PluginHost

#endif
