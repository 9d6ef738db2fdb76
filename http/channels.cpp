// The channel registry and the clean-up that takes a dying connection out of
// its channels.
//
// Invariant: a connection is in the list of channel C exactly when C is a key
// of its `subscriptions`, and then once. Nothing in this program subscribes,
// so an inconsistency is only reported, never repaired.
#include "http/http_connection.h"

#include <cstdio>

base::hashmap<base::arraylist<http_connection*>*>& http_connection::channels()
{
    // The lists are freed as their last member leaves; at exit only the
    // names and tables are released.
    static base::hashmap<base::arraylist<http_connection*>*> registry;
    return registry;
}

void http_connection::leave_channels()
{
    // Only upgraded connections take part in channels.
    if (!websocket)
        return;
    base::hashmap<base::arraylist<http_connection*>*>& registry = channels();
    for (uint32_t i = 0; i < subscriptions.size(); i++) {
        const std::string& name = subscriptions.key_at(i);
        base::arraylist<http_connection*>* members = registry.get(name);
        if (!members) {
            printf("Error! Channel not found: %s\n", name.c_str());
            continue;
        }
        int64_t at = members->index_of(this);
        if (at < 0) {
            printf("Error! Subscription for %d to %s not found!\n", socket, name.c_str());
            continue;
        }
        members->remove_at(uint32_t(at));
        if (members->size == 0) {
            registry.unset(name);
            delete members;
        }
    }
}
