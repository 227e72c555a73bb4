#include "fakeremote.h"
#include "commandcatalogue.h"
#include "pluginhost.h"

#include <QtCore/QDataStream>
#include <QtCore/QTimer>
#include <QtCore/QtEndian>

#include <cstring>

namespace {
constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int GetMetaInfo = CommandCatalogue::GetMetaInfo;
constexpr int Invoke = CommandCatalogue::Invoke;
constexpr int SigConnect = CommandCatalogue::SigConnect;
} // namespace

FakeRemote::FakeRemote(QObject *parent)
    : QObject(parent)
{
}

void FakeRemote::addObject(quint32 id, const RemoteObject &object)
{
    objects.insert(id, object);
}

QObject *FakeRemote::publish(QObject *plugin, quint32 id, const RemoteObject &object)
{
    const AnswerMode kept = mode;
    mode = Direct;
    addObject(id, object);
    announce(id);
    mode = kept;
    return PluginHost::findRpcObject(plugin, object.name);
}

Velmor::Command::Message makeMessage(
    quint32 objectId, qint32 kind, const QVariant &payload, quint32 requestUid, qint32 magic)
{
    Velmor::Command::Message m;
    m.requestUid = requestUid;
    m.objectId = objectId;
    m.kind = kind;
    m.magic = magic;
    m.payload = payload;
    return m;
}

void FakeRemote::send(
    quint32 objectId, qint32 kind, const QVariant &payload, quint32 requestUid, qint32 magic)
{
    Q_EMIT message(makeMessage(objectId, kind, payload, requestUid, magic));
}

void FakeRemote::announce(quint32 id)
{
    send(id, Velmor::Command::ObjectUp, QByteArray());
}

void FakeRemote::withdraw(quint32 id)
{
    send(id, Velmor::Command::ObjectDown, QByteArray());
}

void FakeRemote::loseConnection()
{
    setState(Velmor::Connection::ConnectionLost);
}

void FakeRemote::setState(int state)
{
    Q_EMIT stateChanged(Velmor::Connection::State(state));
}

void FakeRemote::notify(quint32 id, const QVariantList &values)
{
    send(id, Velmor::Command::Notify, encodeValues(values).toBase64());
}

void FakeRemote::answer(
    const SentRequest &request, const QVariantList &values, int result, int commandCode)
{
    send(request.objectId, Velmor::Command::Answer,
        answerBytes(values, result, commandCode == -1 ? request.command : commandCode),
        request.uid);
}

void FakeRemote::refuse(const SentRequest &request)
{
    send(request.objectId, Velmor::Command::Refused, QByteArray(), request.uid);
}

QList<FakeRemote::SentRequest> FakeRemote::requestsFor(int command) const
{
    QList<SentRequest> found;
    for (const SentRequest &r : requests) {
        if (r.command == command)
            found.append(r);
    }
    return found;
}

QByteArray FakeRemote::encodeValues(const QVariantList &values)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << values;
    return bytes;
}

QVariantList FakeRemote::decodeValues(const QByteArray &bytes)
{
    QVariantList values;
    QDataStream in(bytes);
    in >> values;
    return values;
}

QByteArray FakeRemote::answerBytes(
    const QVariantList &values, int result, int commandCode, double timeStamp)
{
    return answerHeader(timeStamp, result, commandCode) + encodeValues(values).toBase64();
}

QByteArray FakeRemote::answerHeader(double timeStamp, int result, int commandCode)
{
    QByteArray bytes(16, '\0');
    quint64 bits;
    std::memcpy(&bits, &timeStamp, sizeof bits);
    qToLittleEndian<quint64>(bits, bytes.data());
    qToLittleEndian<qint32>(result, bytes.data() + 8);
    qToLittleEndian<qint32>(commandCode, bytes.data() + 12);
    return bytes;
}

FakeRemote::RemoteObject FakeRemote::counter(const QString &name)
{
    RemoteObject object;
    object.name = name;
    object.metaInfo = QStringList {
        QStringLiteral("Counter"),
        QStringLiteral("Method int add(int,int)"),
        QStringLiteral("Slot void reset()"),
        QStringLiteral("Signal void changed(int)"),
        QStringLiteral("Method QString name()"),
    };
    object.signalNames = QStringList { QStringLiteral("changed(int)") };
    object.invoke = [name](const QString &signature, const QVariantList &args) -> QVariantList {
        if (signature == QLatin1String("add(int,int)"))
            return { true, args.value(0).toInt() + args.value(1).toInt() };
        if (signature == QLatin1String("name()"))
            return { true, name };
        return { true };
    };
    return object;
}

void FakeRemote::request(const Request *request)
{
    const QVariant payload = request->payload();
    const SentRequest sent { request->sequence(), quint32(request->objectId()),
        request->command().toInt(), payload.toByteArray(), request->magic(),
        quint32(request->uid()), payload.type() == QVariant::ByteArray };
    requests.append(sent);
    Q_EMIT requestSeen(sent.command);
    if (mode == Manual || silentCommands.contains(sent.command))
        return;
    if (mode == Direct)
        autoAnswer(sent);
    else
        QTimer::singleShot(0, this, [this, sent] { autoAnswer(sent); });
}

void FakeRemote::autoAnswer(const SentRequest &request)
{
    const auto found = objects.constFind(request.objectId);
    if (found == objects.constEnd())
        return;
    const RemoteObject &object = *found;
    switch (request.command) {
    case GetInfo:
        answer(request, { request.objectId, object.name });
        break;
    case GetMetaInfo:
        answer(request, { object.metaInfo });
        break;
    case Invoke: {
        const QVariantList call = decodeValues(QByteArray::fromBase64(request.payload));
        if (call.size() < 2 || !object.invoke) {
            answer(request, {}, 4);
            break;
        }
        answer(request, object.invoke(call.at(1).toString(), call.mid(2)));
        break;
    }
    case SigConnect: {
        const QString signal = QString::fromUtf8(QByteArray::fromBase64(request.payload));
        answer(request, { object.signalNames.contains(signal) });
        break;
    }
    default:
        break;
    }
}
