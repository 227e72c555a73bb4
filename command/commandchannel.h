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
//
// Responses leave their pending tables only through this class (answered, refused, closed
// when their object goes, dropped to keep a table bounded, or their target retired). When a
// response, and with it its request, is freed: a waiter's response belongs to its waiter, who
// frees it once it has read the outcome. A self-deleting one is released here once taken out
// of its table, at once or at the next return to the event loop as the caller asks, but never
// while the `request` emission that handed its request to the connection is still running:
// the connection's slot may still be reading the request, also when it delivers messages from
// inside that slot. Such a release is carried out as soon as the emission returns. A connection in another thread reads the request in a queued call;
// the response hands the request on so that it is freed after that call (see
// RemotoResponse::setRequestReader).
class CommandChannel
{
public:
    using EmitRequest = std::function<void(const Request *)>;
    enum class Release { Deferred, Now };

    // `connection` is the object the requests are emitted to, read at every send.
    CommandChannel(const QPointer<QObject> &connection, EmitRequest emitRequest);

    // The response is released once its answer is in; null for an unknown name, or when the
    // response was released before its emission returned.
    RemotoResponse *send(const CommandTargetPtr &target, const QVariant &command,
        const QByteArray &payload, bool encodeBase64);
    // Returns once the answer is in or `timeout` ms have passed; may outlive this channel.
    std::unique_ptr<RemotoResponse> sendAndWait(const CommandTargetPtr &target,
        const QVariant &command, const QByteArray &payload, bool encodeBase64, int timeout);

    static bool isPending(const CommandTarget &target, int code);
    // Takes the response of `uid` out of the target's pending table, or null: from then on
    // nothing else can finish it, and whoever took it releases it.
    static RemotoResponse *take(CommandTarget &target, quint32 uid);
    // Finishes a response taken out of its table with the result code `code` and no data,
    // and releases it.
    static void close(RemotoResponse *response, int code);
    // Closes every response still waiting for the target, smallest uid first, with result
    // code 0: the object went away, and no answer will come.
    static void abandonAll(CommandTarget &target);
    // Frees a self-deleting response that has left its pending table; a waiter's response is
    // left to its waiter.
    static void release(RemotoResponse *response, Release when = Release::Deferred);
    // The target's object is gone: nothing can answer its self-deleting responses any more.
    static void retire(CommandTarget &target, Release when = Release::Deferred);

private:
    RemotoResponse *prepare(CommandTarget &target, const QVariant &command,
        const QByteArray &payload, bool encodeBase64, bool autoDelete);
    // Emits the request; false when the response was released meanwhile and is gone.
    bool handOut(RemotoResponse *response);
    static void wait(RemotoResponse &response, int timeout);

    const QPointer<QObject> &connection;
    EmitRequest emitRequest;
    // The Base64 text of the last command's payload, written over by the next one.
    QByteArray recycledText;
};

#endif
