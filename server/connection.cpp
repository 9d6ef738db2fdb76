#include "server/connection.h"

#include "base/sanitizer.h"

#include <cstdlib>

namespace {

// Freed connection objects of one size, linked through their first word.
struct object_cache {
    size_t size = 0;
    void* first = nullptr;
    int count = 0;
};

// One cache per connection class in use (a proxy has two: client and
// upstream); a size beyond these is not cached.
constexpr int cache_kinds = 4;
constexpr int cached_objects_max = base::address_sanitizer ? 0 : 128;

object_cache* cache_for(size_t size)
{
    static object_cache caches[cache_kinds];
    for (object_cache& c : caches) {
        if (c.size == size)
            return &c;
        if (c.size == 0) {
            c.size = size;
            return &c;
        }
    }
    return nullptr;
}

}  // namespace

void* connection::operator new(size_t size)
{
    object_cache* c = cache_for(size);
    if (c && c->first) {
        void* p = c->first;
        c->first = *static_cast<void**>(p);
        c->count--;
        return p;
    }
    void* p = malloc(size);
    if (!p)
        abort();  // like every other allocation failure in this program
    return p;
}

void connection::operator delete(void* p, size_t size)
{
    object_cache* c = cache_for(size);
    if (!c || c->count >= cached_objects_max) {
        free(p);
        return;
    }
    *static_cast<void**>(p) = c->first;
    c->first = p;
    c->count++;
}

connection::connection() : last_active(time(nullptr)) {}

connection::~connection()
{
    if (awake) {
        std::vector<connection*>& list = woken();
        for (size_t i = 0; i < list.size(); i++)
            if (list[i] == this) {
                list[i] = list.back();
                list.pop_back();
                break;
            }
    }
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
