#include "proxy/proxy_relay.h"

void proxy_relay::release(proxy_relay* relay)
{
    if (--relay->refs == 0)
        delete relay;
}
