// Every connection the server owns: the list in the order they came, the
// index from descriptor to connection, and the count of live ones.
//
// A connection leaves the list in one of two ways. The sweep (see
// turn_scheduler.h) unlinks a connection at its cursor, list.remove(), which
// the list tolerates in the middle of a walk. Outside a sweep, unlinking
// would need a search, so a connection ended then is only vacated: its value
// becomes null, an empty place that the next sweep unlinks. The list thus
// holds live connections and nulls, and live() counts only the former.
// Connections enlisted during a walk are appended and reached by the same
// walk.
//
// The index answers "whose socket is this?" for the poll's results without a
// search. It grows with the highest descriptor, like the sockets registry,
// and maps each descriptor to the connection whose socket it is, or to null.
//
// The registry never deletes a connection and never calls its handlers;
// abstract_server::end_connection() does that, after release(). Loop thread
// only.
#pragma once

#include "base/linkedlist.h"
#include "server/connection.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class connection_registry {
public:
    // Oldest first; null: the place of a connection vacated since the last
    // sweep.
    base::linkedlist<connection*> list;

    // Appends c, counts it and indexes its socket (if it has one yet). Wakes
    // it too, so that it is asked for output in this turn's second half.
    void enlist(connection* c);

    // Outside a sweep: leaves c's place in the list empty.
    void vacate(connection* c) { c->list_node->value = nullptr; }

    // c's share of its end: takes its socket out of the poll, closes it and
    // drops it from the index, and stops counting c. c is still in the list
    // or vacated; the caller has unlinked it or vacated its place.
    void release(connection* c);

    // The connection whose socket fd is; null for the listener and every
    // other descriptor no connection owns.
    connection* owner(int fd) const { return size_t(fd) < by_fd.size() ? by_fd[size_t(fd)] : nullptr; }

    // Indexes c->socket as c's, and drops it again (only where it still maps
    // to c): for a connection whose socket changes.
    void index(connection* c);
    void unindex(connection* c);

    int32_t live() const { return live_count; }

private:
    int32_t live_count = 0;
    std::vector<connection*> by_fd;
};
