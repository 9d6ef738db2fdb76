// A block of IP addresses, written "ADDR/LEN" (a network: the first LEN bits
// of ADDR) or "ADDR" (that address alone), as the egress policy names
// clients and destinations. A value type.
//
// Addresses are compared in one form only: an IPv4-mapped IPv6 address (in a
// range or in an address checked against one) is its IPv4 address, as
// socket_address::canonical() gives it, so "::ffff:127.0.0.1" is inside
// 127.0.0.0/8 and a range written "::ffff:10.0.0.0/104" is 10.0.0.0/8.
#pragma once

#include "server/socket_address.h"

#include <cstdint>
#include <string>
#include <string_view>

class address_range {
public:
    // Reads "ADDR[/LEN]": ADDR an IPv4 address in dotted-quad form or an
    // IPv6 address as inet_pton reads it (in brackets or not), LEN 0 to 32
    // or 0 to 128 in decimal. False, with the reason in *why, when it is
    // not one, or when ADDR has bits set past LEN (a typo more often than
    // not: "10.1.2.3/8" would read as 10.0.0.0/8).
    static bool parse(std::string_view text, address_range* out, std::string* why);

    // The range of one family made of `bits` leading bits of `address`
    // (4 or 16 bytes in network order).
    static address_range of(int family, const uint8_t* address, int bits);

    // Whether `a` (any form) lies in the range.
    bool contains(const socket_address& a) const;

    // An address in the one form ranges compare (`a` made canonical once,
    // for checking it against many ranges): its bits as two numbers, an
    // IPv4 address in the low 32 bits of the second.
    struct key {
        int family = 0;
        uint64_t high = 0, low = 0;
    };
    static key key_of(const socket_address& a);
    bool contains(const key& k) const
    {
        return k.family == family && (k.high & mask_high) == net_high && (k.low & mask_low) == net_low;
    }

    // "10.0.0.0/8", "fc00::/7"; a single address without its length.
    std::string text() const;

private:
    // The network's address and the mask of its prefix, as in key.
    void make_masks();

    int family = 0;  // AF_INET or AF_INET6
    uint8_t bytes[16] = {};
    int bits = 0;
    uint64_t net_high = 0, net_low = 0, mask_high = 0, mask_low = 0;
};
