#include "objecthandle.h"

#include "warningcapture.h"

#include <QtCore/QRegularExpression>

namespace {
QString reason(const QStringList &warnings, const QString &fallback)
{
    return warnings.isEmpty() ? fallback : warnings.join(QStringLiteral("; "));
}
} // namespace

bool MethodEntry::parse(const QString &entry, MethodEntry *method)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\S+) ([A-Za-z_][A-Za-z0-9_]*)\\((.*)\\)$"));
    const QRegularExpressionMatch match = pattern.match(entry);
    if (!match.hasMatch())
        return false;
    method->returnType = match.captured(1);
    method->name = match.captured(2);
    const QString parameters = match.captured(3);
    // Template arguments hold commas too, so only the top level counts.
    int count = parameters.isEmpty() ? 0 : 1;
    int depth = 0;
    for (const QChar c : parameters) {
        if (c == QLatin1Char('<'))
            ++depth;
        else if (c == QLatin1Char('>'))
            --depth;
        else if (c == QLatin1Char(',') && depth == 0)
            ++count;
    }
    method->argumentCount = count;
    return true;
}

ObjectHandle::ObjectHandle(QObject *proxy)
    : m_proxy(proxy)
{
    connect(proxy, SIGNAL(rpcDisconnected()), this, SLOT(proxyDisconnected()));
}

QString ObjectHandle::name() const
{
    return m_proxy ? m_proxy->objectName() : QString();
}

QString ObjectHandle::className() const
{
    return m_proxy ? m_proxy->property("className").toString() : QString();
}

QStringList ObjectHandle::methodList() const
{
    return m_proxy ? m_proxy->property("methodList").toStringList() : QStringList();
}

bool ObjectHandle::findMethod(const QString &name, int argumentCount, MethodEntry *method) const
{
    bool found = false;
    for (const QString &entry : methodList()) {
        MethodEntry candidate;
        if (MethodEntry::parse(entry, &candidate) && candidate.name == name
            && candidate.argumentCount == argumentCount) {
            *method = candidate;
            found = true;
        }
    }
    return found;
}

ObjectHandle::Outcome ObjectHandle::call(const MethodEntry &method, const QVariantList &arguments)
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
    // A void method answers with no value, and a failed call leaves the placeholder the
    // module prepared for the answer, which is always null; a warning tells the two apart
    // for methods that may return null.
    const bool failed = method.returnsValue() ? result.isNull() && !capture.warnings().isEmpty()
                                              : result.isValid();
    if (failed) {
        outcome.error = reason(capture.warnings(), QStringLiteral("no answer"));
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
    else if (!capture.warnings().isEmpty() || !m_proxy)
        outcome.error = reason(capture.warnings(), QStringLiteral("the object is gone"));
    return outcome;
}

void ObjectHandle::proxyDisconnected()
{
    m_wentDown = true;
}
