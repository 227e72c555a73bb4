#ifndef SERVICELOG_H
#define SERVICELOG_H

#include <QtCore/QLoggingCategory>

// The service's messages, "remoto.service", which QT_LOGGING_RULES silences or enables; its
// debug messages, why each client went, are off unless enabled.
Q_DECLARE_LOGGING_CATEGORY(lcService)

#endif
