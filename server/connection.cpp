#include "server/connection.h"

#include "base/free_list.h"
#include "base/sanitizer.h"
#include "base/unordered_erase.h"

#include <cstdlib>

namespace {

// Freed connection objects of one size.
struct object_cache {
    size_t size = 0;
    base::free_list objects{base::address_sanitizer ? 0 : 128};
};

// One cache per connection class in use (a proxy has two: client and
// upstream); a size beyond these is not cached.
constexpr int cache_kinds = 4;

base::free_list* cache_for(size_t size)
{
    static object_cache caches[cache_kinds];
    for (object_cache& c : caches) {
        if (c.size == size)
            return &c.objects;
        if (c.size == 0) {
            c.size = size;
            return &c.objects;
        }
    }
    return nullptr;
}

}  // namespace

void* connection::operator new(size_t size)
{
    base::free_list* cache = cache_for(size);
    if (void* p = cache ? cache->take() : nullptr)
        return p;
    void* p = malloc(size);
    if (!p)
        abort();  // like every other allocation failure in this program
    return p;
}

void connection::operator delete(void* p, size_t size)
{
    base::free_list* cache = cache_for(size);
    if (!cache || !cache->keep(p))
        free(p);
}

connection::connection() : last_active(time(nullptr)) {}

connection::~connection()
{
    if (awake)
        base::unordered_erase(woken(), this);
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
