#include "main/blacklist_reload.h"

#include "base/escape.h"
#include "base/for_each_line.h"
#include "main/blacklist_file.h"
#include "proxy/settings.h"
#include "server/wakeup.h"

#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

namespace blacklist_reload {

namespace {

// What a loading thread made of the files.
struct loaded {
    base::hashmap<bool> list;
    std::vector<uint32_t> sizes;  // after each file, for its size line
    std::string failed;           // the file that could not be read, if any
    int error = 0;
};

struct state {
    std::vector<std::string> files;
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

void load(std::vector<std::string> files)
{
    auto* result = new loaded;
    for (const std::string& path : files) {
        if (int error = load_blacklist(path, result->list)) {
            result->failed = path;
            result->error = error;
            break;
        }
        result->sizes.push_back(result->list.size());
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
    std::thread(load, s.files).detach();
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
    if (result->error) {
        printf("Error! Blacklist not reloaded: cannot read %s (%s).\n",
               base::escape_controls(result->failed).c_str(), base::read_error_text(result->error));
    } else {
        for (uint32_t size : result->sizes)
            puts(blacklist_size_line(size).c_str());
        blacklist.swap(result->list);
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

void on_sighup(std::vector<std::string> files)
{
    self().files = std::move(files);
    wakeup::add_handler(finish);
    wakeup::on_signal(SIGHUP, start);
}

}  // namespace blacklist_reload
