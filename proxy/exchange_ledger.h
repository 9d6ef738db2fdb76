// The records (exchange_record.h) of one client's requests, from each parsed
// head until the client's socket has taken the last byte of its answer, or
// the client has gone: then each goes to the metrics and, when it is on, to
// the access log. Requests are taken up one at a time, but an answer may
// still be on its way to the client while the next request is handled, so
// a few finished records may wait for their bytes to go out.
//
// Byte accounting: queued() counts every byte put in front of the client
// (answers, tunnel bytes), delivered() every byte its socket took; a record
// knows where its answer ends in that stream, and is finished once that
// point has been delivered. A record is allocated only while a request is
// under way, so an idle client costs nothing here. Owned by the relay;
// loop's thread only.
#pragma once

#include "proxy/exchange_record.h"

#include <cstdint>
#include <memory>
#include <vector>

class exchange_ledger {
public:
    // A request head has been parsed: its record from now on (the previous
    // one, if still open, is closed as the client's going would close it).
    void open(std::unique_ptr<exchange_record> r);
    // The open record, or null.
    exchange_record* current() const { return open_record.get(); }

    // Everything for the open request has been put in front of the client:
    // its record waits for those bytes to go out, with this outcome.
    void close(exchange_outcome outcome);

    void queued(uint64_t n) { queued_bytes += n; }
    void delivered(uint64_t n);

    // The client has gone: every record is finished now, the ones whose
    // answers had not gone out as client_gone (or timeout).
    void client_gone(bool timed_out);

private:
    void finish(exchange_record& r);

    std::unique_ptr<exchange_record> open_record;
    std::vector<std::unique_ptr<exchange_record>> waiting;  // closed, answers not yet out
    uint64_t queued_bytes = 0;
    uint64_t delivered_bytes = 0;
};
