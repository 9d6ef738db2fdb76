#include "server/connection.h"

connection::connection() : last_active(time(nullptr)) {}

connection::~connection() = default;

void connection::on_connect(int) {}

bool connection::on_eof() { return false; }

bool connection::wants_input() const { return true; }

connection*& connection::selected()
{
    static connection* current = nullptr;
    return current;
}
