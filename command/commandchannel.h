#ifndef COMMANDCHANNEL_H
#define COMMANDCHANNEL_H

#include "commandtarget.h"

#include <QtCore/QPointer>

#include <functional>
#include <memory>

class QByteArray;
class QVariant;
class RemotoResponse;
class Request;

// Builds and sends commands, keeps their responses in their target's pending table until
// answered, waits for one when asked, and decides when a response is freed.
class CommandChannel
{
public:
    using EmitRequest = std::function<void(const Request *)>;
    enum class Release { Deferred, Now };

    // `connection` is the object the requests are emitted to, read at every send.
    CommandChannel(const QPointer<QObject> &connection, EmitRequest emitRequest);

    // The response deletes itself once its answer is decoded; null for an unknown name.
    RemotoResponse *send(const CommandTargetPtr &target, const QVariant &command,
        const QByteArray &payload, bool encodeBase64);
    // Returns once the answer is in or `timeout` ms have passed; may outlive this channel.
    std::unique_ptr<RemotoResponse> sendAndWait(const CommandTargetPtr &target,
        const QVariant &command, const QByteArray &payload, bool encodeBase64, int timeout);

    static bool isPending(const CommandTarget &target, int code);
    // Frees a self-deleting response; a waiter's response is left to its waiter.
    static void release(RemotoResponse *response, Release when = Release::Deferred);
    // The target's object is gone: nothing can answer its self-deleting responses any more.
    static void retire(CommandTarget &target, Release when = Release::Deferred);

private:
    RemotoResponse *prepare(CommandTarget &target, const QVariant &command,
        const QByteArray &payload, bool encodeBase64, bool autoDelete);
    static void wait(RemotoResponse &response, int timeout);

    const QPointer<QObject> &connection;
    EmitRequest emitRequest;
    // The Base64 text of the last command's payload, written over by the next one.
    QByteArray recycledText;
};

#endif
