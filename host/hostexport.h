#ifndef HOSTEXPORT_H
#define HOSTEXPORT_H

#include <QtCore/qglobal.h>

#if defined(VELMORHLP_BUILD)
#define VELMORHLP_EXPORT Q_DECL_EXPORT
#else
#define VELMORHLP_EXPORT Q_DECL_IMPORT
#endif

#endif
