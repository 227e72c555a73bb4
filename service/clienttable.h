#ifndef CLIENTTABLE_H
#define CLIENTTABLE_H

#include "frame.h"

#include <QtCore/QObject>
#include <QtCore/QPointer>

#include <map>
#include <vector>

QT_BEGIN_NAMESPACE
class QAbstractEventDispatcher;
class QIODevice;
QT_END_NAMESPACE

namespace Wire {
class FrameChannel;
}

// The clients of a service, each under an id never used again: who is let in (the client
// limit, the hello and its access token, the time it may take), what all of them together may
// hold of the service's memory, and when a client goes. A client's channel is deleted here and
// nowhere else, and a client that is gone is found by its id no more.
class ClientTable : public QObject
{
    Q_OBJECT
public:
    explicit ClientTable(QObject *parent = nullptr);
    ~ClientTable() override;

    // Takes in a connection the listener accepted: refused at once beyond the client limit,
    // else a client admitted at once without an access token, or once its hello carries it.
    void accept(QIODevice *socket);
    void dropAll();
    int count() const;
    // The channel of an admitted client; null for one that is gone or not admitted.
    Wire::FrameChannel *channel(quint64 clientId) const;
    void sendToAdmitted(const Wire::Frame &frame);
    // Answers `request` with Refused, as every request of a client not admitted is answered.
    void refuseRequest(quint64 clientId, const Wire::Frame &request);

    // False, changing nothing, for a token longer than a hello carries.
    bool setAccessToken(const QByteArray &token);
    bool requiresToken() const;
    void setStallTimeout(int msecs);
    void setMaxClients(int count);
    int maxClients() const;
    void setHelloTimeout(int msecs);
    void setMemoryBudget(qint64 bytes);

signals:
    // Nothing has been sent to the client yet.
    void admitted(quint64 clientId);
    // Requests of admitted clients only, in the order each sent them. Emitted last, as a
    // receiver may delete the table: a method it calls may delete the whole service.
    void requestReceived(quint64 clientId, const Wire::Frame &request);
    // Emitted from inside the table's own loops over its clients: a receiver leaves the
    // table alone.
    void dropped(quint64 clientId);

private:
    struct Client
    {
        Wire::FrameChannel *channel = nullptr;
        bool helloSeen = false;
        bool admitted = false;
        // What the channel held when last asked: the budget is checked against the sum of
        // these, so a pass costs as much as the channels that grew in it, not all of them.
        qint64 held = 0;
    };

    void frameArrived(quint64 clientId, const Wire::Frame &frame);
    void helloArrived(quint64 clientId, Client &client, const Wire::Frame &frame);
    void refuse(quint64 clientId, Wire::Frame::Reason reason, const QString &text);
    void drop(quint64 clientId, const QString &reason);
    void budgetMayBeExceeded();
    void enforceBudget();
    // Asks the client's channel again and returns what it holds now.
    qint64 recount(Client &client);

    QByteArray m_token;
    int m_stallTimeout;
    int m_maxClients;
    int m_helloTimeout;
    qint64 m_memoryBudget;
    bool m_budgetCheckQueued = false;
    // The sum of the clients' `held`, and the clients whose channels grew since it was taken.
    qint64 m_heldTotal = 0;
    std::vector<quint64> m_grown;
    QPointer<QAbstractEventDispatcher> m_budgetWatch;
    quint64 m_lastClientId = 0;
    std::map<quint64, Client> m_clients;
};

#endif
