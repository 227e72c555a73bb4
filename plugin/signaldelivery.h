#ifndef SIGNALDELIVERY_H
#define SIGNALDELIVERY_H

#include <message.h>

class RemotoObject;

// Turns a notification into the signals of its proxy: `event`, then the proxy's own signal of
// that signature when its parameters can take the values.
class SignalDelivery
{
public:
    static void deliver(RemotoObject *proxy, const Velmor::Command::Message &message);
};

#endif
