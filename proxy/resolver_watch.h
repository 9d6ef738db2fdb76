// Whether the files c-ares reads when a channel is made (resolv.conf, the
// hosts file, nsswitch.conf) have changed, so that new queries should go to
// a new channel (resolver.h). A file replaced, rewritten or created counts;
// for a bind-mounted file only its time and size change. Looked at no more
// than once a second. The resolver thread's own.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

namespace resolver::detail {

class config_watch {
public:
    // The files, for the channel's own reading of them.
    static constexpr std::array<const char*, 3> files = {"/etc/resolv.conf", "/etc/hosts", "/etc/nsswitch.conf"};

    // Whether a second has passed since the last look and the files differ
    // from the ones last taken (always, the first time); taken() then
    // records them as in force once a channel has been made from them.
    bool changed();
    void taken()
    {
        in_force = seen;
        any_in_force = true;
    }

private:
    struct file_stamp {
        bool exists = false;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        int64_t mtime_ns = 0;
        bool operator==(const file_stamp&) const = default;
    };
    using stamp = std::array<file_stamp, files.size()>;

    static stamp now();

    stamp in_force{}, seen{};
    bool looked = false, any_in_force = false;
    int64_t last_look_ms = 0;
};

}  // namespace resolver::detail
