#include "remotoqmlplugin.h"

#include "remoteobjectbase.h"
#include "remoteobjectmodel.h"
#include "remotolink.h"

#include <QtQml/qqml.h>

void RemotoQmlPlugin::registerTypes(const char *uri)
{
    // The module's plug-in is found from here, in a build as in an installed tree.
    RemotoLink::setModuleFolder(baseUrl().toLocalFile());
    // The module's values cross into QML as these.
    qRegisterMetaType<QObjectList>("QObjectList");
    qmlRegisterType<RemotoLink>(uri, 2, 0, "RemotoLink");
    // RemoteObject.qml adds call(method, ...) to it.
    qmlRegisterType<RemoteObjectBase>(uri, 2, 0, "RemoteObjectBase");
    qmlRegisterUncreatableType<RemoteObjectModel>(
        uri, 2, 0, "RemoteObjectModel", QStringLiteral("a RemotoLink's objects"));
}
