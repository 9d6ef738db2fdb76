// What the proxy needs to know of a request to relay its answer: how the
// answer is read (its method, whether it asks to switch protocols, whether
// the client takes interim answers), whether a body follows the head, and
// whether the request may be sent twice (see proxy_relay.h, Never twice).
// Worked out once from the request's head by the client side, which reads
// its fields (request_facts.h); the relay and the origin connection only
// use the answers.
#pragma once

#include <cstdint>

struct request_kind {
    enum class method_class : uint8_t {
        other,       // may not be sent twice
        idempotent,  // GET, OPTIONS, TRACE, PUT, DELETE (see Never twice)
        head,        // HEAD: idempotent, and its answer has no body
        connect,     // CONNECT: a tunnel once connected
    };
    enum class body_form : uint8_t {
        none,            // the head is the whole request
        follows,         // a body follows the head
        after_continue,  // ...once the client has "100 Continue" (Expect: 100-continue)
    };
    method_class method = method_class::other;
    body_form body = body_form::none;
    bool upgrade = false;      // asks to switch protocols: a 101 opens a tunnel
    bool close_after = false;  // the client asked to close after the answer
    bool interim = true;       // the client takes 1xx answers (not HTTP/1.0)

    bool connect() const { return method == method_class::connect; }
    bool head() const { return method == method_class::head; }
    bool idempotent() const { return method == method_class::idempotent || method == method_class::head; }
};
