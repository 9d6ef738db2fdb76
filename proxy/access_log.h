// The access log (-l FILE): one JSON object per line for every exchange, tunnel
// and refusal, written when it ends, through a never-blocking queue
// (log_queue.h) like standard output. Fields, in this order:
//
//     time        RFC 3339, UTC, milliseconds: when it ended
//     client      "ip:port", "[v6]:port"
//     user        the Basic user name accepted, or null
//     method, target   as the client sent them (JSON-escaped)
//     host, port  canonical, or null when no target could be read
//     status      what the client got (an origin's status, the proxy's own,
//                 200 for a tunnel), or null when nothing was sent
//     outcome     exchange_record.h's word
//     upstream    the address connected to, "ip:port", or null
//     pooled      whether the origin connection was reused
//     bytes_in, bytes_out, connect_ms (null when never connected), duration_ms
//
// Lines that find the queue full are dropped whole; once there is room
// again, one line on standard output says how many. SIGUSR1 reopens the file
// (log rotation): lines go to the new file from the next batch on. Loop's
// thread only, but for the writer thread inside the queue.
#pragma once

#include "proxy/exchange_record.h"

#include <cstdint>
#include <string>

namespace access_log {

// Opens (appends to, creates) the file; 0, or the errno value of why not.
int open(const std::string& path);

// Whether a file is open: records are worth filling in full.
bool enabled();

// The file's path, as given.
const std::string& path();

// Opens the file again by its path (after rotation); 0 or an errno value,
// and the old one stays in use on failure.
int reopen();

// Writes the line for a finished exchange.
void write(const exchange_record& r);

// The line for a record, without its line end.
std::string line(const exchange_record& r, int64_t ended_wall_ms);

// Lines dropped so far, all told.
uint64_t dropped();

}  // namespace access_log
