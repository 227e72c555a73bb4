#include "benchservice.h"

#include "benchtools.h"

#include <QtCore/QDir>
#include <QtCore/QFile>

using BenchTools::fail;
using BenchTools::waitFor;

namespace {

// A process's time on the CPU, in nanoseconds, summed over its threads.
qint64 processCpuNs(qint64 pid)
{
    qint64 total = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks + QLatin1Char('/') + task + QLatin1String("/schedstat"));
        if (file.open(QIODevice::ReadOnly))
            total += file.readAll().split(' ').value(0).toLongLong();
    }
    return total;
}

} // namespace

BenchService::BenchService(const char *system, const QString &address, int objects)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(REMOTO_BENCH_SERVICE),
        { QLatin1String(system), address, QString::number(objects) });
    if (!m_process.waitForStarted() || !waitFor([&] { return m_process.canReadLine(); })
        || m_process.readLine().trimmed() != "ready")
        fail("the service did not start");
}

BenchService::~BenchService()
{
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(10000))
        m_process.kill();
    m_process.waitForFinished();
}

qint64 BenchService::cpuNs() const
{
    return processCpuNs(m_process.processId());
}

double BenchService::rssKiB() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        fail("cannot read the service's memory");
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble();
    }
    fail("the service's memory is not in /proc");
}

int BenchService::descriptors() const
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(m_process.processId()));
    if (!fds.exists())
        fail("cannot read the service's descriptors");
    return int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

void BenchService::startPublishing(int count)
{
    m_process.write(QByteArray("publish ") + QByteArray::number(count) + '\n');
}

BenchService::PublishTimes BenchService::publishTimes()
{
    if (!waitFor([&] { return m_process.canReadLine(); }))
        fail("the service did not publish");
    const QList<QByteArray> fields = m_process.readLine().trimmed().split(' ');
    return { fields.value(1).toLongLong(), fields.value(2).toLongLong(),
        fields.value(3).toLongLong() };
}
