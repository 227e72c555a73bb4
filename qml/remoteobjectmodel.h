#ifndef REMOTEOBJECTMODEL_H
#define REMOTEOBJECTMODEL_H

#include <QtCore/QAbstractListModel>
#include <QtCore/QPointer>
#include <QtCore/QVector>

class RemotoClient;

// The objects the module has proxies for, sorted by name, as a ListView shows them: whether
// each is ready, that is up and callable, or withdrawn for now.
class RemoteObjectModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)
public:
    enum Role { NameRole = Qt::UserRole + 1, ClassNameRole, ReadyRole };

    explicit RemoteObjectModel(QObject *parent = nullptr);

    // Follows the client's proxies; none without one.
    void setClient(RemotoClient *client);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    void countChanged();

private:
    struct Row
    {
        QString name;
        QString className;
        bool ready;
    };

    void refresh();

    QPointer<RemotoClient> m_client;
    QVector<Row> m_rows;
};

#endif
