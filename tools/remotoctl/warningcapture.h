#ifndef WARNINGCAPTURE_H
#define WARNINGCAPTURE_H

#include <QtCore/QStringList>
#include <QtCore/QtGlobal>

// The module reports why a call or subscription failed only as a warning, so those are
// collected while one runs and turned into the tool's own message. Not nestable.
class WarningCapture
{
public:
    WarningCapture();
    ~WarningCapture();
    WarningCapture(const WarningCapture &) = delete;
    WarningCapture &operator=(const WarningCapture &) = delete;

    QStringList warnings() const { return m_warnings; }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);

    QtMessageHandler m_previous;
    QStringList m_warnings;
};

#endif
