#include "server/pending_output.h"

#include "base/free_list.h"
#include "base/sanitizer.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Buffers no run holds: enough for the connections that copy output at any
// one time, bounded so that an idle process gives memory back. A pooled
// buffer has only its first page touched (the list's link).
base::free_list& pool()
{
    static base::free_list buffers(base::address_sanitizer ? 0 : 64);
    return buffers;
}

void recycle(char* buffer)
{
    if (!pool().keep(buffer))
        free(buffer);
}

}  // namespace

pending_output::~pending_output()
{
    if (buffer)
        recycle(buffer);
}

char* pending_output::own_buffer()
{
    if (!buffer) {
        buffer = static_cast<char*>(pool().take());
        // A fresh mapping (buffers are above the allocator's mmap threshold):
        // its pages cost memory only once written.
        if (!buffer && !(buffer = static_cast<char*>(malloc(capacity))))
            abort();  // like every other allocation failure in this program
    }
    return buffer;
}

void pending_output::give_back()
{
    recycle(buffer);
    buffer = nullptr;
}

void pending_output::move_to_own(const char* from)
{
    memmove(own_buffer(), from + offset, size_t(length));
    lent = nullptr;
    offset = 0;
}

void pending_output::keep_unsent()
{
    if (length > 0 && from_pipe >= 0) {
        // What the pipe holds of the run: take it out before the pipe goes.
        char* to = own_buffer();
        int32_t got = 0;
        while (got < length) {
            ssize_t n = read(from_pipe, to + got, size_t(length - got));
            if (n <= 0)
                break;
            got += int32_t(n);
        }
        length = got;
        offset = 0;
    } else if (length > 0 && lent) {
        move_to_own(lent);
    }
    lent = nullptr;
    from_pipe = -1;
}
