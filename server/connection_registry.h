// Every connection the server owns: the list in the order they came, the
// index from descriptor to connection, the count of live ones, and the poll
// registration of their sockets.
//
// A connection leaves the list when it ends (remove()), in one of two ways.
// At the list's cursor - the current connection of a walk (the server's end
// of every connection, turn_scheduler.h), or one the cursor happens to rest
// on - it is unlinked with list.remove(), which the list tolerates in the
// middle of a walk. Anywhere else unlinking would need a search, so its
// place is only vacated: its value becomes null. Once the empty places
// outnumber the live connections, one walk between turns (compact()) unlinks
// them all, so the list costs O(1) per connection over time. The list thus holds live connections
// and nulls, and live() counts only the former. Connections enlisted during
// a walk are appended and reached by the same walk.
//
// The index answers "whose socket is this?" for the poll's results without a
// search. It grows with the highest descriptor, like the sockets registry,
// and maps each descriptor to the connection whose socket it is, or to null.
//
// The registry never deletes a connection and never calls its handlers (the
// turn_scheduler ends connections). Loop thread only.
#pragma once

#include "base/linkedlist.h"
#include "server/connection.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class sockets;

class connection_registry {
public:
    // polled: the server's socket registry, which watches every socket here.
    explicit connection_registry(sockets& polled) : polled(polled) {}

    // Oldest first; null: the place of a connection vacated (see above).
    base::linkedlist<connection*> list;
    // Connections woken (connection::wake()) and not yet served, for the
    // turn's output half.
    std::vector<connection*> woken;

    // Appends c, counts it and indexes its socket. Wakes it too, so that it
    // is asked for output in this turn's output half.
    void enlist(connection* c);

    // Has c's socket polled, and with `writable` watched for writing in the
    // next poll too; a socket the kernel refuses to watch marks c broken, to
    // be ended with an error the next time it is served.
    void watch(connection* c, bool writable);

    // c's socket is closed (out of the poll and the index) and fd takes its
    // place in the index; the caller has fd polled (watch()).
    void replace_socket(connection* c, int fd);

    // The registry's share of c's end: takes c off the list (see above),
    // closes its socket and stops counting it.
    void remove(connection* c);

    // Unlinks the vacated places once they outnumber the live connections.
    // Only while no walk of the list is under way (it walks the list itself).
    void compact();

    // The connection whose socket fd is; null for the listener and every
    // other descriptor no connection owns.
    connection* owner(int fd) const { return size_t(fd) < by_fd.size() ? by_fd[size_t(fd)] : nullptr; }

    int32_t live() const { return live_count; }

private:
    void index(connection* c);
    void close_socket(connection* c);

    sockets& polled;
    int32_t live_count = 0;
    int32_t vacated = 0;  // null places in the list
    std::vector<connection*> by_fd;
};
