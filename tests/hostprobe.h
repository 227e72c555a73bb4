#ifndef HOSTPROBE_H
#define HOSTPROBE_H

#include <message.h>
#include <request.h>

#include <QtCore/QList>
#include <QtCore/QMetaObject>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QVariant>

// What a host can see of the module beyond its public surface, still only by name: the private
// companion's slot (whose return value the connection drops) and the requests it creates.
namespace HostProbe {

inline QObject *privateCompanion(QObject *plugin)
{
    const QObjectList children = plugin->children();
    for (QObject *child : children) {
        if (qstrcmp(child->metaObject()->className(), "RemotoPluginPrivate") == 0)
            return child;
    }
    qFatal("the plug-in has no private companion");
    return nullptr;
}

// Calls the companion's message slot directly, so the caller gets the accepted flag.
inline bool deliver(QObject *companion, const Velmor::Command::Message &m)
{
    bool accepted = false;
    if (!QMetaObject::invokeMethod(companion, "message", Qt::DirectConnection,
            Q_RETURN_ARG(bool, accepted), Q_ARG(Velmor::Command::Message, m)))
        qFatal("the private companion has no slot message(Velmor::Command::Message)");
    return accepted;
}

// Keeps a guarded pointer to every request the module creates and to the response owning it,
// so a test can tell whether any of them is still alive.
class RequestTally : public QObject
{
    Q_OBJECT
public:
    // Connected before the host connection, so it sees each request before anyone answers it.
    void watch(QObject *companion)
    {
        connect(companion, SIGNAL(request(const Request *)), this, SLOT(track(const Request *)));
    }

    int count() const { return requests.size(); }
    int alive() const
    {
        int n = 0;
        for (const QPointer<QObject> &p : requests)
            n += p.isNull() ? 0 : 1;
        for (const QPointer<QObject> &p : responses)
            n += p.isNull() ? 0 : 1;
        return n;
    }

public Q_SLOTS:
    void track(const Request *request)
    {
        auto *tracked = const_cast<Request *>(request);
        requests.append(tracked);
        responses.append(tracked->parent());
    }

private:
    QList<QPointer<QObject>> requests;
    QList<QPointer<QObject>> responses;
};

} // namespace HostProbe

#endif
