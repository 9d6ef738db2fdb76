// The output a connection has handed to the server and its socket has not
// taken yet: one run of size() bytes. The run lives in one of three places:
//
//  - lent: in the connection's own storage, which the connection keeps valid
//    and unchanged until its next on_send;
//  - piped: in a pipe, and moves from its read end to the socket by splice(),
//    never entering user space;
//  - copied: in a buffer. on_send copies into one scratch buffer that every
//    connection shares; what the socket does not take at once moves to a
//    buffer of the connection's own (keep_copied()) before the scratch buffer
//    serves anyone else, and that buffer goes back to a pool as soon as the
//    run is out.
//
// So an idle connection, and one that sends from its own storage or a pipe,
// holds no buffer. When lent storage or a pipe is about to go away while
// bytes of the run are still in it, keep_unsent() copies them into a buffer
// of the run's own, and the run goes on from there.
//
// Owned by its connection and changed only by the server (connection.h);
// loop thread only.
#pragma once

#include <cstdint>

class pending_output {
public:
    // The most one run holds: the room on_send is offered.
    static constexpr int32_t capacity = 1048576;

    pending_output() = default;
    pending_output(const pending_output&) = delete;
    pending_output& operator=(const pending_output&) = delete;
    ~pending_output();

    int32_t size() const { return length; }
    // The pipe a piped run waits in (its read end), or -1 for a run in memory.
    int pipe() const { return from_pipe; }
    // The first unsent byte of a run in memory.
    const char* front() const { return (lent ? lent : buffer) + offset; }

    // A new run, the len bytes on_send handed over (the run is empty before):
    // from `data` (lent) or `fd` (piped) when on_send named one, otherwise
    // copied into `scratch`.
    void start(int32_t len, const char* data, int fd, const char* scratch)
    {
        length = len;
        offset = 0;
        from_pipe = len > 0 ? fd : -1;
        lent = len == 0 || fd >= 0 ? nullptr : data ? data : scratch;
    }

    // n bytes (1 to size()) have gone to the socket.
    void sent(int32_t n)
    {
        length -= n;
        offset += n;
    }

    // Bytes of the run still in `scratch` move to the run's own buffer, before
    // the scratch buffer is handed to another connection.
    void keep_copied(const char* scratch)
    {
        if (length > 0 && lent == scratch)
            move_to_own(scratch);
    }

    // Bytes of the run still lent or piped move to the run's own buffer, so
    // that the run no longer depends on the storage or pipe they came from.
    void keep_unsent();

    // Gives the run's buffer back to the pool unless the run waits in it.
    void release()
    {
        if (buffer && (length == 0 || lent || from_pipe >= 0))
            give_back();
    }

private:
    // The run's own buffer, taken from the pool if it has none.
    char* own_buffer();
    // The rest of the run, lent from `from`, moves to the run's own buffer.
    void move_to_own(const char* from);
    void give_back();

    const char* lent = nullptr;  // lent bytes, or the scratch buffer; null: in `buffer` or piped
    char* buffer = nullptr;      // the run's own capacity bytes, or null; uninitialised past the run
    int32_t offset = 0;          // of the first unsent byte, in `lent` or `buffer`
    int32_t length = 0;
    int from_pipe = -1;
};
