#ifndef DEMOSERVICE_H
#define DEMOSERVICE_H

#include <QtCore/QCoreApplication>
#include <QtCore/QProcess>
#include <QtNetwork/QLocalServer>
#include <QtTest/QtTest>

#include <csignal>
#include <sys/types.h>

// The demo service program, run on a local socket name of its own and killed when done.
class DemoService
{
public:
    explicit DemoService(const QStringList &extraArguments = {})
        : m_name(QStringLiteral("remoto-tst-demo-%1-%2")
                     .arg(QCoreApplication::applicationPid())
                     .arg(++counter()))
        , m_extraArguments(extraArguments)
    {
        m_process.setProgram(QStringLiteral(REMOTO_DEMO_SERVICE));
        // Sanitizer reports and other trouble go straight into the test's log.
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~DemoService()
    {
        kill();
        QLocalServer::removeServer(m_name);
    }
    DemoService(const DemoService &) = delete;
    DemoService &operator=(const DemoService &) = delete;

    // Where the service said it listens once started, in the order of the --listen options,
    // its own local socket name first; address() is the last, or that name before the start.
    QStringList addresses() const { return m_listening; }
    QString address() const
    {
        return m_listening.isEmpty() ? QStringLiteral("local:") + m_name : m_listening.last();
    }

    // Returns once the service says it listens on every address.
    bool start()
    {
        m_process.setArguments(
            QStringList { QStringLiteral("--listen"), QStringLiteral("local:") + m_name }
            + m_extraArguments);
        m_process.start();
        if (!m_process.waitForStarted(30000))
            return false;
        const int count = m_process.arguments().count(QStringLiteral("--listen"));
        QByteArray output;
        const auto listening = [&] {
            output += m_process.readAllStandardOutput();
            return output.count("listening on") == count
                || m_process.state() == QProcess::NotRunning;
        };
        if (!QTest::qWaitFor(listening, 60000) || output.count("listening on") != count)
            return false;
        m_listening = QString::fromUtf8(output)
                          .remove(QStringLiteral("listening on "))
                          .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return true;
    }

    // Stopped where it is: it reads and answers nothing until killed.
    void freeze() { ::kill(pid_t(m_process.processId()), SIGSTOP); }

    // Gone at once, leaving its socket file behind as a crashed service would.
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(30000);
    }

private:
    static int &counter()
    {
        static int value = 0;
        return value;
    }

    QString m_name;
    QStringList m_listening;
    QStringList m_extraArguments;
    QProcess m_process;
};

#endif
