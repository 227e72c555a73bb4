#include "remotoobject.h"
#include "remotoplugin.h"
#include "remotopluginprivate.h"

#include <connectionstate.h>
#include <message.h>
#include <request.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDataStream>
#include <QtCore/QtEndian>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>

namespace {
constexpr quint32 ProxyId = 1;
constexpr quint32 AnnouncedId = 2;

QByteArray answer(const QVariantList &values, int commandCode)
{
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out << values;
    QByteArray bytes(16, '\0');
    qToLittleEndian<qint32>(commandCode, bytes.data() + 12);
    return bytes + body.toBase64();
}
} // namespace

// Records the module's requests so inputs can aim answers at the responses really pending.
class Connection : public QObject
{
    Q_OBJECT
public:
    QList<const Request *> requests;

public Q_SLOTS:
    void request(const Request *request) { requests.append(request); }

Q_SIGNALS:
    void message(const Velmor::Command::Message &);
    void stateChanged(const Velmor::Connection::State);
};

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

static Velmor::Command::Message make(quint32 objectId, qint32 kind, const QByteArray &payload,
                                     quint32 uid = 0)
{
    Velmor::Command::Message m;
    m.requestUid = uid;
    m.objectId = objectId;
    m.kind = kind;
    m.magic = Velmor::Command::Marker;
    m.payload = payload;
    return m;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

// Each input is a short sequence of messages from the fuzzer's bytes (marker, kind, ids and
// payload) against a registry holding one connected proxy with a subscription and one object
// still waiting for its INFO answer.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    auto *plugin = new RemotoPlugin;
    auto *d = plugin->findChild<RemotoPluginPrivate *>();
    Connection connection;
    Listener listener;
    d->setConnection(&connection);

    d->message(make(ProxyId, Velmor::Command::ObjectUp, QByteArray()));
    d->message(make(ProxyId, Velmor::Command::Answer,
                    answer({ProxyId, QStringLiteral("fuzzed")}, 0x1100),
                    quint32(connection.requests.at(0)->uid())));
    d->message(make(ProxyId, Velmor::Command::Answer,
                    answer({QStringList{QStringLiteral("Fuzz"),
                                        QStringLiteral("Method int add(int,int)"),
                                        QStringLiteral("Signal void changed(int)")}},
                           0x1101),
                    quint32(connection.requests.last()->uid())));
    d->message(make(AnnouncedId, Velmor::Command::ObjectUp, QByteArray()));
    auto *proxy = qobject_cast<RemotoObject *>(d->findRpcObject(QStringLiteral("fuzzed")));
    if (!proxy)
        abort();
    QObject::connect(proxy, QOverload<QString, QVariantList>::of(&RemotoObject::event), &listener,
                     &Listener::onEvent);
    d->sendConnectAsync(proxy, "changed(int)");

    const QList<quint32> uids = [&] {
        QList<quint32> list;
        for (const Request *r : qAsConst(connection.requests))
            list.append(quint32(r->uid()));
        return list;
    }();

    for (int i = 0; i < 4 && input.remaining_bytes() > 0; ++i) {
        Velmor::Command::Message m;
        m.magic = input.ConsumeBool() ? Velmor::Command::Marker : input.ConsumeIntegral<qint32>();
        static const qint32 kinds[] = {0, 1, 2, 3, 4, 17};
        m.kind = input.ConsumeBool() ? input.PickValueInArray(kinds)
                                     : input.ConsumeIntegral<qint32>();
        m.objectId = input.ConsumeIntegralInRange<quint32>(0, 3);
        m.requestUid = input.ConsumeBool()
            ? uids.value(input.ConsumeIntegralInRange<int>(0, uids.size() - 1))
            : input.ConsumeIntegral<quint32>();
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
        QMetaObject::invokeMethod(d, "message", Q_ARG(Velmor::Command::Message, m));
        if (input.ConsumeBool())
            d->connectionStateChanged(Velmor::Connection::ConnectionLost);
    }
    delete plugin;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}

#include "message_fuzzer.moc"
