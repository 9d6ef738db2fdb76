// The connection server for one kind of client connection: every accepted
// client becomes a T, made with `new T`. Default- rather than
// value-initialised, on purpose: value-initialising a class without a
// user-written constructor zeroes the whole object first, 1 MiB of send
// buffer included, which makes every idle connection cost that much memory.
// Every field has an initialiser; the buffer needs none.
#pragma once

#include "server/abstract_server.h"

template <typename T>
class server : public abstract_server {
public:
    server() = default;
    server(int32_t port, bool local_only) : abstract_server(port, local_only) {}

    T* create_connection(uint32_t) override { return new T; }
};
