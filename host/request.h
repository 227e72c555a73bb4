#ifndef REQUEST_H
#define REQUEST_H

#include "hostexport.h"

#include <QtCore/QObject>
#include <QtCore/QVariant>

#include <memory>

// One command on its way to the remote side, handed to a connection's request() slot. The
// module creates and owns it; a connection reads it during that call and keeps no pointer to it.
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
    // A request with these fields; the uid is drawn anew.
    Request(int sequence, int objectId, QVariant command, QVariant payload, int magic,
            QObject *parent = nullptr);
    ~Request() override;

    // The number of this command among the commands for its object, counting from 0.
    int sequence() const;
    // The remote object the command is for.
    int objectId() const;
    // The command code, as an int.
    QVariant command() const;
    // The command's arguments: Base64 text or raw bytes, as a QByteArray.
    QVariant payload() const;
    // The marker 0x29111993.
    int magic() const;
    // Unique among all requests of the process alive at the same time.
    int uid() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

Q_DECLARE_METATYPE(const Request *)

#endif
