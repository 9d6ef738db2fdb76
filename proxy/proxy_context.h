// What the proxy's connections share, in one object instead of process-wide
// state: the server that takes the connections they open, the settings in
// force, and the pool of idle origin connections. Made by main with the
// server, which ends every connection before the context goes; each client
// connection gets it when it is made and hands it to the parts that need it
// (a race, its attempts). Loop's thread only.
#pragma once

#include "proxy/origin_pool.h"
#include "proxy/settings.h"

class abstract_server;

struct proxy_context {
    explicit proxy_context(abstract_server& server) : server(server) {}
    proxy_context(const proxy_context&) = delete;
    proxy_context& operator=(const proxy_context&) = delete;

    abstract_server& server;
    settings config;
    origin_pool pool;
};
