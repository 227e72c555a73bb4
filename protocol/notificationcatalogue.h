#ifndef NOTIFICATIONCATALOGUE_H
#define NOTIFICATIONCATALOGUE_H

#include <QtCore/QByteArray>
#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QStringList>
#include <QtCore/QVariant>

// Describes the one notification kind the remote side sends. Built last of the three tables.
class NotificationCatalogue
{
public:
    static const QHash<int, QString> &notificationNames();
    static const QHash<int, QString> &notificationDescriptions();
    static const QHash<int, QStringList> &notificationParamNames();
    static const QHash<int, QList<QVariant::Type>> &notificationParamTypes();
    static const QHash<int, int> &notificationParamCount();
    static const QHash<int, QList<QByteArray>> &notificationByteLists();
    static const QHash<int, int> &notificationExtra();

    static const NotificationCatalogue &instance();

private:
    NotificationCatalogue();
    Q_DISABLE_COPY(NotificationCatalogue)

    QHash<int, QString> m_notificationNames;
    QHash<int, QString> m_notificationDescriptions;
    QHash<int, QStringList> m_notificationParamNames;
    QHash<int, QList<QVariant::Type>> m_notificationParamTypes;
    QHash<int, int> m_notificationParamCount;
    QHash<int, QList<QByteArray>> m_notificationByteLists;
    QHash<int, int> m_notificationExtra;
};

#endif
