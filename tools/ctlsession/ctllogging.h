#ifndef CTLLOGGING_H
#define CTLLOGGING_H

#include <QtCore/QLoggingCategory>

// remotoctl's own messages, apart from what it prints for its user: the steps of a session
// and the outcome of each call, at debug level, which QT_LOGGING_RULES="remoto.ctl.debug=true"
// shows.
Q_DECLARE_LOGGING_CATEGORY(lcCtl)

#endif
