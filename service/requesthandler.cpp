#include "requesthandler.h"

#include "clienttable.h"
#include "commandcatalogue.h"
#include "framechannel.h"
#include "message.h"
#include "objectinterface.h"
#include "payloadcodec.h"
#include "resultcodetable.h"
#include "servicelog.h"
#include "signalrelay.h"

#include <QtCore/QDateTime>
#include <QtCore/QPointer>
#include <QtCore/QThread>

using Wire::Frame;
using Wire::FrameChannel;
using Wire::PayloadCodec;

struct RequestHandler::Published
{
    QString name;
    QPointer<QObject> object;
    // The object's address as published: the guard above is already null when the object's
    // destruction withdraws it.
    const QObject *identity = nullptr;
    std::unique_ptr<SignalRelay> relay;
    QMetaObject::Connection destroyedConnection;
    ObjectInterface::CallableMethods callable;
};

RequestHandler::RequestHandler(ClientTable *clients, QObject *parent)
    : QObject(parent)
    , m_clients(clients)
{
    connect(clients, &ClientTable::admitted, this, &RequestHandler::announceAll);
    connect(clients, &ClientTable::requestReceived, this, &RequestHandler::requestArrived);
    connect(clients, &ClientTable::dropped, this, &RequestHandler::clientDropped);
}

RequestHandler::~RequestHandler()
{
    for (auto &entry : m_objects)
        QObject::disconnect(entry.second->destroyedConnection);
}

bool RequestHandler::publish(const QString &name, QObject *object)
{
    if (name.isEmpty() || !object || m_idsByName.contains(name) || m_idsByObject.contains(object)
        || object->thread() != thread())
        return false;
    const quint32 id = ++m_lastObjectId;
    auto entry = std::make_unique<Published>();
    entry->name = name;
    entry->object = object;
    entry->identity = object;
    m_idsByName.insert(name, id);
    m_idsByObject.insert(object, id);
    entry->relay = std::make_unique<SignalRelay>(
        object,
        [this, id](const QString &signature, const QVariant *arguments, int count,
            const QSet<quint64> &clientIds) { relay(id, signature, arguments, count, clientIds); },
        this);
    entry->destroyedConnection
        = connect(object, &QObject::destroyed, this, [this, id] { forget(id); });
    m_objects.emplace(id, std::move(entry));
    broadcast(Velmor::Command::ObjectUp, id);
    return true;
}

bool RequestHandler::withdraw(const QString &name)
{
    const quint32 id = objectId(name);
    if (id == 0)
        return false;
    forget(id);
    return true;
}

quint32 RequestHandler::objectId(const QString &name) const
{
    return m_idsByName.value(name);
}

QStringList RequestHandler::publishedNames() const
{
    QStringList names;
    for (const auto &entry : m_objects)
        names.append(entry.second->name);
    return names;
}

void RequestHandler::announceAll(quint64 clientId)
{
    FrameChannel *channel = m_clients->channel(clientId);
    for (const auto &entry : m_objects)
        channel->send(Frame::message(Velmor::Command::ObjectUp, 0, entry.first));
    channel->send(Frame::message(
        Frame::InitialObjectsAnnounced, 0, 0, Frame::featureWord(Frame::TakesUnwrapped)));
}

void RequestHandler::clientDropped(quint64 clientId)
{
    for (auto &entry : m_objects)
        entry.second->relay->removeClient(clientId);
}

void RequestHandler::requestArrived(quint64 clientId, const Frame &frame)
{
    if (frame.magic != Velmor::Command::Marker) {
        m_clients->refuseRequest(clientId, frame);
        return;
    }
    Published *entry = find(frame.objectId);
    if (frame.command == CommandCatalogue::SetEvent) {
        // Never answered, not even when the object is unknown.
        if (entry)
            emit eventMaskReceived(frame.objectId, frame.payload);
        return;
    }
    if (!entry) {
        answer(clientId, frame, ResultCode::InvalidDeviceId);
        return;
    }
    QObject *object = entry->object;
    switch (frame.command) {
    case CommandCatalogue::GetInfo:
        answer(clientId, frame, ResultCode::Ok,
            { QString::fromUtf8(object->metaObject()->className()), entry->name });
        break;
    case CommandCatalogue::GetMetaInfo:
        answer(clientId, frame, ResultCode::Ok, { ObjectInterface::describe(object) });
        break;
    case CommandCatalogue::Invoke:
        invoke(clientId, frame, *entry);
        break;
    case CommandCatalogue::SigConnect:
    case CommandCatalogue::SigDisconnect:
        signalRequest(clientId, frame, *entry);
        break;
    default:
        answer(clientId, frame, ResultCode::InvalidCommand);
    }
}

void RequestHandler::invoke(quint64 clientId, const Frame &frame, Published &entry)
{
    QVariantList request;
    const bool read = frame.flags & Frame::Unwrapped
        ? PayloadCodec::readValueList(frame.payload, &request)
        : PayloadCodec::decodeValueList(frame.payload, &request);
    if (!read) {
        answer(clientId, frame, ResultCode::InvalidParams);
        return;
    }
    // The method may do anything: withdraw its object, drop the client, destroy the service.
    const QPointer<RequestHandler> alive(this);
    QVariant result;
    const qint32 code = ObjectInterface::invoke(entry.object, request, &result, &entry.callable);
    if (!alive)
        return;
    if (code == ResultCode::Ok)
        answer(clientId, frame, code, { true, result });
    else
        answer(clientId, frame, code);
}

void RequestHandler::signalRequest(quint64 clientId, const Frame &frame, Published &entry)
{
    QByteArray signature = frame.payload;
    if (!(frame.flags & Frame::Unwrapped)) {
        QByteArray::FromBase64Result text = QByteArray::fromBase64Encoding(
            frame.payload, QByteArray::AbortOnBase64DecodingErrors);
        if (text.decodingStatus != QByteArray::Base64DecodingStatus::Ok) {
            answer(clientId, frame, ResultCode::InvalidParams);
            return;
        }
        signature = std::move(text.decoded);
    }
    const int index = ObjectInterface::signalIndex(entry.object, signature);
    bool done = false;
    if (index >= 0 && frame.command == CommandCatalogue::SigConnect)
        done = entry.relay->subscribe(index, clientId);
    else if (index >= 0)
        done = entry.relay->unsubscribe(index, clientId);
    answer(clientId, frame, ResultCode::Ok, { done });
}

void RequestHandler::answer(
    quint64 clientId, const Frame &request, qint32 result, const QVariantList &values)
{
    FrameChannel *channel = m_clients->channel(clientId);
    if (!channel)
        return;
    // Read once: both attempts below carry the same time stamp.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A result that cannot be written, or cannot fit a frame, is the object's fault.
    if (!PayloadCodec::encodeAnswer(result, request.command, values, now, &m_answerText)
        || m_answerText.size() > Frame::maxPayloadSize(Frame::Message))
        PayloadCodec::encodeAnswer(
            ResultCode::DeviceInvalidParams, request.command, QVariantList(), now, &m_answerText);
    // The channel copies the bytes out, so the buffer is free for the next answer.
    channel->send(Frame::message(
        Velmor::Command::Answer, request.requestUid, request.objectId, m_answerText));
    // A host waits for these answers; the others go out with whatever else the pass sends.
    if (request.command == CommandCatalogue::Invoke
        || request.command == CommandCatalogue::SigConnect
        || request.command == CommandCatalogue::SigDisconnect)
        channel->flush();
}

void RequestHandler::broadcast(qint32 kind, quint32 objectId)
{
    m_clients->sendToAdmitted(Frame::message(kind, 0, objectId));
}

void RequestHandler::relay(quint32 objectId, const QString &signature, const QVariant *arguments,
    int count, const QSet<quint64> &clientIds)
{
    if (!PayloadCodec::encodeNotification(signature, arguments, count, &m_notificationText)
        || m_notificationText.size() > Frame::maxPayloadSize(Frame::Message)) {
        qCWarning(lcService,
            "RemotoService: the arguments of %s cannot be sent; emission not relayed",
            qUtf8Printable(signature));
        return;
    }
    // Encoded once for all subscribers, whose sockets then share these bytes.
    const QByteArray frame
        = Frame::message(Velmor::Command::Notify, 0, objectId, m_notificationText).encode();
    for (quint64 clientId : clientIds) {
        if (FrameChannel *channel = m_clients->channel(clientId))
            channel->sendEncoded(frame);
    }
}

void RequestHandler::forget(quint32 objectId)
{
    const auto it = m_objects.find(objectId);
    if (it == m_objects.end())
        return;
    std::unique_ptr<Published> entry = std::move(it->second);
    m_objects.erase(it);
    m_idsByName.remove(entry->name);
    m_idsByObject.remove(entry->identity);
    QObject::disconnect(entry->destroyedConnection);
    // The relay may be the caller, deep in one of the object's emissions. Should the handler
    // go first, it takes the relay along as its child.
    entry->relay->detach();
    entry->relay.release()->deleteLater();
    broadcast(Velmor::Command::ObjectDown, objectId);
}

RequestHandler::Published *RequestHandler::find(quint32 objectId)
{
    const auto it = m_objects.find(objectId);
    if (it == m_objects.end() || !it->second->object)
        return nullptr;
    return it->second.get();
}
