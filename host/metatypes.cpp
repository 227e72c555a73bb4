#include "connectionstate.h"
#include "message.h"
#include "request.h"

void Velmor::registerMetaTypes()
{
    qRegisterMetaType<Velmor::Command::Message>("Velmor::Command::Message");
    qRegisterMetaType<Velmor::Connection::State>("Velmor::Connection::State");
    qRegisterMetaType<const Request *>("const Request*");
}

// Registered as soon as the library is loaded, so a queued connection works before any
// module code has run.
static void registerOnLoad()
{
    Velmor::registerMetaTypes();
}
Q_CONSTRUCTOR_FUNCTION(registerOnLoad)
