#include "commandchannel.h"

#include "base64codec.h"
#include "commandcatalogue.h"
#include "remotoresponse.h"

#include <message.h>
#include <request.h>

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QEventLoop>
#include <QtCore/QThread>

#include <chrono>
#include <vector>

namespace {
// How many unanswered commands of a code one target keeps. A peer announcing an object
// again and again gets both commands again each time; holding every unanswered one would let
// it grow memory without bound. A SET_EVENT answer changes nothing, and a GETINFO answer
// matters only once.
int unansweredLimit(int code)
{
    switch (code) {
    case CommandCatalogue::SetEvent:
        return 1;
    case CommandCatalogue::GetInfo:
        return 8;
    default:
        return 0;
    }
}

// A response whose request is being handed to the connection, in a chain of such hand-outs
// nested inside one another (a connection may deliver messages from its `request` slot, and
// they may send further commands).
struct HandOut
{
    RemotoResponse *response;
    HandOut *outer;
    bool released;
};
thread_local HandOut *handOuts = nullptr;

using Clock = std::chrono::steady_clock;

// The loop of a synchronous wait, kept for the next wait at the same depth of nesting together
// with its timer: registering a timer with the event dispatcher and dropping it again costs a
// call on a fast link a few per cent of its time. The timer stays armed from one wait to the
// next and, firing before the wait in progress is due, is armed again for the rest; one that
// finds no wait in progress stops until the next wait.
class WaitLoop : public QEventLoop
{
public:
    void run(int timeout)
    {
        m_deadline = Clock::now() + std::chrono::milliseconds(timeout);
        // A timer armed later than this wait is due, or with a dispatcher since gone, is of no
        // use to it.
        if (m_timerId == 0 || m_armedFor > m_deadline
            || m_dispatcher != QAbstractEventDispatcher::instance())
            arm(timeout);
        m_waiting = true;
        exec(QEventLoop::WaitForMoreEvents);
        m_waiting = false;
    }

protected:
    void timerEvent(QTimerEvent *) override
    {
        if (!m_waiting) {
            disarm();
            return;
        }
        const auto left
            = std::chrono::ceil<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
        if (left > 0) {
            arm(int(left));
            return;
        }
        disarm();
        quit();
    }

private:
    void arm(int msecs)
    {
        disarm();
        m_timerId = startTimer(msecs, Qt::PreciseTimer);
        m_armedFor = Clock::now() + std::chrono::milliseconds(msecs);
        m_dispatcher = QAbstractEventDispatcher::instance();
    }
    void disarm()
    {
        if (m_timerId != 0 && m_dispatcher == QAbstractEventDispatcher::instance())
            killTimer(m_timerId);
        m_timerId = 0;
    }

    int m_timerId = 0;
    bool m_waiting = false;
    Clock::time_point m_deadline;
    Clock::time_point m_armedFor;
    QPointer<QAbstractEventDispatcher> m_dispatcher;
};

// The thread's wait loops, one for each depth of nesting, and the depth of the waits running.
thread_local std::vector<std::unique_ptr<WaitLoop>> waitLoops;
thread_local size_t waitDepth = 0;

// Makes room for one more command of `code`, dropping the oldest ones past the limit. Their
// late answers find nothing, as any unknown answer does.
void makeRoom(CommandTarget &target, int code)
{
    const int limit = unansweredLimit(code);
    if (limit == 0)
        return;
    int kept = 0;
    for (const RemotoResponse *response : qAsConst(target.pending)) {
        if (response->autoDelete() && response->request()->command().toInt() == code)
            ++kept;
    }
    for (auto it = target.pending.begin(); kept >= limit && it != target.pending.end();) {
        RemotoResponse *response = it.value();
        if (response->autoDelete() && response->request()->command().toInt() == code) {
            it = target.pending.erase(it);
            --kept;
            CommandChannel::release(response, CommandChannel::Release::Now);
        } else {
            ++it;
        }
    }
}
} // namespace

CommandChannel::CommandChannel(const QPointer<QObject> &connection, EmitRequest emitRequest)
    : connection(connection)
    , emitRequest(std::move(emitRequest))
{
}

RemotoResponse *CommandChannel::prepare(CommandTarget &target, const QVariant &command,
    const QByteArray &payload, bool encodeBase64, bool autoDelete)
{
    // A number is taken as the code itself; a name is looked up, and an unknown one costs no
    // sequence number.
    bool isNumber = false;
    int code = command.toInt(&isNumber);
    if (!isNumber) {
        code = CommandCatalogue::commandCode(command.toString());
        if (code == -1)
            return nullptr;
    }
    // The wire carries the number as qint32: it wraps around rather than overflowing.
    const qint32 sequence = target.sequence;
    target.sequence = qint32(quint32(sequence) + 1u);
    QByteArray text = payload;
    if (encodeBase64) {
        Base64Codec::prepareReuse(&recycledText);
        Base64Codec::encode(payload, &recycledText);
        text = recycledText;
    }
    auto *request
        = new Request(sequence, int(target.objectId), code, text, Velmor::Command::Marker);
    if (encodeBase64 && payload.size() >= CommandCatalogue::MinUnwrappedPayloadSize)
        request->setProperty(CommandCatalogue::UnwrappedPayloadProperty, payload);
    auto *response = new RemotoResponse(request, autoDelete);
    request->setParent(response);
    if (connection && connection->thread() != QThread::currentThread())
        response->setRequestReader(connection);
    if (autoDelete)
        makeRoom(target, code);
    target.pending.insert(quint32(request->uid()), response);
    return response;
}

RemotoResponse *CommandChannel::send(const CommandTargetPtr &target, const QVariant &command,
    const QByteArray &payload, bool encodeBase64)
{
    RemotoResponse *response = prepare(*target, command, payload, encodeBase64, true);
    if (!response)
        return nullptr;
    const quint32 uid = quint32(response->request()->uid());
    if (!handOut(response))
        return nullptr;
    // A slot may have deleted this channel, or taken the target out of the registry: then no
    // answer can reach the response, and it would wait in the table for nothing.
    if (target->retired && target->pending.remove(uid))
        release(response);
    return response;
}

std::unique_ptr<RemotoResponse> CommandChannel::sendAndWait(const CommandTargetPtr &target,
    const QVariant &command, const QByteArray &payload, bool encodeBase64, int timeout)
{
    std::unique_ptr<RemotoResponse> response(
        prepare(*target, command, payload, encodeBase64, false));
    if (!response)
        return response;
    const quint32 uid = quint32(response->request()->uid());
    emitRequest(response->request());
    // From here on only locals and the held target are used: this channel may be deleted
    // during the wait.
    wait(*response, timeout);
    target->pending.remove(uid);
    return response;
}

bool CommandChannel::handOut(RemotoResponse *response)
{
    HandOut handOut { response, handOuts, false };
    handOuts = &handOut;
    emitRequest(response->request());
    // Only locals from here on: a slot may have deleted this channel.
    handOuts = handOut.outer;
    if (!handOut.released)
        return true;
    delete response;
    return false;
}

void CommandChannel::wait(RemotoResponse &response, int timeout)
{
    // The host may have answered while the request was being emitted.
    if (response.isFinished())
        return;
    // The response quits the loop as it finishes, and the loop's own timer ends the wait: no
    // QTimer and no connections to set up for every call.
    if (waitLoops.size() == waitDepth)
        waitLoops.push_back(std::make_unique<WaitLoop>());
    WaitLoop &loop = *waitLoops[waitDepth++];
    response.setWaiter(&loop);
    loop.run(timeout);
    response.setWaiter(nullptr);
    --waitDepth;
}

bool CommandChannel::isPending(const CommandTarget &target, int code)
{
    for (const RemotoResponse *response : target.pending) {
        if (response->request()->command().toInt() == code)
            return true;
    }
    return false;
}

RemotoResponse *CommandChannel::take(CommandTarget &target, quint32 uid)
{
    return target.pending.take(uid);
}

void CommandChannel::close(RemotoResponse *response, int code)
{
    response->finishWithResult(code);
    release(response);
}

void CommandChannel::abandonAll(CommandTarget &target)
{
    while (!target.pending.isEmpty())
        close(target.pending.take(target.pending.firstKey()), 0);
}

void CommandChannel::release(RemotoResponse *response, Release when)
{
    if (!response->autoDelete())
        return;
    for (HandOut *handOut = handOuts; handOut; handOut = handOut->outer) {
        if (handOut->response == response) {
            handOut->released = true;
            return;
        }
    }
    if (when == Release::Now)
        delete response;
    else
        response->deleteLater();
}

void CommandChannel::retire(CommandTarget &target, Release when)
{
    target.retired = true;
    for (auto it = target.pending.begin(); it != target.pending.end();) {
        if (it.value()->autoDelete()) {
            release(it.value(), when);
            it = target.pending.erase(it);
        } else {
            ++it;
        }
    }
}
