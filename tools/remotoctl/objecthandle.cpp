#include "objecthandle.h"

#include "callfailure.h"
#include "warningcapture.h"

namespace {
// The module's own reason is the last warning raised during the request; a result code in
// it is shown with its number, which the module leaves out.
QString reason(WarningCapture &capture, const QString &fallback)
{
    const QString warning = capture.takeLast();
    return warning.isEmpty() ? fallback : CallFailure(warning).toString();
}
} // namespace

ObjectHandle::ObjectHandle(QObject *plugin, QObject *proxy)
    : m_proxy(proxy)
{
    connect(
        plugin, SIGNAL(rpcObjectDisonnected(QObject *)), this, SLOT(objectDisconnected(QObject *)));
}

QString ObjectHandle::name() const
{
    return m_proxy ? m_proxy->objectName() : QString();
}

QString ObjectHandle::className() const
{
    return m_proxy ? m_proxy->property("className").toString() : QString();
}

QList<Member> ObjectHandle::methods() const
{
    return Member::parseAll(
        m_proxy ? m_proxy->property("methodList").toStringList() : QStringList());
}

ObjectHandle::Outcome ObjectHandle::call(const Member &method, const QVariantList &arguments)
{
    Outcome outcome;
    if (!m_proxy) {
        outcome.error = QStringLiteral("the object is gone");
        return outcome;
    }
    m_wentDown = false;
    WarningCapture capture;
    QVariant result;
    const bool invoked
        = QMetaObject::invokeMethod(m_proxy, "invoke", Q_RETURN_ARG(QVariant, result),
            Q_ARG(QString, method.name), Q_ARG(QVariantList, arguments));
    if (!invoked) {
        outcome.error = QStringLiteral("the proxy has no invoke(QString,QVariantList)");
        return outcome;
    }
    if (!m_proxy) {
        outcome.error = QStringLiteral("the connection to the service was lost during the call");
        return outcome;
    }
    if (m_wentDown) {
        outcome.error = QStringLiteral("the object was withdrawn during the call");
        return outcome;
    }
    if (CallFailure::callFailed(method.returnsValue(), result, !capture.isEmpty())) {
        outcome.error = reason(capture, QStringLiteral("no answer"));
        return outcome;
    }
    outcome.ok = true;
    outcome.value = result;
    return outcome;
}

ObjectHandle::Outcome ObjectHandle::subscribe(const QByteArray &signature)
{
    Outcome outcome;
    if (!m_proxy) {
        outcome.error = QStringLiteral("the object is gone");
        return outcome;
    }
    WarningCapture capture;
    int subscribed = 0;
    QMetaObject::invokeMethod(m_proxy, "sendConnect", Q_RETURN_ARG(int, subscribed),
        Q_ARG(const char *, signature.constData()));
    if (subscribed == 1)
        outcome.ok = true;
    else if (!capture.isEmpty() || !m_proxy)
        outcome.error = reason(capture, QStringLiteral("the object is gone"));
    return outcome;
}

void ObjectHandle::objectDisconnected(QObject *proxy)
{
    if (proxy == m_proxy)
        m_wentDown = true;
}
