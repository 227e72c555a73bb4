#ifndef OBJECTHANDLE_H
#define OBJECTHANDLE_H

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtCore/QVariant>

// One entry of a proxy's methodList, such as "int add(int,int)", read as the module reads it.
struct MethodEntry
{
    QString returnType;
    QString name;
    int argumentCount = 0;

    static bool parse(const QString &entry, MethodEntry *method);
    bool returnsValue() const { return returnType != QLatin1String("void"); }
};

// A proxy of the module, driven by name through its meta-object. It learns that the proxy
// went down from the plug-in, since the proxy's own signals can be raised by the service.
class ObjectHandle : public QObject
{
    Q_OBJECT
public:
    struct Outcome
    {
        bool ok = false;
        QVariant value;
        QString error;
    };

    ObjectHandle(QObject *plugin, QObject *proxy);

    QString name() const;
    QString className() const;
    QStringList methodList() const;
    // The module calls the last entry with that name and argument count, so that is the one
    // returned. False when there is none.
    bool findMethod(const QString &name, int argumentCount, MethodEntry *method) const;

    Outcome call(const MethodEntry &method, const QVariantList &arguments);
    // ok false with an empty error: the object has no such signal.
    Outcome subscribe(const QByteArray &signature);

private Q_SLOTS:
    void objectDisconnected(QObject *proxy);

private:
    QPointer<QObject> m_proxy;
    bool m_wentDown = false;
};

#endif
