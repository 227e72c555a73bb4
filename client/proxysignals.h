#ifndef PROXYSIGNALS_H
#define PROXYSIGNALS_H

#include <message.h>

#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QStringList>

// The signals of each proxy as the service listed them, "void changed(int)": the module keeps
// them to itself, so a host reads them off the meta information its connection hands the
// module. Each message must reach arrived() before the plug-in and handled() after it, and
// the plug-in's rpcObjectConnected() must reach proxyConnected() before anyone else hears of
// the proxy.
class ProxySignals : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    QStringList of(QObject *proxy) const { return m_signals.value(proxy); }

    void arrived(const Velmor::Command::Message &message);
    void handled();

public Q_SLOTS:
    void proxyConnected(QObject *proxy);

private:
    QHash<QObject *, QStringList> m_signals;
    // The signals in the meta information of each message the plug-in is handling, the
    // innermost last: a proxy comes up while the plug-in handles its meta information, and a
    // call made from a slot meanwhile has the plug-in handle others.
    QList<QStringList> m_arriving;
};

#endif
