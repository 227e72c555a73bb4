#ifndef SERVICELISTENER_H
#define SERVICELISTENER_H

#include <QtCore/QDeadlineTimer>
#include <QtCore/QElapsedTimer>
#include <QtCore/QObject>
#include <QtCore/QTimer>

#include "tlssettings.h"

class ClientTable;

// Listens on one address for a service and hands every connection to the client table. A
// listener that stops taking connections is noticed, reported, and opened again on the same
// address, retrying after a delay while that fails, until a time without success makes it give
// up. Its server is deleted here and nowhere else.
class ServiceListener : public QObject
{
    Q_OBJECT
public:
    // `clients` takes the connections, and says whether clients must show an access token.
    explicit ServiceListener(ClientTable *clients, QObject *parent = nullptr);
    ~ServiceListener() override;

    // Takes an address RemotoService::listen() takes; false, with errorString(), when it
    // cannot listen there. The listener must not be listening.
    bool listen(const QString &address);
    // Stops listening and forgets the address.
    void close();
    // False while listening again after failed().
    bool isListening() const;
    QString address() const;
    QString errorString() const;
    void setAllowUnauthenticated(bool allow);
    // What tls:// addresses listened on from now on show and ask of clients. The loading
    // ones give errorString() when they fail.
    Wire::TlsSettings &tls();
    bool loadTlsChain(const QString &chainFile, const QString &keyFile);
    bool loadTlsClientCa(const QString &file);

signals:
    // Emitted last, with the listener already retrying.
    void failed(const QString &reason);
    // Emitted last, with the listener closed.
    void lost(const QString &reason);

private:
    void stop();
    void check();
    void broke(const QString &reason);
    void retry();
    void relisten();

    ClientTable *m_clients;
    // The QLocalServer or QTcpServer listening, if any.
    QObject *m_server = nullptr;
    QString m_address;
    QString m_error;
    // The socket file to watch; empty when the local server has none or listens on TCP.
    QString m_socketFile;
    bool m_allowUnauthenticated = false;
    Wire::TlsSettings m_tls;
    QTimer m_check;
    QTimer m_relistenTimer;
    int m_relistenDelay;
    QElapsedTimer m_lastFailure;
    QDeadlineTimer m_relistenDeadline;
};

#endif
