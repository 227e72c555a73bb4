#include "commandcatalogue.h"
#include "remotopluginprivate.h"
#include "remotoresponse.h"

#include <request.h>

#include <QtCore/QDebug>
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>

RemotoResponse *RemotoPluginPrivate::prepareCommand(const RpcObjectEntryPtr &entry,
                                                    const QVariant &command,
                                                    const QByteArray &payload, bool encodeBase64,
                                                    bool autoDelete)
{
    // A number is taken as the code itself; a name is looked up, and an unknown one costs no
    // sequence number.
    bool isNumber = false;
    int code = command.toInt(&isNumber);
    if (!isNumber) {
        code = CommandCatalogue::commandCode(command.toString());
        if (code == -1)
            return nullptr;
    }
    const int sequence = entry->sequence++;
    auto *request = new Request(sequence, int(entry->objectId), code,
                                encodeBase64 ? payload.toBase64() : payload,
                                Velmor::Command::Marker);
    auto *response = new RemotoResponse(request, autoDelete);
    request->setParent(response);
    entry->pending.insert(quint32(request->uid()), response);
    return response;
}

RemotoResponse *RemotoPluginPrivate::sendCommand(const RpcObjectEntryPtr &entry,
                                                 const QVariant &command,
                                                 const QByteArray &payload, bool encodeBase64)
{
    RemotoResponse *response = prepareCommand(entry, command, payload, encodeBase64, true);
    if (response)
        Q_EMIT request(response->request());
    return response;
}

RemotoResponse *RemotoPluginPrivate::sendCommandAndWait(const RpcObjectEntryPtr &entry,
                                                        const QVariant &command,
                                                        const QByteArray &payload,
                                                        bool encodeBase64)
{
    RemotoResponse *response = prepareCommand(entry, command, payload, encodeBase64, false);
    if (!response)
        return nullptr;
    const quint32 uid = quint32(response->request()->uid());
    const int wait = timeout;
    Q_EMIT request(response->request());

    // The host may have answered while the request was being emitted. From here on only
    // locals and the held entry are used: this object may be deleted during the wait. The
    // response is ours alone, so it outlives the wait whatever happens meanwhile.
    if (!response->isFinished()) {
        QEventLoop loop;
        QTimer timer;
        connect(response, &RemotoResponse::finished, &loop, &QEventLoop::quit);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(wait);
        loop.exec(QEventLoop::WaitForMoreEvents);
    }
    entry->pending.remove(uid);
    return response;
}

bool RemotoPluginPrivate::callAndWait(QObject *object, int command, const QByteArray &payload,
                                      const char *notFound, const char *timedOut,
                                      QVariant *result)
{
    const RpcObjectEntryPtr entry = entryOf(object);
    if (!entry)
        return false;
    RemotoResponse *response = sendCommandAndWait(entry, command, payload, true);
    if (!response) {
        qWarning() << tr(notFound);
        return false;
    }
    bool succeeded = false;
    if (!response->isFinished())
        qWarning() << tr(timedOut);
    else if (response->error() != 0)
        qWarning() << response->errorString(true);
    else if (response->dataAt(0).toBool()) {
        succeeded = true;
        if (result)
            *result = response->dataAt(1);
    }
    response->deleteLater();
    return succeeded;
}

bool RemotoPluginPrivate::sendInvoke(QObject *object, const QByteArray &payload, QVariant *result)
{
    return callAndWait(object, CommandCatalogue::Invoke, payload,
                       QT_TR_NOOP("sendInvoke: response not found"),
                       QT_TR_NOOP("INVOKE command timeout"), result);
}

bool RemotoPluginPrivate::sendConnect(QObject *object, const char *signal)
{
    return callAndWait(object, CommandCatalogue::SigConnect, QByteArray(signal),
                       QT_TR_NOOP("sendConnect: response not found"),
                       QT_TR_NOOP("SIGCONNECT command timeout"), nullptr);
}

RemotoResponse *RemotoPluginPrivate::sendConnectAsync(QObject *object, const char *signal)
{
    const RpcObjectEntryPtr entry = entryOf(object);
    if (!entry)
        return nullptr;
    return sendCommand(entry, int(CommandCatalogue::SigConnect), QByteArray(signal), true);
}
