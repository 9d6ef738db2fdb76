// What the server's parts need of the server they work for: the factory and
// the hooks a server class overrides (abstract_server.h). The parts get this
// interface, never the server itself, so none of them depends on the class
// that owns them. Every call comes from the loop's thread, inside a turn or
// stop().
#pragma once

#include <cstdint>

class connection;

class server_hooks {
public:
    // The connection for an accepted client; null refuses the client.
    virtual connection* create_connection(uint32_t peer_address) = 0;
    // An accepted client's connection, socket and peer filled in; false
    // refuses it (the connection is deleted without on_remove: it was never
    // the server's).
    virtual bool on_accept(connection* c) = 0;
    // Every connection the server ends, just before it is deleted.
    virtual void on_remove(connection* c) = 0;
    // The socket I/O of every connection except spliced bytes, with the
    // results and errno of ::recv() and ::send().
    virtual int recv(connection* c, char* buf, int len) = 0;
    virtual int send(connection* c, const char* buf, int len) = 0;

protected:
    ~server_hooks() = default;
};
