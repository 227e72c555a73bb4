#include "remotoobject.h"

#include "commandsender.h"
#include "methodentry.h"
#include "signaturelimits.h"

#include <QtCore/QDataStream>
#include <QtCore/QDebug>
#include <QtCore/QHash>
#include <QtCore/QPointer>

#include <algorithm>

namespace {
// What invoke needs of one method entry, worked out once when the meta information loads.
struct MethodCall
{
    QVariant returnHolder;
    QString signature;
};

using MethodKey = QPair<QString, int>;

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
    // The sender among the parent's children; guarded, as it may go before this proxy.
    QPointer<QObject> plugin;
    bool connected = false;
    QString className;
    QList<QByteArray> subscribedSignals;
    QStringList signalList;
    QStringList methodList;
    // Method name and argument count to the last entry that matches them.
    QHash<MethodKey, MethodCall> methodIndex;

    CommandSender *sender() const { return dynamic_cast<CommandSender *>(plugin.data()); }
};

RemotoObject::RemotoObject(QObject *parent)
    : QObject(parent)
    , d(new RemotoObjectPrivate)
{
    if (!parent) {
        qCritical() << tr("RemotoObject parent=null");
        return;
    }
    const QObjectList siblings = parent->children();
    const auto sender = std::find_if(siblings.cbegin(), siblings.cend(), [](QObject *sibling) {
        return dynamic_cast<CommandSender *>(sibling) != nullptr;
    });
    if (sender != siblings.cend())
        d->plugin = *sender;
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
            const QStringList parts = splitMethodEntry(entry);
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
    if (CommandSender *sender = d->sender())
        sender->sendInvoke(this, payload, &returnHolder);
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
    CommandSender *sender = d->sender();
    return sender && sender->sendConnect(this, text.constData()) ? 1 : 0;
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
        CommandSender *sender = self ? d->sender() : nullptr;
        if (!sender)
            return;
        sender->sendConnectAsync(this, signal.constData());
    }
}
