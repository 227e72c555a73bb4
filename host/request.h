#ifndef REQUEST_H
#define REQUEST_H

#include "hostexport.h"

#include <QtCore/QObject>
#include <QtCore/QVariant>

#include <memory>

class VELMORHLP_EXPORT Request : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int sequence READ sequence CONSTANT)
    Q_PROPERTY(int objectId READ objectId CONSTANT)
    Q_PROPERTY(QVariant command READ command CONSTANT)
    Q_PROPERTY(QVariant payload READ payload CONSTANT)
    Q_PROPERTY(int magic READ magic CONSTANT)
    Q_PROPERTY(int uid READ uid CONSTANT)
public:
    Request(int sequence, int objectId, QVariant command, QVariant payload, int magic,
            QObject *parent = nullptr);
    ~Request() override;

    int sequence() const;
    int objectId() const;
    QVariant command() const;
    QVariant payload() const;
    int magic() const;
    // Unique among all requests of the process alive at the same time.
    int uid() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

Q_DECLARE_METATYPE(const Request *)

#endif
