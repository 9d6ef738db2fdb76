// The program's entry: command line, settings, run loop.
#include "base/escape.h"
#include "base/for_each_line.h"
#include "base/text.h"
#include "main/blacklist_file.h"
#include "main/policy_file.h"
#include "main/settings_reload.h"
#include "proxy/access_log.h"
#include "proxy/blacklist_proxy.h"
#include "proxy/metrics.h"
#include "server/wakeup.h"
#include "proxy/proxy_context.h"
#include "server/log_output.h"
#include "server/abstract_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>
#include <vector>

namespace {

// Writing to a socket whose peer has gone must fail with an error instead of
// ending the process; this runs during static initialisation.
bool ignore_sigpipe()
{
    signal(SIGPIPE, SIG_IGN);
    return true;
}

[[maybe_unused]] bool ignore_sigpipe_called = ignore_sigpipe();

// The proxy's server: every client a blacklist_proxy, sharing the context
// the server owns. The connections end before the context goes.
class proxy_server : public abstract_server {
public:
    proxy_server(int32_t port, bool local_only) : abstract_server(port, local_only) {}
    ~proxy_server() override { stop(); }

    blacklist_proxy* create_connection(uint32_t) override { return new blacklist_proxy(context); }

    proxy_context context{*this};
};

const char usage[] =
    "USAGE:\n"
    "\tproxy [port] -a [username:password] -b [blacklist]\n"
    "WHERE:\n"
    "\t-[port] is the port (negative = all adapters, positive = localhost only)\n"
    "\t-if -a is set, [username:password] are the credentials for basic proxy authentication\n"
    "\t-if -b is set, [blacklist] is a text file containing a list of domains to block, one per line\n";

// strtol's reading of the port, kept within 32 bits and with a magnitude
// that fits them too.
int32_t parse_port(const char* text)
{
    int32_t port = base::to_int32(text);
    return port == INT32_MIN ? -INT32_MAX : port;
}

}  // namespace

int main(int argc, char** argv)
{
    // Log lines show up at once, also through a pipe or a file, and a reader
    // that stops reading never holds up the proxy.
    log_output::start();
    // Send buffers (1 MiB, lent to connections while they copy output) are
    // written only as far as the output goes. A fixed threshold keeps every
    // such allocation a fresh mapping of its own, which costs only the pages
    // written and gives its memory back at once when freed, instead of the
    // allocator recycling heap memory whose pages another buffer dirtied.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);

    if (argc < 2) {
        puts(usage);
        return 0;
    }
    int32_t port = parse_port(argv[1]);
    proxy_server proxy(port < 0 ? -port : port, port >= 0);
    settings& config = proxy.context.config;
    std::vector<std::string> lists, policies;
    for (int i = 2; i < argc;) {
        if (strcmp(argv[i], "-a") == 0 && i + 1 < argc) {
            config.auth = argv[i + 1];
            i += 2;
        } else if (strcmp(argv[i], "-b") == 0 && i + 1 < argc) {
            lists.push_back(argv[i + 1]);
            // An unreadable file adds nothing; the operator must hear of it,
            // or the proxy would run blocking less than it was told to.
            if (int error = load_blacklist(lists.back(), config.blacklist))
                printf("Error! Blacklist not loaded: cannot read %s (%s).\n",
                       base::escape_controls(lists.back()).c_str(), base::read_error_text(error));
            puts(blacklist_size_line(config.blacklist.size()).c_str());
            i += 2;
        } else if (strcmp(argv[i], "-l") == 0 && i + 1 < argc) {
            // A log that cannot be written would lose what the operator
            // asked to keep: the proxy does not start.
            if (int error = access_log::open(argv[i + 1])) {
                printf("Error! Access log not opened: cannot open %s (%s).\n", base::escape_controls(argv[i + 1]).c_str(),
                       strerror(error));
                return 0;
            }
            i += 2;
        } else if (strcmp(argv[i], "-p") == 0 && i + 1 < argc) {
            policies.push_back(argv[i + 1]);
            // A policy read in part would let through what the rest forbids:
            // the proxy does not start.
            if (std::string why = load_policy(policies.back(), config.policy); !why.empty()) {
                printf("Error! Policy not loaded: %s.\n", why.c_str());
                return 0;
            }
            puts(policy_size_line(config.policy.rules()).c_str());
            i += 2;
        } else
            i++;
    }
    // A proxy that every adapter's network can reach exposes none of this
    // host's own services through it, unless a policy file says otherwise.
    if (policies.empty() && port < 0)
        config.policy = egress_policy::all_adapters_default();
    settings_reload::on_sighup(std::move(lists), std::move(policies), config);
    metrics::count().started = metrics::count().last_reload = time(nullptr);
    // SIGUSR1: the access log is opened again by its name (log rotation).
    wakeup::on_signal(SIGUSR1, [] {
        if (int error = access_log::reopen())
            printf("Error! Access log not reopened: cannot open %s (%s).\n",
                   base::escape_controls(access_log::path()).c_str(), strerror(error));
    });

    proxy.run();
    return 0;
}
