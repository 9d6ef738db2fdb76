#include "proxy/resolver_watch.h"

#include "server/clock.h"

#include <sys/stat.h>

namespace resolver::detail {

config_watch::stamp config_watch::now()
{
    stamp s;
    for (size_t i = 0; i < files.size(); i++) {
        struct stat st;
        if (stat(files[i], &st) == 0)
            s[i] = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    }
    return s;
}

bool config_watch::changed()
{
    int64_t at = monotonic_ms();
    if (looked && at - last_look_ms < 1000)
        return false;
    looked = true;
    last_look_ms = at;
    seen = now();  // before c-ares reads: a later change shows next time
    return !any_in_force || !(seen == in_force);
}

}  // namespace resolver::detail
