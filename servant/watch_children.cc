#include "watch_children.h"

#include <sys/wait.h>

#include <map>
#include <mutex>

struct registration {
    watch_child_ended ended;
    void *data;
};

static std::mutex children_mutex;
static std::map<pid_t, registration> registered;
// Ends of unregistered children, oldest overwritten first.
static struct {
    pid_t pid;
    int wait_status;
} unclaimed[32];
static unsigned next_unclaimed;

void watch_children_add(pid_t pid, watch_child_ended ended, void *data) {
    std::unique_lock<std::mutex> lock(children_mutex);
    for (auto &u : unclaimed) {
        if (u.pid == pid) {
            u.pid = 0;
            lock.unlock();
            ended(pid, u.wait_status, data);
            return;
        }
    }
    registered[pid] = {ended, data};
}

void watch_children_forget(pid_t pid) {
    std::lock_guard<std::mutex> lock(children_mutex);
    registered.erase(pid);
}

bool watch_children_known(pid_t pid) {
    std::lock_guard<std::mutex> lock(children_mutex);
    return registered.count(pid) != 0;
}

void watch_children_reap() {
    int ws;
    pid_t pid;
    while ((pid = waitpid(-1, &ws, WNOHANG)) > 0) {
        std::unique_lock<std::mutex> lock(children_mutex);
        auto found = registered.find(pid);
        if (found == registered.end()) {
            unclaimed[next_unclaimed++ % 32] = {pid, ws};
            continue;
        }
        registration r = found->second;
        registered.erase(found);
        lock.unlock();
        r.ended(pid, ws, r.data);
    }
}
