#include "server/connection.h"

#include <arpa/inet.h>

#include "base/unordered_erase.h"

connection::connection() : last_active(time(nullptr)), last_taken(last_active) {}

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

int connection::on_connect(int) { return -1; }

void connection::on_connect_slow() {}

std::string connection::peer_text() const
{
    char text[INET6_ADDRSTRLEN] = "";
    if (peer_v6) {
        inet_ntop(AF_INET6, &peer_address6, text, sizeof text);
        return "[" + std::string(text) + "]";
    }
    inet_ntop(AF_INET, &peer_address, text, sizeof text);
    return text;
}

bool connection::timed_out(time_t now) const { return now - last_active > timeout; }

bool connection::on_eof() { return false; }

bool connection::wants_input() const { return true; }

char* connection::receive_space(int*) { return nullptr; }

int connection::receive_pipe(int*) { return -1; }

void connection::on_piped(int) {}
