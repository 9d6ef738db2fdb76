#include "proxy/memory_budget.h"

namespace memory_budget {

namespace {

size_t sum = 0;
size_t count = 0;  // holders with something charged

}  // namespace

void charge(size_t was, size_t now)
{
    sum = sum - was + now;
    if (was == 0 && now != 0)
        count++;
    else if (was != 0 && now == 0)
        count--;
}

size_t allowance(size_t mine)
{
    size_t spare = sum < limit ? limit - sum : 0;
    // A holder with nothing yet is about to be one more among them.
    size_t share = limit / (count + (mine == 0 ? 1 : 0));
    if (share > least)
        share = least;
    size_t fair = mine < share ? share - mine : 0;
    return spare > fair ? spare : fair;
}

size_t total() { return sum; }

size_t holders() { return count; }

}  // namespace memory_budget
