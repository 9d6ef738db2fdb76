// JSON text of a var, in an indented form (two spaces per nesting level) or a
// compact one. The visited list holds the records of the non-empty arrays and
// objects being written around the current value, outermost first: its size
// is the depth, and a record found on it again is a cycle.
#include <cmath>
#include <string>

#include "base/arraylist.h"
#include "base/escape.h"
#include "base/hashmap.h"
#include "base/num.h"
#include "var/var.h"

namespace {

using list_t = base::arraylist<var*>;
using map_t = base::hashmap<var*>;

std::string number_text(double value)
{
    // JSON has no literal for these, so they are written as strings.
    if (std::isnan(value))
        return "\"NaN\"";
    if (std::isinf(value))
        return value < 0 ? "\"-Inf\"" : "\"Inf\"";
    return base::num(value);
}

std::string quoted(const std::string& text)
{
    std::string out(1, '"');
    out += base::escape(text, true);
    out += '"';
    return out;
}

void append_spaces(std::string& out, size_t depth)
{
    out.append(2 * depth, ' ');
}

void append_value(std::string& out, const var* value, base::arraylist<var::var_data*>& visited, bool indent)
{
    if (value)
        out += value->to_json_helper(visited, indent);
    else
        out += "null";
}

}  // namespace

std::string var::to_json_helper(base::arraylist<var_data*>& visited, bool indent) const
{
    if (type >= string_type && type <= object_type) {
        // A container without its record is no value made by var's own
        // operations; it is written as what it holds: nothing.
        if (!record)
            return "null";
        if (visited.index_of(record) >= 0)
            return "ERROR_CYCLE";
    }
    size_t depth = visited.size;

    switch (type) {
    case null_type: return "null";
    case number_type: return number_text(number);
    case boolean_type: return boolean ? "true" : "false";
    case string_type: return quoted(*static_cast<const std::string*>(record->content));

    case array_type: {
        const list_t* list = static_cast<const list_t*>(record->content);
        if (list->size == 0)
            return "[]";
        bool all_arrays = indent;
        for (uint32_t i = 0; all_arrays && i < list->size; i++)
            all_arrays = list->data[i] && list->data[i]->type == array_type;

        std::string out;
        visited.add(record);
        if (all_arrays) {
            out += "[\n";
            for (uint32_t i = 0; i < list->size; i++) {
                if (i > 0)
                    out += ",\n";
                append_spaces(out, depth + 1);
                append_value(out, list->data[i], visited, indent);
            }
            out += "\n";
            append_spaces(out, depth);
            out += "]";
        } else {
            out += "[ ";
            for (uint32_t i = 0; i < list->size; i++) {
                if (i > 0)
                    out += indent ? ", " : ",";
                append_value(out, list->data[i], visited, indent);
            }
            out += " ]";
        }
        visited.remove_last();
        return out;
    }

    case object_type: {
        const map_t* map = static_cast<const map_t*>(record->content);
        if (map->count == 0)
            return "{}";

        // A nested object starts on a line of its own, indented like the keys
        // of the object holding it.
        std::string out;
        if (indent && depth > 0) {
            out += "\n";
            append_spaces(out, depth);
        }
        out += indent ? "{\n" : "{";
        visited.add(record);
        for (uint32_t i = 0; i < map->count; i++) {
            if (i > 0)
                out += indent ? ",\n" : ",";
            if (indent)
                append_spaces(out, depth + 1);
            const std::string& key = map->key_at(i);
            out += quoted(key);
            out += indent ? " : " : ":";
            append_value(out, map->get(key), visited, indent);
        }
        if (indent) {
            out += "\n";
            append_spaces(out, depth);
        }
        out += "}";
        visited.remove_last();
        return out;
    }

    default: return "";
    }
}
