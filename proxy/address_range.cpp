#include "proxy/address_range.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace {

// Whether any bit past the first `bits` of `len` bytes is set.
bool bits_past(const uint8_t* a, int len, int bits)
{
    for (int i = bits; i < len * 8; i++)
        if (a[i / 8] >> (7 - i % 8) & 1)
            return true;
    return false;
}

uint64_t big_endian(const uint8_t* p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}

// The mask of the first `bits` (0 to 64) of a 64-bit number.
uint64_t leading(int bits) { return bits <= 0 ? 0 : bits >= 64 ? ~uint64_t(0) : ~uint64_t(0) << (64 - bits); }

}  // namespace

address_range address_range::of(int family, const uint8_t* address, int bits)
{
    address_range r;
    r.family = family;
    memcpy(r.bytes, address, family == AF_INET ? 4 : 16);
    r.bits = bits;
    r.make_masks();
    return r;
}

void address_range::make_masks()
{
    if (family == AF_INET) {
        mask_high = 0;
        mask_low = leading(bits) >> 32;
        net_high = 0;
        net_low = big_endian(bytes, 4) & mask_low;
    } else {
        mask_high = leading(bits);
        mask_low = leading(bits - 64);
        net_high = big_endian(bytes, 8) & mask_high;
        net_low = big_endian(bytes + 8, 8) & mask_low;
    }
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
    r.make_masks();
    *out = r;
    return true;
}

address_range::key address_range::key_of(const socket_address& a)
{
    socket_address one = a.canonical();
    key k;
    k.family = one.family();
    if (k.family == AF_INET) {
        uint32_t v4 = one.v4();
        k.low = big_endian(reinterpret_cast<const uint8_t*>(&v4), 4);
    } else if (k.family == AF_INET6) {
        const uint8_t* six = reinterpret_cast<const sockaddr_in6*>(one.get())->sin6_addr.s6_addr;
        k.high = big_endian(six, 8);
        k.low = big_endian(six + 8, 8);
    }
    return k;
}

bool address_range::contains(const socket_address& a) const { return contains(key_of(a)); }

std::string address_range::text() const
{
    char address[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, bytes, address, sizeof address);
    std::string out = address;
    if (bits != (family == AF_INET ? 32 : 128))
        out.append(1, '/').append(std::to_string(bits));  // (not "/" + ...: a false -Wrestrict in g++ 12 at -O3)
    return out;
}
