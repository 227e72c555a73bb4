#include "notificationcatalogue.h"

#include "commandcatalogue.h"
#include "resultcodetable.h"

namespace {
const NotificationCatalogue *catalogue = nullptr;
constexpr int Signals = 1;
} // namespace

NotificationCatalogue::NotificationCatalogue()
{
    // Built last of the three tables, so it goes first at unload.
    ResultCodeTable::instance();
    const QString name = QStringLiteral("сигналы");
    m_notificationNames.insert(Signals, name);
    m_notificationDescriptions.insert(Signals, name);
    m_notificationParamNames.insert(Signals, parseNameList(QStringLiteral("data")));
    m_notificationParamTypes.insert(Signals, parseTypeList("QByteArray"));
    m_notificationParamCount.insert(Signals, 1);
    m_notificationByteLists.insert(Signals, QByteArray().split('|'));
}

const NotificationCatalogue &NotificationCatalogue::instance()
{
    static const NotificationCatalogue built;
    return built;
}

[[maybe_unused]] static const bool catalogueBuilt
    = (catalogue = &NotificationCatalogue::instance(), true);

const QHash<int, QString> &NotificationCatalogue::notificationNames()
{
    return catalogue->m_notificationNames;
}
const QHash<int, QString> &NotificationCatalogue::notificationDescriptions()
{
    return catalogue->m_notificationDescriptions;
}
const QHash<int, QStringList> &NotificationCatalogue::notificationParamNames()
{
    return catalogue->m_notificationParamNames;
}
const QHash<int, QList<QVariant::Type>> &NotificationCatalogue::notificationParamTypes()
{
    return catalogue->m_notificationParamTypes;
}
const QHash<int, int> &NotificationCatalogue::notificationParamCount()
{
    return catalogue->m_notificationParamCount;
}
const QHash<int, QList<QByteArray>> &NotificationCatalogue::notificationByteLists()
{
    return catalogue->m_notificationByteLists;
}
const QHash<int, int> &NotificationCatalogue::notificationExtra()
{
    return catalogue->m_notificationExtra;
}
