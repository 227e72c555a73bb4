#ifndef MESSAGELOG_H
#define MESSAGELOG_H

#include <QtCore/QRegularExpression>
#include <QtCore/QStringList>
#include <QtTest/QtTest>

// Records every message logged while it lives and hands each one on to the handler it
// replaced, so that QTest::ignoreMessage still pins the expected texts and anything unexpected
// shows up in `messages`. One at a time: the handler is process-wide.
class MessageLog
{
public:
    MessageLog()
    {
        Q_ASSERT(!current());
        current() = this;
        previous = qInstallMessageHandler(&MessageLog::handle);
    }
    ~MessageLog()
    {
        qInstallMessageHandler(previous);
        current() = nullptr;
    }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    // The whole message, exactly: a plain ignoreMessage text would be converted from the
    // local 8-bit encoding, which need not be UTF-8 where the tests run.
    void expect(QtMsgType type, const QString &text)
    {
        QTest::ignoreMessage(type,
            QRegularExpression(
                QLatin1String("\\A") + QRegularExpression::escape(text) + QLatin1String("\\z")));
        expected.append(text);
    }

    QStringList messages;
    // Only the warnings among `messages`, so tests pinning warnings stay blind to debug output.
    QStringList warnings;
    QStringList expected;

private:
    static MessageLog *&current()
    {
        static MessageLog *log = nullptr;
        return log;
    }

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        MessageLog *log = current();
        log->messages.append(text);
        if (type == QtWarningMsg)
            log->warnings.append(text);
        if (log->previous)
            log->previous(type, context, text);
    }

    QtMessageHandler previous = nullptr;
};

#endif
