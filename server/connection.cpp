#include "server/connection.h"

#include <arpa/inet.h>

#include "base/unordered_erase.h"
#include "server/clock.h"

connection::connection() : last_active(monotonic_ms()), last_taken(last_active) {}

connection::~connection()
{
    if (awake)
        base::unordered_erase(woken(), this);
}

void connection::wake()
{
    if (awake)
        return;
    awake = true;
    woken().push_back(this);
}

std::vector<connection*>& connection::woken()
{
    static std::vector<connection*> list;
    return list;
}

connection*& connection::selection()
{
    static connection* current = nullptr;
    return current;
}

uint64_t& connection::turn_number()
{
    static uint64_t number = 0;
    return number;
}

int64_t& connection::turn_clock()
{
    static int64_t clock = monotonic_ms();
    return clock;
}

int connection::on_connect(int) { return -1; }

void connection::on_connect_slow() {}

std::string connection::peer_text() const
{
    char text[INET6_ADDRSTRLEN] = "";
    if (peer_v6) {
        inet_ntop(AF_INET6, &peer_address6, text, sizeof text);
        std::string bracketed(1, '[');  // (not "[" + ...: a false -Wrestrict in g++ 12 at -O3)
        return bracketed.append(text).append(1, ']');
    }
    return socket_address::dotted(peer_address);
}

socket_address connection::peer_socket_address() const
{
    if (peer_v6) {
        sockaddr_in6 six{};
        six.sin6_family = AF_INET6;
        six.sin6_addr = peer_address6;
        six.sin6_port = htons(uint16_t(peer_port));
        return socket_address(reinterpret_cast<const sockaddr*>(&six), sizeof six);
    }
    if (peer_port == 0)
        return socket_address();
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_addr.s_addr = peer_address;
    four.sin_port = htons(uint16_t(peer_port));
    return socket_address(reinterpret_cast<const sockaddr*>(&four), sizeof four);
}

bool connection::timed_out(int64_t at) const { return at - last_active > int64_t(timeout) * 1000; }

int64_t connection::deadline() const { return last_active + int64_t(timeout) * 1000 + 1; }

bool connection::on_eof() { return false; }

bool connection::wants_input() const { return true; }

char* connection::receive_space(int*) { return nullptr; }

int connection::receive_pipe(int*) { return -1; }

void connection::on_piped(int) {}
