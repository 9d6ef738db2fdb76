// Cutting a value's text into pieces at single separator bytes.
#include <cstring>
#include <string>

#include "base/arraylist.h"
#include "var/var.h"

var var::split(const std::string& separators) const
{
    // One working copy: separators are overwritten with zero bytes in place,
    // so every piece is the zero-terminated text at its start position. A zero
    // byte already in the text therefore ends its piece early.
    std::string text = *this;
    base::arraylist<size_t> starts;
    starts.add(0);
    for (size_t at = text.find_first_of(separators); at != std::string::npos;
         at = text.find_first_of(separators, at + 1)) {
        text[at] = '\0';
        starts.add(at + 1);
    }

    var result = var::array();
    static_cast<base::arraylist<var*>*>(result.record->content)->reserve(starts.size);
    for (uint32_t i = 0; i < starts.size; i++)
        result.push(var(std::string(text.c_str() + starts.data[i])));
    return result;
}
