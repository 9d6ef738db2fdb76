// Request targets through split_url, and host names through its IDN
// conversion.
//
// Invariants checked besides the sanitizers':
//  - the path begins with "/" and is "/" or the input's own tail;
//  - the conversion keeps every dot; each output label is the input label
//    (cut at a zero byte) or "xn--" and ASCII, and a label that was ASCII
//    is kept;
//  - an all-ASCII result converts to itself.
#include "fuzz/check.h"
#include "proxy/split_url.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::string> labels_of(const std::string& host)
{
    std::vector<std::string> labels(1);
    for (char c : host) {
        if (c == '.')
            labels.emplace_back();
        else
            labels.back() += c;
    }
    return labels;
}

bool is_ascii(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return uint8_t(c) < 0x80; });
}

void check_idn(const std::string& host)
{
    std::string idn = split_url::utf8_to_idn(host);
    std::vector<std::string> in = labels_of(host), out = labels_of(idn);
    FUZZ_CHECK(in.size() == out.size(), "the conversion changed the number of labels");
    for (size_t i = 0; i < in.size(); i++) {
        std::string label = in[i].substr(0, in[i].find('\0'));
        if (is_ascii(label))
            FUZZ_CHECK(out[i] == label, "an ASCII label was changed");
        else if (out[i] != label)
            FUZZ_CHECK(out[i].compare(0, 4, "xn--") == 0 && is_ascii(out[i]), "a converted label is not xn-- and ASCII");
    }
    if (is_ascii(idn))
        FUZZ_CHECK(split_url::utf8_to_idn(idn) == idn, "converting an ASCII host again changed it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);

    split_url u(input);
    FUZZ_CHECK(!u.path.empty() && u.path[0] == '/', "path does not begin with /");
    FUZZ_CHECK(u.path == "/" || (input.size() >= u.path.size() &&
                                 input.compare(input.size() - u.path.size(), u.path.size(), u.path) == 0),
               "path is not the tail of the target");

    check_idn(input);
    return 0;
}
