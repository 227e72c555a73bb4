#include "tarn.h"

#include <cmath>

namespace {
constexpr double MsecsPerDay = 86400000.0;
// 1899-12-30T00:00:00Z in milliseconds since the Unix epoch.
constexpr qint64 EpochOffsetMsecs = -2209161600000LL;
// Keeps the sum below in qint64 and well inside QDateTime's range.
constexpr double MaxAbsDays = 1.0e11;
} // namespace

QDateTime Tarn::doubleToDateTime(double days)
{
    if (!std::isfinite(days) || std::fabs(days) > MaxAbsDays)
        return QDateTime();
    const qint64 msecs = qint64(std::llround(days * MsecsPerDay)) + EpochOffsetMsecs;
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}
