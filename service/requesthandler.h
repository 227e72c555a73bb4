#ifndef REQUESTHANDLER_H
#define REQUESTHANDLER_H

#include <QtCore/QHash>
#include <QtCore/QObject>
#include <QtCore/QSet>
#include <QtCore/QStringList>
#include <QtCore/QVariantList>

#include <map>
#include <memory>

class ClientTable;

namespace Wire {
struct Frame;
}

// The objects a service publishes and what its clients ask of them: GETINFO, GETMETAINFO,
// INVOKE, SIGCONNECT, SIGDISCONNECT and SET_EVENT, the announcements of objects coming and
// going, and the relay of their signals. An object's entry goes when it is withdrawn or
// destroyed, here and nowhere else.
class RequestHandler : public QObject
{
    Q_OBJECT
public:
    // Serves the clients `clients` admits.
    explicit RequestHandler(ClientTable *clients, QObject *parent = nullptr);
    ~RequestHandler() override;

    // As RemotoService::publish() and the rest.
    bool publish(const QString &name, QObject *object);
    bool withdraw(const QString &name);
    quint32 objectId(const QString &name) const;
    QStringList publishedNames() const;

signals:
    void eventMaskReceived(quint32 objectId, const QByteArray &mask);

private:
    struct Published;

    void announceAll(quint64 clientId);
    void clientDropped(quint64 clientId);
    void requestArrived(quint64 clientId, const Wire::Frame &frame);
    void invoke(quint64 clientId, const Wire::Frame &frame, Published &entry);
    void signalRequest(quint64 clientId, const Wire::Frame &frame, Published &entry);
    void answer(quint64 clientId, const Wire::Frame &request, qint32 result,
        const QVariantList &values = QVariantList());
    void broadcast(qint32 kind, quint32 objectId);
    void relay(quint32 objectId, const QString &signature, const QVariant *arguments, int count,
        const QSet<quint64> &clientIds);
    void forget(quint32 objectId);
    Published *find(quint32 objectId);

    ClientTable *m_clients;
    quint32 m_lastObjectId = 0;
    // Ordered by id, so announcements come in publishing order.
    std::map<quint32, std::unique_ptr<Published>> m_objects;
    // Lookups by name and by object, so publishing costs the same however many are published.
    QHash<QString, quint32> m_idsByName;
    QHash<const QObject *, quint32> m_idsByObject;
    // The text of the last notification relayed, written over by the next.
    QByteArray m_notificationText;
    // The payload of the last answer, written over by the next.
    QByteArray m_answerText;
};

#endif
