#include "ctllogging.h"

Q_LOGGING_CATEGORY(lcCtl, "remoto.ctl", QtInfoMsg)
