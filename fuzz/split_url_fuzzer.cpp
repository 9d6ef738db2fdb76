// Request targets through split_url; host names through utf8_to_idn, which
// keeps the dots and ASCII labels (cut at a zero byte), and turns the others
// into "xn--" and ASCII or keeps them.
#include "fuzz/check.h"
#include "proxy/split_url.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

bool ascii(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return uint8_t(c) < 0x80; });
}

std::vector<std::string> labels_of(const std::string& host)
{
    std::vector<std::string> labels(1);
    for (char c : host)
        if (c == '.')
            labels.emplace_back();
        else
            labels.back() += c;
    return labels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string path = split_url(input).path;
    FUZZ_CHECK(path == "/" || (path.starts_with("/") && input.ends_with(path)), "path is not a tail of the target");

    std::string idn = split_url::utf8_to_idn(input);
    std::vector<std::string> from = labels_of(input), to = labels_of(idn);
    FUZZ_CHECK(from.size() == to.size(), "the conversion changed the number of labels");
    for (size_t i = 0; i < from.size(); i++) {
        std::string label = from[i].substr(0, from[i].find('\0'));
        FUZZ_CHECK(to[i] == label || (!ascii(label) && to[i].starts_with("xn--") && ascii(to[i])),
                   "a label was converted wrongly");
    }
    return 0;
}
