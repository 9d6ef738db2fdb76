#include "http/request_facts.h"

#include "base/text.h"

namespace {

using base::equals_nocase;

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

// method SP target SP "HTTP/1." DIGIT, each part as the grammar in the
// header says: no second reading of where the target ends is possible.
bool request_line_is_sound(std::string_view line)
{
    size_t first = line.find(' ');
    if (first == std::string_view::npos || !base::is_token(line.substr(0, first)))
        return false;
    size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos || second == first + 1)
        return false;
    for (char c : line.substr(first + 1, second - first - 1)) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7f)
            return false;
    }
    std::string_view version = line.substr(second + 1);
    return version.size() == 8 && version.starts_with("HTTP/1.") && version[7] >= '0' && version[7] <= '9';
}

}  // namespace

bool field_facts::names_option(std::string_view option) const
{
    // ",a,b," holds every option between two commas.
    for (size_t from = 1; from < connection_options.size();) {
        size_t comma = connection_options.find(',', from);
        if (equals_nocase(std::string_view(connection_options).substr(from, comma - from), option))
            return true;
        from = comma + 1;
    }
    return false;
}

field_facts field_facts::read_fields(std::string_view head)
{
    field_facts facts;
    bool malformed = false, bad_length = false;
    bool has_length = false, lengths_differ = false;
    int64_t length = -1;
    bool has_coding = false;
    std::string_view last_coding;
    bool has_upgrade = false;
    std::string_view upgrade_option;
    int credentials = 0;

    for_each_header_line(head, [&](std::string_view line) {
        // A line that is not a field, or whose name is not a token (a folded
        // line, a blank before the colon, NUL or CR in the name), is read by
        // some recipients as a field with another name or as two lines: no
        // rule below could be sure of having seen it.
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || !base::is_token(line.substr(0, colon))) {
            malformed = true;
            return;
        }
        std::string_view name = line.substr(0, colon);
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
                if (option.empty())
                    return;
                if (equals_nocase(option, "upgrade"))
                    upgrade_option = option;
                facts.connection_options += base::lower(option);
                facts.connection_options += ',';
            });
        } else if (equals_nocase(name, "upgrade"))
            has_upgrade = true;
        else if (equals_nocase(name, "host")) {
            if (facts.hosts++ == 0)
                facts.host = base::trim(value);
        } else if (equals_nocase(name, "proxy-authorization")) {
            if (credentials++ == 0)
                facts.proxy_authorization = base::trim(value);
        } else if (equals_nocase(name, "expect"))
            facts.expects_continue = equals_nocase(base::trim(value), "100-continue");
    });
    if (!facts.connection_options.empty())
        facts.connection_options.insert(0, 1, ',');
    if (facts.hosts != 1)
        facts.host.clear();
    if (credentials != 1)
        facts.proxy_authorization.clear();

    bool chunked = equals_nocase(last_coding, "chunked");
    if (malformed)
        facts.problem = fault::malformed;
    else if (bad_length)
        facts.problem = fault::bad_length;
    else if ((has_coding && has_length) || lengths_differ || (has_coding && !chunked))
        facts.problem = fault::ambiguous;
    else if (chunked)
        facts.chunked = true;
    else if (has_length) {
        facts.has_length = true;
        facts.content_length = length;
    }
    if (has_upgrade)
        facts.upgrade_option = upgrade_option;
    return facts;
}

request_facts request_facts::read(std::string_view head)
{
    request_facts facts;
    static_cast<field_facts&>(facts) = read_fields(head);
    // Two Host fields name two origins; which one an origin takes is
    // anybody's guess.
    if (!request_line_is_sound(head.substr(0, head.find("\r\n"))) || facts.hosts > 1)
        facts.problem = fault::malformed;
    if (facts.problem != fault::none) {
        facts.chunked = facts.has_length = false;
        facts.content_length = 0;
    }
    facts.has_host = facts.hosts == 1;
    return facts;
}
