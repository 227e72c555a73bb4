#ifndef REMOTOOBJECT_H
#define REMOTOOBJECT_H

#include <QtCore/QObject>
#include <QtCore/QStringList>
#include <QtCore/QVariant>

#include <memory>

struct RemotoObjectPrivate;

// The local proxy of one class living in a remote service.
class RemotoObject : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString className READ className)
    Q_PROPERTY(QStringList methodList READ methodList)

public:
    explicit RemotoObject(QObject *parent);
    ~RemotoObject() override;

    // The signal named event below sits beside QObject's event handler, not in its place.
    using QObject::event;

    Q_INVOKABLE QString className() const;
    Q_INVOKABLE QVariant invoke(QString method_name, QVariantList param = QVariantList());
    Q_INVOKABLE QVariant invoke(QString method_name, QVariant param);
    Q_INVOKABLE int sendConnect(const char *signal);

    QStringList methodList() const;
    bool isConnected() const;
    void processMetaInfo(const QVariantList &values);
    void setConnected(bool value);

Q_SIGNALS:
    void rpcDisconnected();
    void rpcConnected();
    void event(QString name, QVariantList params);

private:
    std::unique_ptr<RemotoObjectPrivate> d;
};

#endif
