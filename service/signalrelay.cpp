#include "signalrelay.h"

#include <QtCore/QMetaMethod>
#include <QtCore/QVarLengthArray>

namespace {
int slotOffset()
{
    return QObject::staticMetaObject.methodCount();
}
} // namespace

SignalRelay::SignalRelay(QObject *source, Sink sink, QObject *parent)
    : QObject(parent)
    , m_source(source)
    , m_sink(std::move(sink))
{
}

SignalRelay::~SignalRelay() = default;

bool SignalRelay::subscribe(int signalIndex, quint64 client)
{
    int slot = -1;
    Watch *watch = watchFor(signalIndex, &slot);
    if (!watch) {
        if (!m_source)
            return false;
        const QMetaMethod signal = m_source->metaObject()->method(signalIndex);
        Watch added { signalIndex, {}, QString::fromLatin1(signal.methodSignature()), {} };
        for (int i = 0; i < signal.parameterCount(); ++i)
            added.parameterTypes.append(signal.parameterType(i));
        m_watches.push_back(added);
        slot = int(m_watches.size()) - 1;
        watch = &m_watches.back();
    }
    if (watch->clients.contains(client))
        return true;
    if (watch->clients.isEmpty() && !attach(slot))
        return false;
    m_watches[size_t(slot)].clients.insert(client);
    return true;
}

bool SignalRelay::unsubscribe(int signalIndex, quint64 client)
{
    int slot = -1;
    Watch *watch = watchFor(signalIndex, &slot);
    if (!watch || !watch->clients.remove(client))
        return false;
    if (watch->clients.isEmpty())
        release(slot);
    return true;
}

void SignalRelay::removeClient(quint64 client)
{
    for (size_t slot = 0; slot < m_watches.size(); ++slot) {
        Watch &watch = m_watches[slot];
        if (watch.clients.remove(client) && watch.clients.isEmpty())
            release(int(slot));
    }
}

void SignalRelay::detach()
{
    for (size_t slot = 0; slot < m_watches.size(); ++slot) {
        if (!m_watches[slot].clients.isEmpty())
            release(int(slot));
        m_watches[slot].clients.clear();
    }
    m_sink = nullptr;
    m_source = nullptr;
}

int SignalRelay::qt_metacall(QMetaObject::Call call, int id, void **arguments)
{
    id = QObject::qt_metacall(call, id, arguments);
    if (id < 0 || call != QMetaObject::InvokeMetaMethod)
        return id;
    if (id < int(m_watches.size()))
        relay(id, arguments);
    return -1;
}

SignalRelay::Watch *SignalRelay::watchFor(int signalIndex, int *slot)
{
    for (size_t i = 0; i < m_watches.size(); ++i) {
        if (m_watches[i].signalIndex == signalIndex) {
            *slot = int(i);
            return &m_watches[i];
        }
    }
    return nullptr;
}

bool SignalRelay::attach(int slot)
{
    if (!m_source)
        return false;
    // An emission in the relay's own thread is relayed at once, so notifications keep their
    // place before the answer to the request that caused them. One from any other thread has
    // Qt copy its arguments there and queue the call here, in emission order: the sockets and
    // m_watches are only ever touched in this thread, and a relay deleted meanwhile takes the
    // queued calls with it.
    return QMetaObject::connect(m_source, m_watches[size_t(slot)].signalIndex, this,
        slotOffset() + slot, Qt::AutoConnection, nullptr);
}

void SignalRelay::release(int slot)
{
    if (m_source)
        QMetaObject::disconnect(
            m_source, m_watches[size_t(slot)].signalIndex, this, slotOffset() + slot);
}

void SignalRelay::relay(int slot, void **arguments)
{
    if (!m_source || !m_sink)
        return;
    const Watch &watch = m_watches[size_t(slot)];
    if (watch.clients.isEmpty())
        return;
    // On the stack: a QVariantList would cost an allocation per value on every emission.
    QVarLengthArray<QVariant, 10> values;
    for (int i = 0; i < watch.parameterTypes.size(); ++i) {
        const int type = watch.parameterTypes.at(i);
        // arguments[0] would take a return value; the signal's arguments follow.
        const void *value = arguments[i + 1];
        if (type == QMetaType::QVariant)
            values.append(*static_cast<const QVariant *>(value));
        else
            values.append(QVariant(type, value));
    }
    // Copies, so the sink may change subscriptions or detach the relay while it runs.
    const QSet<quint64> clients = watch.clients;
    const Sink sink = m_sink;
    sink(watch.signature, values.constData(), values.size(), clients);
}
