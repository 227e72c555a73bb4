#ifndef COMMANDSENDER_H
#define COMMANDSENDER_H

class QByteArray;
class QObject;
class QVariant;
class RemotoResponse;

// What a proxy asks of the object that sends its commands; the proxy passes itself, and the
// sender finds where it is registered.
class CommandSender
{
public:
    virtual bool sendInvoke(QObject *object, const QByteArray &payload, QVariant *result) = 0;
    virtual bool sendConnect(QObject *object, const char *signal) = 0;
    virtual RemotoResponse *sendConnectAsync(QObject *object, const char *signal) = 0;

protected:
    ~CommandSender() = default;
};

#endif
