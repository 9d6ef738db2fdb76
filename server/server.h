// The connection server for one kind of client connection: every accepted
// client becomes a T, made with `new T`.
#pragma once

#include "server/abstract_server.h"

template <typename T>
class server : public abstract_server {
public:
    server() = default;
    server(int32_t port, bool local_only) : abstract_server(port, local_only) {}

    T* create_connection(uint32_t) override { return new T; }
};
