// WebSocket (RFC 6455, version 13): the handshake, reading client frames and
// framing outgoing messages.
//
// On an upgraded connection keep_alive means "frames are still processed".
// Every place that gives up goes through give_up_websocket(), so the server
// also ends the connection soon even if it stays quiet.
#include "http/http_connection.h"

#include "base/base64.h"
#include "base/sha1.h"

#include <cstdlib>
#include <sys/types.h>

namespace {

const char accept_guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

}  // namespace

void http_connection::handshake()
{
    std::string key = get_header("Sec-WebSocket-Key", head);
    long version_number = strtol(get_header("Sec-WebSocket-Version", head).c_str(), nullptr, 10);
    if (version_number != 13 || key.empty()) {
        // The request goes on as an ordinary one.
        write("HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\n", "");
        return;
    }
    std::string accept = base::base64(base::sha1(key + accept_guid));
    write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
              accept + "\r\n",
          "");
    websocket = true;
    timeout = 100;
    max_request_length = 0;  // frames are limited by the frame and message limits
    on_upgrade();
}

void http_connection::give_up_websocket()
{
    keep_alive = false;
    timeout = 0;
}

void http_connection::on_upgrade() { give_up_websocket(); }

void http_connection::on_message() { send_message(message, 1); }

void http_connection::read_frames()
{
    size_t pos = 0;
    // A handler that clears keep_alive stops the reader too.
    while (keep_alive && body.size() - pos >= 6) {
        const unsigned char* f = reinterpret_cast<const unsigned char*>(body.data()) + pos;
        size_t available = body.size() - pos;
        bool fin = f[0] & 0x80;
        int opcode = f[0] & 0x0F;
        if (!(f[1] & 0x80)) {
            puts("Warning! Incoming frame has no mask.");
            give_up_websocket();
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
            give_up_websocket();
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
            send_message(payload, 10);
            break;
        case 8:
            // No close frame goes back.
            give_up_websocket();
            return;
        case 0:
        case 1:
        case 2:
            // The first frame's opcode is not kept: text and binary messages
            // look alike to on_message.
            message += payload;
            if (message.size() > size_t(max_message_length)) {
                printf("Warning! Message exceeds max length of %d.\n", max_message_length);
                give_up_websocket();
                return;
            }
            if (fin) {
                on_message();
                message.clear();
            }
            break;
        default:
            printf("Warning! Unhandled opcode: %d\n", opcode);
            break;
        }
    }
    body.erase(0, pos);
}

void http_connection::send_message(const std::string& payload, int opcode)
{
    size_t n = payload.size();
    if (n > max_send_payload) {
        printf("send_message() error! Message too long: %zd\n", ssize_t(n));
        return;
    }
    std::string frame;
    frame.reserve(10 + n);
    frame += char(0x80 | (opcode & 0x7F));
    if (n <= 125)
        frame += char(n);
    else if (n < 65536) {
        frame += char(126);
        frame += char(n >> 8);
        frame += char(n & 0xFF);
    } else {
        frame += char(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += char((uint64_t(n) >> shift) & 0xFF);
    }
    frame += payload;
    response_part* part = new response_part();
    part->data = std::move(frame);
    responses.add(part);
}
