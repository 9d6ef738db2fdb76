#include "http/request_facts.h"

#include "base/text.h"

namespace {

using base::equals_nocase;
using base::is_blank;

// Calls fn(element) for every element of a comma-separated list value, each
// without the blanks around it; empty elements included.
template <typename F>
void for_each_element(std::string_view value, F fn)
{
    for (size_t from = 0;;) {
        size_t comma = value.find(',', from);
        fn(base::trim(value.substr(from, comma == std::string_view::npos ? comma : comma - from)));
        if (comma == std::string_view::npos)
            return;
        from = comma + 1;
    }
}

// 1*DIGIT that fits in 63 bits; -1 otherwise.
int64_t plain_number(std::string_view digits)
{
    if (digits.empty() || digits.size() > 18)  // 18 digits cannot overflow
        return -1;
    int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

bool request_line_is_sound(std::string_view line)
{
    size_t first = line.find(' ');
    if (first == std::string_view::npos || line.find(' ', first + 1) == std::string_view::npos)
        return false;
    for (char c : line)
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    return true;
}

}  // namespace

request_facts request_facts::read(std::string_view head)
{
    request_facts facts;
    bool malformed = !request_line_is_sound(head.substr(0, head.find("\r\n")));
    bool bad_length = false;
    bool has_length = false, lengths_differ = false;
    int64_t length = -1;
    bool has_coding = false;
    std::string_view last_coding;
    bool has_upgrade = false;
    std::string_view upgrade_option;

    for_each_header_line(head, [&](std::string_view line) {
        if (line.empty() || is_blank(line[0])) {
            malformed = true;  // obs-fold, or blanks before the first field
            return;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return;  // not a field; recipients ignore or refuse it, none frames by it
        std::string_view name = line.substr(0, colon);
        if (name.find_first_of(" \t") != std::string_view::npos) {
            malformed = true;
            return;
        }
        std::string_view value = line.substr(colon + 1);
        if (equals_nocase(name, "content-length")) {
            has_length = true;
            for_each_element(value, [&](std::string_view one) {
                int64_t n = plain_number(one);
                if (n < 0)
                    bad_length = true;
                else if (length < 0)
                    length = n;
                else if (n != length)
                    lengths_differ = true;
            });
        } else if (equals_nocase(name, "transfer-encoding")) {
            has_coding = true;
            for_each_element(value, [&](std::string_view coding) {
                if (!coding.empty())
                    last_coding = coding;
            });
        } else if (equals_nocase(name, "connection")) {
            for_each_element(value, [&](std::string_view option) {
                if (equals_nocase(option, "upgrade"))
                    upgrade_option = option;
            });
        } else if (equals_nocase(name, "upgrade"))
            has_upgrade = true;
    });

    bool chunked = equals_nocase(last_coding, "chunked");
    if (malformed)
        facts.problem = fault::malformed;
    else if (bad_length)
        facts.problem = fault::bad_length;
    else if ((has_coding && has_length) || lengths_differ || (has_coding && !chunked))
        facts.problem = fault::ambiguous;
    else if (chunked)
        facts.chunked = true;
    else if (has_length)
        facts.content_length = length;
    if (has_upgrade)
        facts.upgrade_option = upgrade_option;
    return facts;
}
