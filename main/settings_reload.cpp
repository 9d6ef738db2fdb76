#include "main/settings_reload.h"

#include "base/escape.h"
#include "base/for_each_line.h"
#include "main/blacklist_file.h"
#include "main/policy_file.h"
#include "proxy/metrics.h"
#include "proxy/settings.h"
#include "server/wakeup.h"

#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

namespace settings_reload {

namespace {

// What a loading thread made of the files.
struct loaded {
    base::hashmap<bool> list;
    std::vector<uint32_t> sizes;  // after each list file, for its size line
    egress_policy rules;
    std::vector<uint32_t> rule_counts;  // after each policy file
    std::string failure;  // the error line, if a file could not be read
};

struct state {
    std::vector<std::string> lists, policies;
    settings* target = nullptr;  // what a reload swaps its results into
    bool loading = false;  // a thread is reading the files
    bool again = false;    // another SIGHUP came meanwhile
    std::mutex lock;
    loaded* done = nullptr;  // handed over by the thread, under `lock`
};

state& self()
{
    static state* s = new state;  // detached threads may outlive main
    return *s;
}

void load(std::vector<std::string> lists, std::vector<std::string> policies)
{
    auto* result = new loaded;
    for (const std::string& path : lists) {
        if (int error = load_blacklist(path, result->list)) {
            result->failure = "Error! Blacklist not reloaded: cannot read " + base::escape_controls(path) + " (" +
                              base::read_error_text(error) + ").";
            break;
        }
        result->sizes.push_back(result->list.size());
    }
    for (size_t i = 0; i < policies.size() && result->failure.empty(); i++) {
        if (std::string why = load_policy(policies[i], result->rules); !why.empty())
            result->failure = "Error! Policy not reloaded: " + why + ".";
        result->rule_counts.push_back(result->rules.rules());
    }
    {
        std::lock_guard<std::mutex> hold(self().lock);
        self().done = result;
    }
    wakeup::signal();
}

void start()
{
    state& s = self();
    if (s.loading) {
        s.again = true;
        return;
    }
    s.loading = true;
    std::thread(load, s.lists, s.policies).detach();
}

// On the loop's thread, on every wake-up.
void finish()
{
    state& s = self();
    loaded* result;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        result = s.done;
        s.done = nullptr;
    }
    if (!result)
        return;
    if (!result->failure.empty()) {
        puts(result->failure.c_str());
    } else {
        for (uint32_t size : result->sizes)
            puts(blacklist_size_line(size).c_str());
        for (uint32_t count : result->rule_counts)
            puts(policy_size_line(count).c_str());
        s.target->blacklist.swap(result->list);
        if (!s.policies.empty())
            std::swap(s.target->policy, result->rules);
        metrics::count().last_reload = time(nullptr);
    }
    // Freeing a large list takes a while: not on the loop's thread.
    std::thread([result] { delete result; }).detach();
    s.loading = false;
    if (s.again) {
        s.again = false;
        start();
    }
}

}  // namespace

void on_sighup(std::vector<std::string> lists, std::vector<std::string> policies, settings& target)
{
    self().target = &target;
    self().lists = std::move(lists);
    self().policies = std::move(policies);
    wakeup::add_handler(finish);
    wakeup::on_signal(SIGHUP, start);
}

}  // namespace settings_reload
