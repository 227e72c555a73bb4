#include "warningcapture.h"

namespace {
WarningCapture *active = nullptr;
QtMessageHandler forwardTo = nullptr;

// The module writes its reasons through QDebug, which quotes strings.
QString unquoted(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.size() >= 2 && trimmed.startsWith(QLatin1Char('"'))
        && trimmed.endsWith(QLatin1Char('"')))
        return trimmed.mid(1, trimmed.size() - 2);
    return trimmed;
}
} // namespace

WarningCapture::WarningCapture()
    : m_previous(qInstallMessageHandler(&WarningCapture::handle))
{
    active = this;
    forwardTo = m_previous;
}

WarningCapture::~WarningCapture()
{
    qInstallMessageHandler(m_previous);
    active = nullptr;
    forwardTo = nullptr;
}

void WarningCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (active && (type == QtWarningMsg || type == QtCriticalMsg)) {
        active->m_warnings.append(unquoted(text));
        return;
    }
    if (forwardTo)
        forwardTo(type, context, text);
}
