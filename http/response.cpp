// The sending half: write() queues an answer as pieces, on_send hands the
// pieces to the server, and the default on_request answers with an echo.
#include "http/http_connection.h"

#include "base/num.h"

#include <cstring>
#include <sys/types.h>

void http_connection::write(std::string headers, const std::string& body)
{
    if (responded) {
        puts("Warning! Double write() detected!");
        return;
    }
    // Without keep-alive the end of the connection delimits the body.
    if (keep_alive && get_header("content-length", headers).empty() &&
        get_header("transfer-encoding", headers).empty()) {
        char length[32];
        snprintf(length, sizeof length, "%zu", body.size());
        headers += "Content-Length: ";
        headers += length;
        headers += "\r\n";
    }
    headers += extra_headers;
    headers += "\r\n";
    if (method != "HEAD")
        headers += body;

    for (size_t at = 0; at < headers.size(); at += piece_size) {
        response_part* part = new response_part();
        part->data = headers.substr(at, piece_size);
        responses.add(part);
    }
    responded = true;
}

bool http_connection::on_send(char* buf, int cap, int* len)
{
    // Every path reports a length, those that hand nothing over included.
    *len = 0;
    if (responses.empty())
        return responded ? keep_alive : true;
    response_part* part = responses.first();

    if (part->file) {
        int64_t n = cap;
        if (part->remaining >= 0) {
            if (part->remaining < double(n))
                n = int64_t(part->remaining);
            part->remaining -= double(n);
        }
        if (n <= 0) {
            *len = 0;
            delete responses.pop();
            return true;
        }
        size_t got = fread(buf, 1, size_t(n), part->file);
        *len = int(got);
        if (got < size_t(n))
            delete responses.pop();  // end of file or a read error
        return true;
    }

    if (part->thread) {
        if (!part->thread->done)
            return true;  // asked again next turn
        std::string text = part->thread->result;
        char size[32];
        snprintf(size, sizeof size, "%zX", text.size());
        std::string framed = std::string(size) + "\r\n" + text + "\r\n0\r\n\r\n";
        if (framed.size() > size_t(cap)) {
            printf("Warning! Thread response (%zd) exceeds buffer size (%d).\n", ssize_t(framed.size()), cap);
            framed = "0\r\n\r\n";
        }
        timeout = part->timeout;
        // From here on the piece is plain data, handed over as the cap allows.
        part->data = std::move(framed);
        delete part->thread;
        part->thread = nullptr;
    }

    // A data piece larger than the buffer (a WebSocket frame can be) goes
    // over in several calls.
    size_t n = part->data.size() - part->sent;
    if (n > size_t(cap))
        n = size_t(cap);
    memcpy(buf, part->data.data() + part->sent, n);
    part->sent += n;
    *len = int(n);
    if (part->sent >= part->data.size())
        delete responses.pop();
    return true;
}

void http_connection::on_request()
{
    std::string content = head + "\r\n" + base::num(double(body.size())) + " bytes of content";
    write("HTTP/1.1 200 OK\r\nContent-Type: " + std::string("text/plain") + "\r\n", content);
}
