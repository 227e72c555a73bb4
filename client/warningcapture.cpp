#include "warningcapture.h"

#include <QtCore/QThread>

#include <atomic>

namespace {
// Messages come from any thread; only the capturing thread's are held, and only that thread
// looks at the captures.
std::atomic<QThread *> capturingThread { nullptr };
WarningCapture *innermost = nullptr;
// The handler the outermost capture stood in for, which gets everything not held.
std::atomic<QtMessageHandler> forwardTo { nullptr };

// A context field copied for later: null stays null, as Qt's formatting tells the two apart.
QByteArray copied(const char *field)
{
    return field ? QByteArray(field) : QByteArray();
}

const char *restored(const QByteArray &field)
{
    return field.isNull() ? nullptr : field.constData();
}

void forward(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (const QtMessageHandler handler = forwardTo.load())
        handler(type, context, text);
}

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
    : m_outer(innermost)
{
    innermost = this;
    if (m_outer)
        return;
    capturingThread = QThread::currentThread();
    forwardTo = qInstallMessageHandler(&WarningCapture::handle);
}

WarningCapture::~WarningCapture()
{
    innermost = m_outer;
    if (!m_outer) {
        qInstallMessageHandler(forwardTo.load());
        capturingThread = nullptr;
    }
    for (const Held &message : qAsConst(m_held))
        passOn(message);
}

QString WarningCapture::takeLast()
{
    return m_held.isEmpty() ? QString() : unquoted(m_held.takeLast().text);
}

void WarningCapture::passOn(const Held &message) const
{
    if (m_outer) {
        m_outer->m_held.append(message);
        return;
    }
    forward(message.type,
        QMessageLogContext(restored(message.file), message.line, restored(message.function),
            restored(message.category)),
        message.text);
}

void WarningCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const bool defaultCategory = !context.category || qstrcmp(context.category, "default") == 0;
    if ((type == QtWarningMsg || type == QtCriticalMsg) && defaultCategory
        && QThread::currentThread() == capturingThread.load() && innermost) {
        innermost->m_held.append({ type, copied(context.file), copied(context.function),
            copied(context.category), context.line, text });
        return;
    }
    forward(type, context, text);
}
