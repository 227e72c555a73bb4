#include "remoteobjectmodel.h"

#include <remotoclient.h>

#include <algorithm>

RemoteObjectModel::RemoteObjectModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

void RemoteObjectModel::setClient(RemotoClient *client)
{
    m_client = client;
    if (client) {
        connect(client, &RemotoClient::objectUp, this, &RemoteObjectModel::refresh);
        connect(client, &RemotoClient::objectDown, this, &RemoteObjectModel::refresh);
    }
    refresh();
}

// The module announces a proxy down before it deletes it: the row of a proxy that goes away
// goes when the proxy does.
void RemoteObjectModel::refresh()
{
    QVector<Row> rows;
    const QObjectList proxies = m_client ? m_client->rpcObjects() : QObjectList();
    for (QObject *proxy : proxies) {
        connect(proxy, &QObject::destroyed, this, &RemoteObjectModel::refresh,
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
        rows.append({ proxy->objectName(), proxy->property("className").toString(),
            m_client->isUp(proxy) });
    }
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.name < b.name; });

    const bool sameNames = std::equal(rows.cbegin(), rows.cend(), m_rows.cbegin(), m_rows.cend(),
        [](const Row &a, const Row &b) { return a.name == b.name; });
    if (!sameNames) {
        beginResetModel();
        m_rows = rows;
        endResetModel();
        Q_EMIT countChanged();
        return;
    }
    for (int i = 0; i < rows.size(); ++i) {
        if (rows.at(i).ready == m_rows.at(i).ready
            && rows.at(i).className == m_rows.at(i).className)
            continue;
        m_rows[i] = rows.at(i);
        Q_EMIT dataChanged(index(i), index(i), { ClassNameRole, ReadyRole });
    }
}

int RemoteObjectModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

QVariant RemoteObjectModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case NameRole:
        return row.name;
    case ClassNameRole:
        return row.className;
    case ReadyRole:
        return row.ready;
    }
    return QVariant();
}

QHash<int, QByteArray> RemoteObjectModel::roleNames() const
{
    return { { NameRole, "name" }, { ClassNameRole, "className" }, { ReadyRole, "ready" } };
}
