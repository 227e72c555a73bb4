#ifndef TARN_H
#define TARN_H

#include "hostexport.h"

#include <QtCore/QDateTime>

namespace Tarn {

// Days since 1899-12-30 00:00 UTC, the fraction being the time of day. Values that are not
// finite or lie outside what QDateTime can hold give an invalid QDateTime.
VELMORHLP_EXPORT QDateTime doubleToDateTime(double days);

} // namespace Tarn

#endif
