#include "proxy/exchange_ledger.h"

#include "proxy/access_log.h"
#include "proxy/metrics.h"
#include "server/clock.h"

void exchange_ledger::open(std::unique_ptr<exchange_record> r)
{
    if (open_record)
        close(exchange_outcome::client_gone);
    r->answer_start = queued_bytes;
    open_record = std::move(r);
}

void exchange_ledger::close(exchange_outcome outcome)
{
    if (!open_record)
        return;
    exchange_record& r = *open_record;
    r.outcome = outcome;
    r.answer_end = queued_bytes;
    waiting.push_back(std::move(open_record));
    delivered(0);
}

void exchange_ledger::delivered(uint64_t n)
{
    delivered_bytes += n;
    size_t done = 0;
    while (done < waiting.size() && waiting[done]->answer_end <= delivered_bytes)
        finish(*waiting[done++]);
    if (done)
        waiting.erase(waiting.begin(), waiting.begin() + long(done));
}

void exchange_ledger::client_gone(bool timed_out)
{
    exchange_outcome gone = timed_out ? exchange_outcome::timeout : exchange_outcome::client_gone;
    if (open_record) {
        // A tunnel ends with its client; anything else in flight was left.
        exchange_record& r = *open_record;
        close(r.tunnel && !timed_out ? exchange_outcome::ok : gone);
    }
    for (auto& r : waiting) {
        if (r->answer_end > delivered_bytes && r->outcome == exchange_outcome::ok)
            r->outcome = gone;
        finish(*r);
    }
    waiting.clear();
}

void exchange_ledger::finish(exchange_record& r)
{
    r.ended_ms = monotonic_ms();
    uint64_t end = r.answer_end < delivered_bytes ? r.answer_end : delivered_bytes;
    r.bytes_out = end > r.answer_start ? end - r.answer_start : 0;
    metrics::finished(r);
    if (access_log::enabled())
        access_log::write(r);
}
