#include "proxy/address_range.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace {

// Whether the first `bits` bits of a and b are the same.
bool same_prefix(const uint8_t* a, const uint8_t* b, int bits)
{
    int whole = bits / 8, rest = bits % 8;
    if (memcmp(a, b, size_t(whole)) != 0)
        return false;
    if (rest == 0)
        return true;
    uint8_t mask = uint8_t(0xff << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

// Whether any bit past the first `bits` of `len` bytes is set.
bool bits_past(const uint8_t* a, int len, int bits)
{
    for (int i = 0; i < len * 8; i++)
        if (i >= bits && (a[i / 8] >> (7 - i % 8) & 1))
            return true;
    return false;
}

}  // namespace

address_range address_range::of(int family, const uint8_t* address, int bits)
{
    address_range r;
    r.family = family;
    memcpy(r.bytes, address, family == AF_INET ? 4 : 16);
    r.bits = bits;
    return r;
}

bool address_range::parse(std::string_view text, address_range* out, std::string* why)
{
    std::string_view address = text, length;
    if (size_t slash = text.find('/'); slash != std::string_view::npos) {
        address = text.substr(0, slash);
        length = text.substr(slash + 1);
    }
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    std::string zeroed(address);
    address_range r;
    int max;
    if (inet_pton(AF_INET, zeroed.c_str(), r.bytes) == 1) {
        r.family = AF_INET;
        max = 32;
    } else if (address.find(':') != std::string_view::npos && inet_pton(AF_INET6, zeroed.c_str(), r.bytes) == 1) {
        r.family = AF_INET6;
        max = 128;
    } else {
        *why = "not an address: " + std::string(address);
        return false;
    }
    r.bits = max;
    if (text.find('/') != std::string_view::npos) {
        if (length.empty() || length.size() > 3 || length.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoi(std::string(length)) > max) {
            *why = "not a prefix length: /" + std::string(length);
            return false;
        }
        r.bits = std::stoi(std::string(length));
    }
    if (bits_past(r.bytes, max / 8, r.bits)) {
        *why = "address bits set past the prefix length: " + std::string(text);
        return false;
    }
    // An IPv4-mapped network is the IPv4 network it maps.
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (r.family == AF_INET6 && r.bits >= 96 && memcmp(r.bytes, mapped, 12) == 0) {
        memmove(r.bytes, r.bytes + 12, 4);
        memset(r.bytes + 4, 0, 12);
        r.family = AF_INET;
        r.bits -= 96;
    }
    *out = r;
    return true;
}

bool address_range::contains(const socket_address& a) const
{
    socket_address one = a.canonical();
    if (one.family() != family)
        return false;
    if (family == AF_INET) {
        uint32_t v4 = one.v4();
        return same_prefix(reinterpret_cast<const uint8_t*>(&v4), bytes, bits);
    }
    return same_prefix(reinterpret_cast<const sockaddr_in6*>(one.get())->sin6_addr.s6_addr, bytes, bits);
}

std::string address_range::text() const
{
    char address[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, bytes, address, sizeof address);
    std::string out = address;
    if (bits != (family == AF_INET ? 32 : 128))
        out += "/" + std::to_string(bits);
    return out;
}
