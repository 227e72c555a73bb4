#ifndef OBJECTHANDLE_H
#define OBJECTHANDLE_H

#include "member.h"

#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QVariant>

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
    // The proxy's methodList, in its order; entries that cannot be read are left out.
    QList<Member> methods() const;

    Outcome call(const Member &method, const QVariantList &arguments);
    // ok false with an empty error: the service refused the subscription without a reason.
    Outcome subscribe(const QByteArray &signature);

private Q_SLOTS:
    void objectDisconnected(QObject *proxy);

private:
    QPointer<QObject> m_proxy;
    bool m_wentDown = false;
};

#endif
