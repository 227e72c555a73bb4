#include "servicelog.h"

Q_LOGGING_CATEGORY(lcService, "remoto.service", QtInfoMsg)
