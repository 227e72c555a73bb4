#ifndef CALLWATCH_H
#define CALLWATCH_H

#include "calloutcome.h"
#include "warningcapture.h"

#include <message.h>

#include <QtCore/QObject>
#include <QtCore/QPointer>

class Request;

// Watches one call or subscription a proxy makes, from just before the module sends it until
// it has returned: whether a request went out, and for which uid (from the module's private
// companion, which hosts reach by name); the answer to it, when the plug-in's connection is our
// SocketConnection; the proxy going down or away; and the module's warnings meanwhile. Made on
// the stack around the one call, as the warning capture it holds nests with the calls.
class CallWatch : public QObject
{
    Q_OBJECT
public:
    // `command` is CommandCatalogue::Invoke or CommandCatalogue::SigConnect.
    CallWatch(QObject *plugin, QObject *proxy, int command);

    // What became of the request, once the proxy has returned: `returned` is what invoke()
    // returned, or whether sendConnect() did; `returnsValue` whether the method has a result.
    // Over our connection the answer says it; over another one, what the module returned and
    // the warning it raised. The module's warning for a failure the outcome reports is taken,
    // so that it is not passed on as well.
    CallOutcome outcome(const QVariant &returned, bool returnsValue);

private Q_SLOTS:
    void requestSent(const Request *request);
    void messageArrived(const Velmor::Command::Message &message);
    void objectDown(QObject *proxy);

private:
    CallOutcome answered(const QVariant &returned);
    CallOutcome judged(const QVariant &returned, bool returnsValue);

    const int m_command;
    const QPointer<QObject> m_proxy;
    bool m_requestsSeen = false;
    bool m_ours = false;
    bool m_sent = false;
    quint32 m_uid = 0;
    bool m_answered = false;
    qint32 m_code = 0;
    bool m_done = false;
    bool m_wentDown = false;
    WarningCapture m_capture;
};

#endif
