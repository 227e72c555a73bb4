#ifndef REMOTOQMLPLUGIN_H
#define REMOTOQMLPLUGIN_H

#include <QtQml/QQmlExtensionPlugin>

// The QML module Remoto 2.0: RemotoLink, RemoteObject, and the model of a link's objects.
class RemotoQmlPlugin : public QQmlExtensionPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QQmlExtensionInterface_iid)
public:
    void registerTypes(const char *uri) override;
};

#endif
