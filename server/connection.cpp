#include "server/connection.h"

#include <arpa/inet.h>

#include "base/unordered_erase.h"
#include "server/clock.h"

connection::connection() : last_active(monotonic_ms()), last_taken(last_active) {}

connection::~connection()
{
    if (awake && wake_list)
        base::unordered_erase(*wake_list, this);
}

void connection::wake()
{
    if (awake)
        return;
    awake = true;
    if (wake_list)
        wake_list->push_back(this);
}

connection*& connection::selection()
{
    static connection* current = nullptr;
    return current;
}

uint64_t& connection::turn_number()
{
    static uint64_t number = 0;
    return number;
}

int64_t& connection::turn_clock()
{
    static int64_t clock = monotonic_ms();
    return clock;
}

int connection::on_connect(int) { return -1; }

void connection::on_connect_slow() {}


bool connection::timed_out(int64_t at) const { return at - last_active > int64_t(timeout) * 1000; }

int64_t connection::deadline() const { return last_active + int64_t(timeout) * 1000 + 1; }

bool connection::on_eof() { return false; }

bool connection::wants_input() const { return true; }

char* connection::receive_space(int*) { return nullptr; }

int connection::receive_pipe(int*) { return -1; }

void connection::on_piped(int) {}
