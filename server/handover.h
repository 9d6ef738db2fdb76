// What a connection's on_send hands to the server: `length` bytes (0 to the
// cap it was offered), where they are, and what follows them. The bytes are
// copied into the buffer on_send was offered (neither `data` nor `pipe`
// named), lent in place (`data`: storage that stays valid and unchanged
// until the next on_send call, keep_unsent() or the end of the connection),
// or waiting in a pipe (`pipe`, its read end, from which the server splices
// them to the socket; a pipe named wins over `data`). `then` says what follows once they have gone out:
// more output, the end of the output (the sending side is shut down while
// the connection goes on reading), the end of the connection, or both ends,
// the sending side shut before the socket is closed. An end of the output is
// for good (connection::output_ended()): on_send is still asked afterwards,
// hands over no bytes (the server sends none once the side is shut), and its
// `then` decides only when the connection ends. Once a result has said that
// the connection is finished, on_send is asked no more.
#pragma once

#include <cstdint>

struct handover {
    enum class next : uint8_t {
        more,            // more output may follow: on_send is asked again once these are out
        shut,            // no output follows: the sending side is shut down once these are out,
                         // and the connection stays open for what its peer still sends
        finish,          // the connection is finished once these are out (at once when there
                         // are none); its socket is closed as it is
        shut_and_finish, // both, the sending side shut first: a peer that may still be sending
                         // sees the end of the stream, not only the close (a close over unread
                         // input is a reset)
    };

    int32_t length = 0;
    const char* data = nullptr;  // the lent bytes; null: copied (or piped)
    int pipe = -1;               // the read end of the pipe they wait in; -1: in memory
    next then = next::more;

    static handover copied(int32_t length, next then = next::more) { return {length, nullptr, -1, then}; }
    static handover lent(const char* data, int32_t length, next then = next::more) { return {length, data, -1, then}; }
    static handover nothing(next then = next::more) { return {0, nullptr, -1, then}; }

    // The one of the four that says both: whether no output follows, and
    // whether the connection is finished once these bytes are out.
    static next after(bool output_ends, bool finished)
    {
        if (finished)
            return output_ends ? next::shut_and_finish : next::finish;
        return output_ends ? next::shut : next::more;
    }

    bool ends_output() const { return then == next::shut || then == next::shut_and_finish; }
    bool finishes() const { return then == next::finish || then == next::shut_and_finish; }
};
