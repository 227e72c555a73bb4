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
    // The whole days count from the epoch in either direction, but the fraction is always the
    // time of day: -1.25 is 1899-12-29 06:00, not 18:00 on the day before.
    const double whole = std::trunc(days);
    const double timeOfDay = std::fabs(days - whole);
    const qint64 msecs = qint64(whole) * qint64(MsecsPerDay)
        + qint64(std::llround(timeOfDay * MsecsPerDay)) + EpochOffsetMsecs;
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}
