#include "var/var.h"

#include <cstdint>
#include <string>
#include <utility>

#include "base/arraylist.h"
#include "base/hashmap.h"

namespace {

using list_t = base::arraylist<var*>;
using map_t = base::hashmap<var*>;

int64_t& live_counter()
{
    static int64_t count = 0;
    return count;
}

// Clamps container and string lengths to the signed 32-bit range of size().
int32_t clamp_size(uint64_t n)
{
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

// Resolves a possibly negative index against a count; -1 when out of range.
// 64-bit so that index + count cannot overflow.
int64_t resolve(int32_t index, uint64_t count)
{
    int64_t i = index;
    if (i < 0)
        i += static_cast<int64_t>(count);
    if (i < 0 || static_cast<uint64_t>(i) >= count)
        return -1;
    return i;
}

}  // namespace

var::var_data::var_data(void* content) : content(content)
{
    live_counter()++;
}

var::var_data::~var_data()
{
    live_counter()--;
}

int64_t var::live_records()
{
    return live_counter();
}

var::var(const std::string& text)
{
    type = string_type;
    record = new var_data(new std::string(text));
    record->refcount = 1;
}

var::var(const char* text)
{
    if (!text)
        return;
    type = string_type;
    record = new var_data(new std::string(text));
    record->refcount = 1;
}

var::var(double value)
{
    type = number_type;
    number = value;
}

var::var(int32_t value) : var(static_cast<double>(value)) {}

var::var(bool value)
{
    type = boolean_type;
    boolean = value ? 1 : 0;
}

var var::array()
{
    var v;
    v.type = array_type;
    v.record = new var_data(new list_t());
    v.record->refcount = 1;
    return v;
}

var var::object()
{
    map_t* map = new map_t();
    map->hash_function = base::zarlet_hash;
    var v;
    v.type = object_type;
    v.record = new var_data(map);
    v.record->refcount = 1;
    return v;
}

var::var(const var& other)
{
    ref(other);
}

var::var(var&& other) noexcept
{
    take(other);
}

// `other` may live inside the value this var is about to release (an element
// of its own array), so it is held before anything is released.
var& var::operator=(const var& other)
{
    var keep(other);
    unref();
    take(keep);
    return *this;
}

var& var::operator=(var&& other) noexcept
{
    if (this != &other) {
        var keep(std::move(other));
        unref();
        take(keep);
    }
    return *this;
}

void var::copy_value(const var& other)
{
    type = other.type;
    switch (type) {
    case number_type: number = other.number; break;
    case boolean_type: boolean = other.boolean; break;
    case string_type:
    case array_type:
    case object_type: record = other.record; break;
    default: record = nullptr; break;
    }
}

void var::take(var& other)
{
    copy_value(other);
    other.type = null_type;
    other.record = nullptr;
}

void var::ref(const var& other)
{
    // Referring to itself would count a holder that does not exist.
    if (this == &other)
        return;
    copy_value(other);
    if (type >= string_type && record)
        record->refcount++;
}

void var::unref()
{
    int32_t kind = type;
    var_data* held = kind >= string_type ? record : nullptr;
    // Null first: destroying the content below may reach back to this var.
    type = null_type;
    record = nullptr;
    if (!held)
        return;
    if (--held->refcount > 0)
        return;

    switch (kind) {
    case array_type: {
        list_t* list = static_cast<list_t*>(held->content);
        for (uint32_t i = 0; i < list->size; i++)
            delete list->data[i];  // the element's destructor releases it
        delete list;
        break;
    }
    case object_type: {
        map_t* map = static_cast<map_t*>(held->content);
        for (uint32_t i = 0; i < map->capacity; i++)
            if (map->slots[i].key)
                delete map->slots[i].value;
        delete map;  // frees the key strings, the table and the key list
        break;
    }
    case string_type:
        delete static_cast<std::string*>(held->content);
        break;
    default:
        // An unknown tag cannot say how to destroy the content; the record
        // alone goes.
        break;
    }
    delete held;
}

int32_t var::size() const
{
    if (!record)
        return 0;
    switch (type) {
    case string_type: return clamp_size(static_cast<std::string*>(record->content)->size());
    case array_type: return clamp_size(static_cast<list_t*>(record->content)->size);
    case object_type: return clamp_size(static_cast<map_t*>(record->content)->count);
    default: return 0;
    }
}

var var::get(int32_t index) const
{
    var result;
    if (type < string_type || !record)
        return result;
    switch (type) {
    case array_type: {
        const list_t* list = static_cast<const list_t*>(record->content);
        int64_t i = resolve(index, list->size);
        if (i >= 0 && list->data[i])
            result.ref(*list->data[i]);
        break;
    }
    case object_type: {
        const map_t* map = static_cast<const map_t*>(record->content);
        int64_t i = resolve(index, map->count);
        if (i < 0)
            break;
        const var* value = map->get(map->key_at(static_cast<uint32_t>(i)));
        if (value)
            result.ref(*value);
        break;
    }
    case string_type: {
        const std::string* text = static_cast<const std::string*>(record->content);
        int64_t i = resolve(index, text->size());
        if (i >= 0)
            result = var(std::string(1, (*text)[static_cast<size_t>(i)]));
        break;
    }
    default: break;
    }
    return result;
}

void var::push(const var& value)
{
    if (type != array_type || !record)
        return;
    // Copied before add: value may be an element of this very list, which add
    // can move when it grows the storage.
    var* element = new var(value);
    static_cast<list_t*>(record->content)->add(element);
}

void var::set(const std::string& key, const var& value)
{
    if (type != object_type || !record)
        return;
    map_t* map = static_cast<map_t*>(record->content);
    // Copied before the old value goes: value may be that old value.
    var* element = new var(value);
    var* old = map->get(key);
    map->set(key, element);
    if (map->get(key) != element) {
        delete element;  // the map refused it (out of space); keep the old
        return;
    }
    delete old;
}

var::operator std::string() const
{
    if (type == string_type && record)
        return *static_cast<const std::string*>(record->content);
    base::arraylist<var_data*> visited;
    return to_json_helper(visited, true);
}
