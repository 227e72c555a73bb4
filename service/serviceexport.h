#ifndef SERVICEEXPORT_H
#define SERVICEEXPORT_H

#include <QtCore/qglobal.h>

#if defined(REMOTOSERVICE_BUILD)
#define REMOTOSERVICE_EXPORT Q_DECL_EXPORT
#else
#define REMOTOSERVICE_EXPORT Q_DECL_IMPORT
#endif

#endif
