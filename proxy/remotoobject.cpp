#include "remotoobject.h"

#include "remotoplugin.h"
#include "remotopluginprivate.h"
#include "signaturelimits.h"

#include <QtCore/QDataStream>
#include <QtCore/QDebug>
#include <QtCore/QHash>
#include <QtCore/QPointer>

namespace {
// What invoke needs of one method entry, worked out once when the meta information loads.
struct MethodCall
{
    QVariant returnHolder;
    QString signature;
};

using MethodKey = QPair<QString, int>;

// The parts of an entry split at blanks, commas and parentheses, empty parts dropped:
// return type, method name, then one part per parameter type.
QStringList splitEntry(const QString &entry)
{
    QStringList parts;
    int start = 0;
    const int size = entry.size();
    for (int i = 0; i <= size; ++i) {
        const bool separator = i == size || entry.at(i) == QLatin1Char(' ')
            || entry.at(i) == QLatin1Char(',') || entry.at(i) == QLatin1Char('(')
            || entry.at(i) == QLatin1Char(')');
        if (!separator)
            continue;
        if (i > start)
            parts.append(entry.mid(start, i - start));
        start = i + 1;
    }
    return parts;
}

QVariant returnHolderFor(const QString &returnType)
{
    if (returnType.toLower() == QLatin1String("void"))
        return QVariant(QStringLiteral("void"));
    // The name comes from the peer and Qt's type-name parser recurses on its brackets: a name
    // past the limits is one Qt does not know.
    if (!SignatureLimits::accepts(returnType))
        return QVariant();
    return QVariant(QVariant::nameToType(returnType.toLatin1().constData()));
}
} // namespace

struct RemotoObjectPrivate
{
    QPointer<RemotoPluginPrivate> plugin;
    bool connected = false;
    QString className;
    QList<QByteArray> subscribedSignals;
    QStringList signalList;
    QStringList methodList;
    // Method name and argument count to the last entry that matches them.
    QHash<MethodKey, MethodCall> methodIndex;
};

RemotoObject::RemotoObject(QObject *parent)
    : QObject(parent)
    , d(new RemotoObjectPrivate)
{
    if (!parent) {
        qCritical() << tr("RemotoObject parent=null");
        return;
    }
    if (auto *plugin = qobject_cast<RemotoPlugin *>(parent))
        d->plugin = plugin->d;
}

RemotoObject::~RemotoObject() = default;

QString RemotoObject::className() const
{
    return d->className;
}

QStringList RemotoObject::methodList() const
{
    return d->methodList;
}

bool RemotoObject::isConnected() const
{
    return d->connected;
}

void RemotoObject::processMetaInfo(const QVariantList &values)
{
    QStringList records = values.isEmpty() ? QStringList() : values.first().toStringList();
    if (records.isEmpty()) {
        qWarning() << tr("processMetaInfo: empty metadata");
        return;
    }
    d->className = records.takeFirst();
    d->connected = false;
    d->methodList.clear();
    d->signalList.clear();
    d->methodIndex.clear();

    for (const QString &record : qAsConst(records)) {
        const QStringList fields = record.split(QLatin1Char(' '), Qt::KeepEmptyParts);
        if (fields.size() != 3) {
            qWarning() << tr("processMetaInfo: invalid metarecord:") << fields;
            continue;
        }
        const QString &kind = fields.at(0);
        const QString entry = fields.at(1) + QLatin1Char(' ') + fields.at(2);
        if (kind == QLatin1String("Signal")) {
            d->signalList.append(entry);
        } else if (kind == QLatin1String("Slot") || kind == QLatin1String("Method")) {
            d->methodList.append(entry);
            const QStringList parts = splitEntry(entry);
            if (parts.size() >= 2)
                d->methodIndex.insert(MethodKey(parts.at(1), parts.size() - 2),
                                      MethodCall{returnHolderFor(fields.at(1)), fields.at(2)});
        }
    }
}

QVariant RemotoObject::invoke(QString method_name, QVariantList param)
{
    if (!d->connected) {
        qWarning("RPC Class %s disconnected", d->className.toLocal8Bit().constData());
        return QVariant();
    }
    const auto found = d->methodIndex.constFind(MethodKey(method_name, param.size()));
    if (found == d->methodIndex.constEnd())
        return QVariant();

    QVariant returnHolder = found->returnHolder;
    QByteArray payload;
    // Room for a typical call up front instead of growing the buffer value by value.
    payload.reserve(128);
    {
        QDataStream out(&payload, QIODevice::WriteOnly);
        out << quint32(param.size() + 2) << returnHolder << QVariant(found->signature);
        for (const QVariant &value : qAsConst(param))
            out << value;
    }
    // This proxy may be gone once the call returns (the wait runs the event loop): only
    // locals are used from here on.
    if (RemotoPluginPrivate *plugin = d->plugin)
        plugin->sendInvoke(this, payload, &returnHolder);
    return returnHolder;
}

QVariant RemotoObject::invoke(QString method_name, QVariant param)
{
    return invoke(std::move(method_name), QVariantList{std::move(param)});
}

int RemotoObject::sendConnect(const char *signal)
{
    const QByteArray text(signal);
    if (!d->subscribedSignals.contains(text))
        d->subscribedSignals.append(text);
    RemotoPluginPrivate *plugin = d->plugin;
    return plugin && plugin->sendConnect(this, text.constData()) ? 1 : 0;
}

void RemotoObject::setConnected(bool value)
{
    d->connected = value;
    if (!value) {
        Q_EMIT rpcDisconnected();
        return;
    }
    QPointer<RemotoObject> self(this);
    Q_EMIT rpcConnected();
    if (!self)
        return;
    // A copy taken after the slots ran: subscriptions they add are sent too, and a slot
    // subscribing during the sends below cannot disturb the iteration.
    const QList<QByteArray> subscriptions = d->subscribedSignals;
    for (const QByteArray &signal : subscriptions) {
        if (!self || !d->plugin)
            return;
        d->plugin->sendConnectAsync(this, signal.constData());
    }
}
