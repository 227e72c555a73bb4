#include "remotoservice.h"

#include "clienttable.h"
#include "requesthandler.h"
#include "servicelistener.h"

#include <QtNetwork/QSslCertificate>
#include <QtNetwork/QSslKey>

// Declared in this order, so that each part goes before the client table it uses.
struct RemotoService::Private
{
    explicit Private(RemotoService *service)
        : clients(service)
        , listener(&clients, service)
        , requests(&clients, service)
    {
    }

    ClientTable clients;
    ServiceListener listener;
    RequestHandler requests;
};

RemotoService::RemotoService(QObject *parent)
    : QObject(parent)
    , d(new Private(this))
{
    connect(&d->listener, &ServiceListener::failed, this, &RemotoService::listenerFailed);
    connect(&d->listener, &ServiceListener::lost, this, &RemotoService::listenerLost);
    connect(
        &d->requests, &RequestHandler::eventMaskReceived, this, &RemotoService::eventMaskReceived);
}

RemotoService::~RemotoService()
{
    close();
}

bool RemotoService::listen(const QString &address)
{
    close();
    return d->listener.listen(address);
}

void RemotoService::close()
{
    d->listener.close();
    d->clients.dropAll();
}

bool RemotoService::isListening() const
{
    return d->listener.isListening();
}

QString RemotoService::address() const
{
    return d->listener.address();
}

QString RemotoService::errorString() const
{
    return d->listener.errorString();
}

bool RemotoService::setAccessToken(const QByteArray &token)
{
    return d->clients.setAccessToken(token);
}

bool RemotoService::setTlsCertificate(const QString &chainFile, const QString &keyFile)
{
    return d->listener.loadTlsChain(chainFile, keyFile);
}

bool RemotoService::setTlsCertificate(const QList<QSslCertificate> &chain, const QSslKey &key)
{
    if (chain.isEmpty() || key.isNull())
        return false;
    d->listener.tls().chain = chain;
    d->listener.tls().key = key;
    return true;
}

bool RemotoService::setTlsClientCa(const QString &file)
{
    if (file.isEmpty()) {
        setTlsClientCa(QList<QSslCertificate>());
        return true;
    }
    return d->listener.loadTlsClientCa(file);
}

void RemotoService::setTlsClientCa(const QList<QSslCertificate> &authorities)
{
    d->listener.tls().authorities = authorities;
}

void RemotoService::setAllowUnauthenticated(bool allow)
{
    d->listener.setAllowUnauthenticated(allow);
}

void RemotoService::setStallTimeout(int msecs)
{
    d->clients.setStallTimeout(msecs);
}

void RemotoService::setMaxClients(int count)
{
    d->clients.setMaxClients(count);
}

int RemotoService::maxClients() const
{
    return d->clients.maxClients();
}

void RemotoService::setHelloTimeout(int msecs)
{
    d->clients.setHelloTimeout(msecs);
}

void RemotoService::setMemoryBudget(qint64 bytes)
{
    d->clients.setMemoryBudget(bytes);
}

bool RemotoService::publish(const QString &name, QObject *object)
{
    return d->requests.publish(name, object);
}

bool RemotoService::withdraw(const QString &name)
{
    return d->requests.withdraw(name);
}

quint32 RemotoService::objectId(const QString &name) const
{
    return d->requests.objectId(name);
}

QStringList RemotoService::publishedNames() const
{
    return d->requests.publishedNames();
}

int RemotoService::clientCount() const
{
    return d->clients.count();
}
