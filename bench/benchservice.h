#ifndef BENCHSERVICE_H
#define BENCHSERVICE_H

#include <QtCore/QProcess>

// One remoto_bench_service process, started at construction and ended at destruction; it
// inherits this process's CPU affinity.
class BenchService
{
public:
    BenchService(const char *system, const QString &address, int objects);
    ~BenchService();

    qint64 cpuNs() const;
    // The service's resident memory now, in KiB.
    double rssKiB() const;
    // The descriptors the service holds open now.
    int descriptors() const;

    // Has the service publish `count` more objects, named p1, p2, ... on a fresh service.
    void startPublishing(int count);
    struct PublishTimes
    {
        // In nanoseconds: all the publications, then the first and the last tenth of them.
        qint64 all;
        qint64 firstTenth;
        qint64 lastTenth;
    };
    // The service's own account of the publications started last, while this process keeps
    // taking what the service tells its hosts.
    PublishTimes publishTimes();

private:
    QProcess m_process;
};

#endif
