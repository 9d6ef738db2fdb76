#include "http/http_connection.h"

#include "base/find.h"

http_connection::thread_response::~thread_response() = default;

http_connection::response_part::~response_part()
{
    if (file)
        fclose(file);
    delete thread;
}

// Every field starts as declared in the class; an accepted client needs no
// argument.
http_connection::http_connection() = default;

http_connection::~http_connection()
{
    // Unsent pieces die with the connection: there is nobody left to send
    // them to.
    while (!responses.empty())
        delete responses.pop();
    leave_channels();
}

void http_connection::reset()
{
    max_request_length = default_max_request_length;
    headers_received = false;
    responded = false;
    head.clear();
    body.clear();
    content_length = 0;
    body_received = 0;
    received = 0;
    chunked = false;
    facts = request_facts();
    decoder.reset();
    completed = false;
    message.clear();
    extra_headers.clear();
    cookie.clear();
    query.clear();
    path.clear();
    version.clear();
    url.clear();
    method.clear();
}

std::string http_connection::get_header(const std::string& name, const std::string& text)
{
    // The "\r\n" in front keeps the request line from matching and makes the
    // name match only at the start of a line.
    size_t at = base::find(text, "\r\n" + name);
    if (at == std::string::npos)
        return "";
    size_t start = at + 2 + name.size() + 2;  // "\r\n", the name, ": "
    if (start >= text.size())
        return "";
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos)
        end = text.size();
    return text.substr(start, end - start);
}
