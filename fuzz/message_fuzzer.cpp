#include "commandcatalogue.h"
#include "remotoobject.h"
#include "remotoplugin.h"
#include "remotopluginprivate.h"

#include <connectionstate.h>
#include <message.h>
#include <request.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDataStream>
#include <QtCore/QVector>
#include <QtCore/QtEndian>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

namespace {
constexpr quint32 ProxyId = 1;
constexpr quint32 AnnouncedId = 2;
constexpr int MessagesPerInput = 4;

QByteArray answer(const QVariantList &values, int commandCode)
{
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out << values;
    QByteArray bytes(16, '\0');
    qToLittleEndian<qint32>(commandCode, bytes.data() + 12);
    return bytes + body.toBase64();
}

Velmor::Command::Message make(
    quint32 objectId, qint32 kind, const QByteArray &payload, quint32 uid = 0)
{
    Velmor::Command::Message m;
    m.requestUid = uid;
    m.objectId = objectId;
    m.kind = kind;
    m.magic = Velmor::Command::Marker;
    m.payload = payload;
    return m;
}

// Asking for DeferredDelete alone leaves the delivered entries in Qt's posted-event list, which
// then grows with every input and makes each later call slower; the plain call compacts it.
void flushDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::sendPostedEvents();
}

// Everything a message can change in one registry entry, as far as the harness can see it.
struct EntryState
{
    quint32 objectId;
    qint32 sequence;
    QVector<quint32> pending;
    const QObject *proxy;
    bool connected;

    explicit EntryState(const RpcObjectEntry &entry)
        : objectId(entry.objectId)
        , sequence(entry.sequence)
        , pending(entry.pending.keys().toVector())
        , proxy(entry.object)
        , connected(entry.object && entry.object->isConnected())
    {
    }

    bool operator==(const EntryState &other) const
    {
        return objectId == other.objectId && sequence == other.sequence && pending == other.pending
            && proxy == other.proxy && connected == other.connected;
    }
};

QVector<EntryState> registryState(const RemotoPluginPrivate &d)
{
    QVector<EntryState> entries;
    for (const RpcObjectEntryPtr &entry : d.objects)
        entries.append(EntryState(*entry));
    return entries;
}
} // namespace

class Listener : public QObject
{
    Q_OBJECT
public:
    qsizetype seen = 0;

public Q_SLOTS:
    void onEvent(const QString &name, const QVariantList &params)
    {
        // Touch what arrived, as a host's slot would.
        seen += name.size();
        for (const QVariant &value : params)
            seen += value.toString().size();
    }
};

namespace {
// A registry holding one connected proxy with a subscription pending and one object still
// waiting for its INFO answer. Building it costs more than most inputs, and many leave it as it
// was, so it is kept across inputs and built again from a new plug-in only after an input
// changed it: every input starts from the state a fresh process gives it.
class Registry
{
public:
    Registry() { build(); }
    ~Registry() { delete m_plugin; }

    RemotoPluginPrivate *d = nullptr;
    // Of every request the module sent, oldest first, so inputs can aim answers at the responses
    // really pending. Uids come from a process-wide counter: inputs pick them by their place.
    QVector<quint32> uids;

    // Called after each input.
    void restore()
    {
        flushDeferredDeletes();
        uids.resize(m_canonicalUids);
        // Any message that changes the registry sends a request (the sequence moves), takes a
        // pending response, or adds, drops or disconnects a proxy.
        if (m_plugin->children().size() == m_canonicalChildren && registryState(*d) == m_canonical)
            return;
        delete m_plugin;
        flushDeferredDeletes();
        build();
    }

private:
    void build()
    {
        uids.clear();
        m_plugin = new RemotoPlugin;
        d = m_plugin->findChild<RemotoPluginPrivate *>();
        // Requests are all the harness needs of a connection; messages and state changes go
        // to the registry directly.
        QObject::connect(d, &RemotoPluginPrivate::request,
            [this](const Request *request) { uids.append(quint32(request->uid())); });

        static const QByteArray info = answer({ ProxyId, QStringLiteral("fuzzed") }, CommandCatalogue::GetInfo);
        // Dispatching messages reads none of the proxy's member records: its class name will do.
        static const QByteArray metaInfo
            = answer({ QStringList { QStringLiteral("Fuzz") } }, CommandCatalogue::GetMetaInfo);
        d->message(make(ProxyId, Velmor::Command::ObjectUp, QByteArray()));
        d->message(make(ProxyId, Velmor::Command::Answer, info, uids.at(0)));
        d->message(make(ProxyId, Velmor::Command::Answer, metaInfo, uids.last()));
        d->message(make(AnnouncedId, Velmor::Command::ObjectUp, QByteArray()));
        auto *proxy = qobject_cast<RemotoObject *>(d->findRpcObject(QStringLiteral("fuzzed")));
        if (!proxy || !proxy->isConnected())
            abort();
        QObject::connect(proxy, QOverload<QString, QVariantList>::of(&RemotoObject::event),
            &m_listener, &Listener::onEvent);
        d->sendConnectAsync(proxy, "changed(int)");
        flushDeferredDeletes();

        m_canonicalUids = uids.size();
        m_canonical = registryState(*d);
        m_canonicalChildren = m_plugin->children().size();
    }

    RemotoPlugin *m_plugin = nullptr;
    Listener m_listener;
    QVector<EntryState> m_canonical;
    int m_canonicalUids = 0;
    int m_canonicalChildren = 0;
};

Registry *registry = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    // Hash order must not depend on the process, or an input could run differently alone.
    qSetGlobalQHashSeed(0);
    static Registry shared;
    registry = &shared;
    return 0;
}

// Each input is a short sequence of messages from the fuzzer's bytes (marker, kind, ids and
// payload), any of them possibly followed by the loss of the connection.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const QVector<quint32> &uids = registry->uids;
    for (int i = 0; i < MessagesPerInput && input.remaining_bytes() > 0; ++i) {
        Velmor::Command::Message m;
        m.magic = input.ConsumeBool() ? Velmor::Command::Marker : input.ConsumeIntegral<qint32>();
        static const qint32 kinds[] = { 0, 1, 2, 3, 4, 17 };
        m.kind
            = input.ConsumeBool() ? input.PickValueInArray(kinds) : input.ConsumeIntegral<qint32>();
        m.objectId = input.ConsumeIntegralInRange<quint32>(0, 3);
        // Any request sent so far, answered or not, or one never sent (uids start at 1).
        m.requestUid = input.ConsumeBool()
            ? uids.at(input.ConsumeIntegralInRange<int>(0, uids.size() - 1))
            : 0;
        // Mostly wrapped the way the remote side wraps its values, so the bytes reach the
        // decoder rather than stopping at the Base64 layer.
        const bool wrap = input.ConsumeBool();
        const std::string bytes = input.ConsumeRandomLengthString(65536);
        QByteArray payload(bytes.data(), int(bytes.size()));
        if (wrap && m.kind == Velmor::Command::Notify)
            payload = payload.toBase64();
        else if (wrap)
            payload = payload.left(16).leftJustified(16, '\0') + payload.mid(16).toBase64();
        m.payload = payload;
        registry->d->message(m);
        if (input.ConsumeBool())
            registry->d->connectionStateChanged(Velmor::Connection::ConnectionLost);
    }
    registry->restore();
    return 0;
}

#include "message_fuzzer.moc"
