#include "server/connection.h"

#include "base/free_list.h"
#include "base/sanitizer.h"
#include "base/unordered_erase.h"

#include <cstdlib>

namespace {

// Send buffers not lent to any connection: enough for the connections that
// copy output at any one time, bounded so that an idle process gives memory
// back. A pooled buffer has only its first page touched (the list's link).
base::free_list& send_buffers()
{
    static base::free_list pool(base::address_sanitizer ? 0 : 64);
    return pool;
}

}  // namespace

connection::connection() : last_active(time(nullptr)) {}

connection::~connection()
{
    if (send_buffer && !send_buffers().keep(send_buffer))
        free(send_buffer);
    if (awake)
        base::unordered_erase(woken(), this);
}

char* connection::send_space()
{
    if (!send_buffer) {
        send_buffer = static_cast<char*>(send_buffers().take());
        // A fresh mapping (buffers are above the allocator's mmap threshold):
        // its pages cost memory only once written.
        if (!send_buffer && !(send_buffer = static_cast<char*>(malloc(buffer_size))))
            abort();  // like every other allocation failure in this program
    }
    return send_buffer;
}

void connection::release_send_space()
{
    if (!send_buffer || (send_length > 0 && !send_data && send_pipe < 0))
        return;
    if (!send_buffers().keep(send_buffer))
        free(send_buffer);
    send_buffer = nullptr;
}

void connection::wake()
{
    if (awake)
        return;
    awake = true;
    woken().push_back(this);
}

std::vector<connection*>& connection::woken()
{
    static std::vector<connection*> list;
    return list;
}

int connection::on_connect(int) { return -1; }

bool connection::timed_out(time_t now) const { return now - last_active > timeout; }

bool connection::on_eof() { return false; }

bool connection::wants_input() const { return true; }

char* connection::receive_space(int*) { return nullptr; }

int connection::receive_pipe(int*) { return -1; }

void connection::on_piped(int) {}

connection*& connection::selected()
{
    static connection* current = nullptr;
    return current;
}
