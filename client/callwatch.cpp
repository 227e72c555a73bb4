#include "callwatch.h"

#include <answerheader.h>
#include <base64codec.h>
#include <commandcatalogue.h>
#include <request.h>
#include <resultcodetable.h>
#include <valuelistdecoder.h>

namespace {

// The plug-in's companion, which raises request() for each request the module sends.
QObject *privateCompanion(QObject *plugin)
{
    const QObjectList children = plugin->children();
    for (QObject *child : children) {
        if (qstrcmp(child->metaObject()->className(), "RemotoPluginPrivate") == 0)
            return child;
    }
    return nullptr;
}

} // namespace

CallWatch::CallWatch(QObject *plugin, QObject *proxy, int command)
    : m_command(command)
    , m_proxy(proxy)
{
    if (QObject *companion = privateCompanion(plugin))
        m_requestsSeen = connect(
            companion, SIGNAL(request(const Request *)), this, SLOT(requestSent(const Request *)));
    // Connected after the plug-in, so an answer reaches this watch once the module has it.
    QObject *link = plugin->property("connection").value<QObject *>();
    m_ours = link && link->inherits("SocketConnection")
        && connect(link, SIGNAL(message(Velmor::Command::Message)), this,
            SLOT(messageArrived(Velmor::Command::Message)));
    connect(plugin, SIGNAL(rpcObjectDisonnected(QObject *)), this, SLOT(objectDown(QObject *)));
}

void CallWatch::requestSent(const Request *request)
{
    // The module sends the request before it waits, so the first one of its command that goes
    // out is this call's; any later one comes from what ran during the wait.
    if (m_sent || request->command().toInt() != m_command)
        return;
    m_sent = true;
    m_uid = quint32(request->uid());
}

void CallWatch::messageArrived(const Velmor::Command::Message &message)
{
    if (!m_sent || m_answered || message.requestUid != m_uid)
        return;
    if (message.kind == Velmor::Command::Refused) {
        m_answered = true;
        m_code = ResultCode::NoRights;
        return;
    }
    if (message.kind != Velmor::Command::Answer)
        return;
    m_answered = true;
    // Read as the module reads it: a payload too short for its header is bad data.
    const QByteArray payload = message.payload.toByteArray();
    AnswerHeader header;
    if (!AnswerHeader::read(payload, &header)) {
        m_code = ResultCode::InvalidMessage;
        return;
    }
    m_code = header.result;
    QVariantList values;
    ValueListDecoder::decodeBase64(AnswerHeader::body(payload), Base64Codec::Mode::Lenient, &values);
    m_done = values.value(0).toBool();
}

void CallWatch::objectDown(QObject *proxy)
{
    if (proxy == m_proxy)
        m_wentDown = true;
}

CallOutcome CallWatch::outcome(const QVariant &returned, bool returnsValue)
{
    if (m_requestsSeen && !m_sent) {
        CallOutcome notSent(CallOutcome::NotSent, m_command);
        notSent.reason = m_capture.takeLast();
        return notSent;
    }
    return m_ours ? answered(returned) : judged(returned, returnsValue);
}

CallOutcome CallWatch::answered(const QVariant &returned)
{
    if (!m_answered) {
        if (!m_proxy)
            return CallOutcome(CallOutcome::LinkLost, m_command);
        if (m_wentDown)
            return CallOutcome(CallOutcome::ObjectDown, m_command);
        m_capture.takeLast();
        return CallOutcome(CallOutcome::TimedOut, m_command);
    }
    if (m_code == ResultCode::Ok) {
        CallOutcome outcome(m_done ? CallOutcome::Succeeded : CallOutcome::Declined, m_command);
        if (m_done)
            outcome.value = returned;
        return outcome;
    }
    // Our connection answers every request still waiting when the link is lost.
    CallOutcome outcome(
        m_code == ResultCode::ConnectionError ? CallOutcome::LinkLost : CallOutcome::Failed,
        m_command);
    outcome.code = m_code;
    m_capture.takeLast();
    return outcome;
}

// A failed call leaves the placeholder the module made for the answer, always null for a
// method with a result (which the proxy going down or away, or a warning, tells from a null
// result) and not null for a void method, whose answer holds no value. A subscription says
// itself whether it succeeded.
CallOutcome CallWatch::judged(const QVariant &returned, bool returnsValue)
{
    const bool troubled = !m_capture.isEmpty() || m_wentDown || !m_proxy;
    const bool failed = m_command == CommandCatalogue::SigConnect
        ? !returned.toBool()
        : (returnsValue ? returned.isNull() && troubled : returned.isValid());
    if (!failed) {
        CallOutcome outcome(CallOutcome::Succeeded, m_command);
        outcome.value = returned;
        return outcome;
    }
    if (m_wentDown && m_proxy)
        return CallOutcome(CallOutcome::ObjectDown, m_command);
    const CallOutcome::Kind kind = m_proxy ? CallOutcome::Failed : CallOutcome::LinkLost;
    const QString warning = m_capture.takeLast();
    if (warning.isEmpty())
        return CallOutcome(m_proxy ? CallOutcome::Declined : CallOutcome::LinkLost, m_command);
    return CallOutcome::fromWarning(kind, m_command, warning);
}
