#include "remotoobject.h"

#include "commandsender.h"
#include "methodentry.h"
#include "signaturelimits.h"
#include "valuelistencoder.h"

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

// What a proxy knows of its remote class, read from the meta information records.
struct ClassDescription
{
    QString className;
    QStringList signalList;
    QStringList methodList;
    // Method name and argument count to the last entry that matches them.
    QHash<MethodKey, MethodCall> methodIndex;
};

// `clean` turns false when a record could not be read; it is skipped, with a warning.
ClassDescription describeClass(const QStringList &records, bool *clean)
{
    ClassDescription description;
    description.className = records.first();
    for (int i = 1; i < records.size(); ++i) {
        const QStringList fields = records.at(i).split(QLatin1Char(' '), Qt::KeepEmptyParts);
        if (fields.size() != 3) {
            qWarning() << RemotoObject::tr("processMetaInfo: invalid metarecord:") << fields;
            *clean = false;
            continue;
        }
        const QString &kind = fields.at(0);
        const QString entry = fields.at(1) + QLatin1Char(' ') + fields.at(2);
        if (kind == QLatin1String("Signal")) {
            description.signalList.append(entry);
        } else if (kind == QLatin1String("Slot") || kind == QLatin1String("Method")) {
            description.methodList.append(entry);
            // Inserted in list order, so a key keeps the last entry that matches it: the one
            // chosenMethodEntry() gives.
            MethodKey key;
            if (methodEntryCall(entry, &key.first, &key.second))
                description.methodIndex.insert(
                    key, MethodCall { returnHolderFor(fields.at(1)), fields.at(2) });
        }
    }
    return description;
}

struct ClassRecords
{
    QStringList records;
    ClassDescription description;
};
constexpr int RecentClasses = 8;
} // namespace

struct RemotoObjectPrivate
{
    // The sender among the parent's children; guarded, as it may go before this proxy.
    QPointer<QObject> plugin;
    bool connected = false;
    QList<QByteArray> subscribedSignals;
    ClassDescription description;

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
    const auto sender = std::find_if(siblings.cbegin(), siblings.cend(),
        [](QObject *sibling) { return dynamic_cast<CommandSender *>(sibling) != nullptr; });
    if (sender != siblings.cend())
        d->plugin = *sender;
}

RemotoObject::~RemotoObject() = default;

QString RemotoObject::className() const
{
    return d->description.className;
}

QStringList RemotoObject::methodList() const
{
    return d->description.methodList;
}

bool RemotoObject::isConnected() const
{
    return d->connected;
}

void RemotoObject::processMetaInfo(const QVariantList &values)
{
    const QStringList records = values.isEmpty() ? QStringList() : values.first().toStringList();
    if (records.isEmpty()) {
        qWarning() << tr("processMetaInfo: empty metadata");
        return;
    }
    d->connected = false;
    // A service publishes many objects of a class: the records of the last few classes are
    // kept as read, and a proxy of one of them shares what the first one worked out.
    thread_local QList<ClassRecords> recent;
    for (int i = 0; i < recent.size(); ++i) {
        if (recent.at(i).records == records) {
            recent.move(i, 0);
            d->description = recent.first().description;
            return;
        }
    }
    bool clean = true;
    d->description = describeClass(records, &clean);
    if (!clean)
        return;
    recent.prepend({ records, d->description });
    if (recent.size() > RecentClasses)
        recent.removeLast();
}

QVariant RemotoObject::invoke(QString method_name, QVariantList param)
{
    if (!d->connected) {
        qWarning("RPC Class %s disconnected", d->description.className.toLocal8Bit().constData());
        return QVariant();
    }
    const auto found = d->description.methodIndex.constFind(MethodKey(method_name, param.size()));
    if (found == d->description.methodIndex.constEnd())
        return QVariant();

    QVariant returnHolder = found->returnHolder;
    ValueListEncoder writer(ValueListEncoder::threadRoom());
    // Room for a typical call up front instead of growing the buffer value by value.
    writer.reserve(128);
    writer.writeCount(quint32(param.size() + 2));
    writer.write(returnHolder);
    writer.write(QVariant(found->signature));
    for (const QVariant &value : qAsConst(param))
        writer.write(value);
    const QByteArray payload = writer.take();
    // This proxy may be gone once the call returns (the wait runs the event loop): only
    // locals are used from here on.
    if (CommandSender *sender = d->sender())
        sender->sendInvoke(this, payload, &returnHolder);
    ValueListEncoder::recycle(payload);
    return returnHolder;
}

QVariant RemotoObject::invoke(QString method_name, QVariant param)
{
    return invoke(std::move(method_name), QVariantList { std::move(param) });
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
