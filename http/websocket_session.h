// The WebSocket side (RFC 6455, version 13) of one upgraded HTTP connection:
// reads the client's frames, assembles its messages and hands each to the
// connection's on_message, answers pings, and keeps the channels the
// connection has joined. The connection makes the session once its
// handshake has succeeded (handshake() writes the answer) and owns it until
// it ends; the session calls back into it (on_message, send_message) and
// sets its timeout.
//
// A session is live until it gives up: on a close frame, an unmasked frame,
// a frame or message over its limit, or when the connection calls give_up()
// (the default on_upgrade does, at once). From then on it reads no frame,
// drops every byte, and the connection ends once its output is sent, or
// when its idle limit runs out if it stays quiet.
//
// Channels: a process-wide registry from channel name to the connections in
// it. A connection is in the list of channel C exactly when C is a key of its
// session's `subscriptions`, and then once; a list exists only while it has
// members, and the registry owns the lists, not the connections. Nothing in
// this program subscribes, so an inconsistency is only reported, never
// repaired.
#pragma once

#include "base/arraylist.h"
#include "base/hashmap.h"

#include <cstddef>
#include <cstdint>
#include <string>

class http_connection;

// What a session tells the connection it serves as it reads frames
// (http_connection implements it); the session calls nothing else of the
// connection, so the two stay one-way.
class websocket_listener {
public:
    // A ping came: the connection answers it with a pong of this payload.
    virtual void on_ping(const std::string& payload) = 0;
    // A complete message is in the session's `message`.
    virtual void on_message() = 0;
    // The session reads no more frames: the connection may end soon.
    virtual void on_give_up() = 0;

protected:
    ~websocket_listener() = default;
};

class websocket_session {
public:
    // Largest payload frame() frames.
    static constexpr size_t max_send_payload = 1048575;

    // The limits of this session; the connection may change them in
    // on_upgrade. A frame over max_frame_length is refused from its header,
    // before its payload arrives.
    int32_t max_message_length = 10485760;
    int32_t max_frame_length = 1048576;
    // The message being assembled; complete while on_message runs.
    std::string message;
    base::hashmap<bool> subscriptions;  // names of the channels joined

    // `live` false: a session that gives up from the start (its request was
    // the connection's last). owner: the connection, as a member of channels
    // (and socket, for the messages about them); listener: told what the
    // frames say.
    websocket_session(http_connection* owner, int socket, websocket_listener& listener, bool live);
    websocket_session(const websocket_session&) = delete;
    websocket_session& operator=(const websocket_session&) = delete;
    // Leaves every channel in `subscriptions`.
    ~websocket_session();

    // The answer to an upgrade request with these Sec-WebSocket-Key and
    // Sec-WebSocket-Version values: true with the 101 head (to be written as
    // the request's answer) for version 13 with a key; false with a 400 head
    // otherwise, and the request goes on as an ordinary one.
    static bool handshake(const std::string& key, const std::string& version, std::string* answer);
    // One unfragmented, unmasked frame carrying payload; false, with an error
    // printed, when the payload is over max_send_payload.
    static bool frame(const std::string& payload, int opcode, std::string* out);

    // Bytes from the client: complete frames are read at once, the rest
    // waits for more. Dropped once the session has given up.
    void receive(const char* data, size_t len);
    bool live() const { return is_live; }
    // Reads no more frames, and lets the server end the connection soon
    // even if it stays quiet.
    void give_up();
    // Bytes received and not yet read as a frame: less than one frame of
    // max_frame_length while live.
    size_t unread() const { return pending.size(); }

    // The process-wide channel registry (see above).
    static base::hashmap<base::arraylist<http_connection*>*>& channels();

private:
    // Consumes the complete frames at the front of `pending`.
    void read_frames();

    http_connection* owner;
    int socket;
    websocket_listener& listener;
    std::string pending;  // frame bytes not read yet
    bool is_live;
};
