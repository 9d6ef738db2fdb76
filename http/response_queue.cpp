#include "http/response_queue.h"

#include <cstring>
#include <sys/types.h>

response_queue::thread_response::~thread_response() = default;

response_queue::piece::~piece()
{
    if (file)
        fclose(file);
    delete thread;
}

response_queue::~response_queue()
{
    // Unsent pieces die with the connection: there is nobody left to send
    // them to.
    while (!pieces.empty())
        delete pieces.pop();
}

void response_queue::add_data(std::string bytes)
{
    piece* p = new piece();
    p->data = std::move(bytes);
    pieces.add(p);
}

void response_queue::write(std::string head, const std::string& body, bool add_length, bool with_body)
{
    if (is_answered) {
        puts("Warning! Double write() detected!");
        return;
    }
    if (add_length) {
        char length[32];
        snprintf(length, sizeof length, "%zu", body.size());
        head += "Content-Length: ";
        head += length;
        head += "\r\n";
    }
    head += extra_headers;
    head += "\r\n";
    if (with_body)
        head += body;

    for (size_t at = 0; at < head.size(); at += piece_size)
        add_data(head.substr(at, piece_size));
    is_answered = true;
}

void response_queue::next_request()
{
    is_answered = false;
    extra_headers.clear();
}

int response_queue::take(char* buf, int cap, int32_t* timeout)
{
    if (pieces.empty())
        return 0;
    piece* p = pieces.first();

    if (p->file) {
        int64_t n = cap;
        if (p->remaining >= 0) {
            if (p->remaining < double(n))
                n = int64_t(p->remaining);
            p->remaining -= double(n);
        }
        if (n <= 0) {
            delete pieces.pop();
            return 0;
        }
        size_t got = fread(buf, 1, size_t(n), p->file);
        if (got < size_t(n))
            delete pieces.pop();  // end of file or a read error
        return int(got);
    }

    if (p->thread) {
        if (!p->thread->done)
            return 0;
        std::string text = p->thread->result;
        char size[32];
        snprintf(size, sizeof size, "%zX", text.size());
        std::string framed = std::string(size) + "\r\n" + text + "\r\n0\r\n\r\n";
        if (framed.size() > size_t(cap)) {
            printf("Warning! Thread response (%zd) exceeds buffer size (%d).\n", ssize_t(framed.size()), cap);
            framed = "0\r\n\r\n";
        }
        *timeout = p->timeout;
        p->data = std::move(framed);
        delete p->thread;
        p->thread = nullptr;
    }

    size_t n = p->data.size() - p->sent;
    if (n > size_t(cap))
        n = size_t(cap);
    memcpy(buf, p->data.data() + p->sent, n);
    p->sent += n;
    if (p->sent >= p->data.size())
        delete pieces.pop();
    return int(n);
}
