#include "server/connection.h"

connection::connection() : last_active(time(nullptr)) {}

connection::~connection() = default;

void connection::on_connect(int) {}

bool connection::on_eof() { return false; }

bool connection::wants_input() const { return true; }

char* connection::receive_space(int*) { return nullptr; }

connection*& connection::selected()
{
    static connection* current = nullptr;
    return current;
}
