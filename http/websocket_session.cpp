#include "http/websocket_session.h"

#include "base/base64.h"
#include "base/sha1.h"

#include <cstdio>
#include <cstdlib>
#include <sys/types.h>

namespace {

const char accept_guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

}  // namespace

websocket_session::websocket_session(http_connection* owner, int socket, websocket_listener& listener, bool live)
    : owner(owner), socket(socket), listener(listener), is_live(live)
{
}

websocket_session::~websocket_session()
{
    base::hashmap<base::arraylist<http_connection*>*>& registry = channels();
    for (uint32_t i = 0; i < subscriptions.size(); i++) {
        const std::string& name = subscriptions.key_at(i);
        base::arraylist<http_connection*>* members = registry.get(name);
        if (!members) {
            printf("Error! Channel not found: %s\n", name.c_str());
            continue;
        }
        int64_t at = members->index_of(owner);
        if (at < 0) {
            printf("Error! Subscription for %d to %s not found!\n", socket, name.c_str());
            continue;
        }
        members->remove_at(uint32_t(at));
        if (members->size == 0) {
            registry.unset(name);
            delete members;
        }
    }
}

base::hashmap<base::arraylist<http_connection*>*>& websocket_session::channels()
{
    // The lists are freed as their last member leaves; at exit only the
    // names and tables are released.
    static base::hashmap<base::arraylist<http_connection*>*> registry;
    return registry;
}

bool websocket_session::handshake(const std::string& key, const std::string& version, std::string* answer)
{
    long version_number = strtol(version.c_str(), nullptr, 10);
    if (version_number != 13 || key.empty()) {
        *answer = "HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\n";
        return false;
    }
    *answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
              base::base64(base::sha1(key + accept_guid)) + "\r\n";
    return true;
}

void websocket_session::give_up()
{
    is_live = false;
    listener.on_give_up();
}

void websocket_session::receive(const char* data, size_t len)
{
    // Keeping the bytes of a session that has given up would only let the
    // peer grow memory until the connection ends.
    if (!is_live)
        return;
    pending.append(data, len);
    read_frames();
}

void websocket_session::read_frames()
{
    size_t pos = 0;
    // on_message may give up, which stops the reader too.
    while (is_live && pending.size() - pos >= 6) {
        const unsigned char* f = reinterpret_cast<const unsigned char*>(pending.data()) + pos;
        size_t available = pending.size() - pos;
        bool fin = f[0] & 0x80;
        int opcode = f[0] & 0x0F;
        if (!(f[1] & 0x80)) {
            puts("Warning! Incoming frame has no mask.");
            give_up();
            return;
        }
        uint64_t length = f[1] & 0x7F;
        size_t key_at = 2;
        if (length == 126) {
            if (available < 8)
                break;
            length = uint64_t(f[2]) << 8 | f[3];
            key_at = 4;
        } else if (length == 127) {
            if (available < 14)
                break;
            length = 0;
            for (int i = 2; i < 10; i++)
                length = length << 8 | f[i];
            key_at = 10;
        }
        // Checked before waiting for the payload, so a peer cannot make the
        // connection buffer an oversized frame.
        if (length > uint64_t(max_frame_length)) {
            printf("Warning! Frame exceeds max length of %d.\n", max_frame_length);
            give_up();
            return;
        }
        size_t payload_at = key_at + 4;
        if (available - payload_at < length)
            break;  // the payload has not all arrived
        const unsigned char* key = f + key_at;
        std::string payload(reinterpret_cast<const char*>(f + payload_at), size_t(length));
        for (size_t i = 0; i < payload.size(); i++)
            payload[i] = char(payload[i] ^ key[i % 4]);
        pos += payload_at + size_t(length);

        switch (opcode) {
        case 9:
            listener.on_ping(payload);
            break;
        case 8:
            // No close frame goes back.
            give_up();
            return;
        case 0:
        case 1:
        case 2:
            // The first frame's opcode is not kept: text and binary messages
            // look alike to on_message.
            message += payload;
            if (message.size() > size_t(max_message_length)) {
                printf("Warning! Message exceeds max length of %d.\n", max_message_length);
                give_up();
                return;
            }
            if (fin) {
                listener.on_message();
                message.clear();
            }
            break;
        default:
            printf("Warning! Unhandled opcode: %d\n", opcode);
            break;
        }
    }
    pending.erase(0, pos);
}

bool websocket_session::frame(const std::string& payload, int opcode, std::string* out)
{
    size_t n = payload.size();
    if (n > max_send_payload) {
        printf("send_message() error! Message too long: %zd\n", ssize_t(n));
        return false;
    }
    std::string& f = *out;
    f.clear();
    f.reserve(10 + n);
    f += char(0x80 | (opcode & 0x7F));
    if (n <= 125)
        f += char(n);
    else if (n < 65536) {
        f += char(126);
        f += char(n >> 8);
        f += char(n & 0xFF);
    } else {
        f += char(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            f += char((uint64_t(n) >> shift) & 0xFF);
    }
    f += payload;
    return true;
}
