#include "watch_output.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// A queue holds at most this much (one longer line passes alone), and its
// writer holds as much again while it writes.
constexpr size_t kQueueBytes = 1 << 20;
constexpr size_t kQueueLines = 4096;
// A console line of the daemon longer than this is passed on in parts.
constexpr size_t kRelayLine = 64 << 10;

struct stream {
    int fd;
    const char *name;
    std::deque<std::string> lines;  // each with its line break
    size_t bytes = 0;
    bool writing = false;       // the writer holds lines taken from the queue
    unsigned long dropped = 0;  // since the count was last said
    std::thread writer;
    stream(int fd, const char *name) : fd(fd), name(name) {}
};

static std::mutex out_mutex;
static std::condition_variable changed;
static stream streams[2] = {{STDOUT_FILENO, "output"}, {STDERR_FILENO, "error"}};
static bool finishing = false;
static std::atomic<int> out_error{0};
static void (*on_failure)() = NULL;

static std::string dropped_text(const stream &s) {
    return "pyxo-watch: " + std::to_string(s.dropped) + " line" + (s.dropped == 1 ? "" : "s") +
           " dropped while standard " + s.name + " was blocked\n";
}

// Called with out_mutex held.
static void enqueue(stream &s, std::string line) {
    if (!s.lines.empty() &&
        (s.bytes + line.size() > kQueueBytes || s.lines.size() >= kQueueLines)) {
        s.dropped++;
        return;
    }
    s.bytes += line.size();
    s.lines.push_back(std::move(line));
    changed.notify_all();
}

// Writes all of `text`; a descriptor someone made non-blocking is waited
// for. The errno of the failure, or 0.
static int write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, -1);
        } else if (n < 0 && errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

static void write_stream(stream *s) {
    std::unique_lock<std::mutex> lock(out_mutex);
    for (;;) {
        changed.wait(lock, [s] { return !s->lines.empty() || finishing; });
        if (s->lines.empty())
            return;
        std::deque<std::string> batch;
        batch.swap(s->lines);
        s->bytes = 0;
        s->writing = true;
        lock.unlock();
        int error = 0;
        for (const std::string &line : batch)
            if (!error)
                error = write_all(s->fd, line);
        lock.lock();
        s->writing = false;
        if (s->fd == STDOUT_FILENO && error) {
            s->lines.clear();
            int none = 0;
            if (out_error.compare_exchange_strong(none, error) && on_failure)
                on_failure();
        } else if (s->dropped && !error) {
            enqueue(streams[1], dropped_text(*s));
            s->dropped = 0;
        }
        changed.notify_all();
    }
}

void watch_output_start(void (*failed)()) {
    on_failure = failed;
    for (stream &s : streams)
        s.writer = std::thread(write_stream, &s);
}

bool watch_output_line(const std::string &line) {
    std::lock_guard<std::mutex> lock(out_mutex);
    if (out_error)
        return false;
    enqueue(streams[0], line + "\n");
    return true;
}

void watch_output_note(const std::string &line) {
    std::lock_guard<std::mutex> lock(out_mutex);
    enqueue(streams[1], line + "\n");
}

bool watch_output_relay(int fd, std::string &pending, bool to_stdout) {
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        pending.append(buf, n > 0 ? n : 0);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos ||
               (end = pending.size()) > kRelayLine) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            to_stdout ? (void)watch_output_line(line) : watch_output_note(line);
        }
    }
    if (n < 0 && errno == EAGAIN)
        return true;
    if (!pending.empty())
        to_stdout ? (void)watch_output_line(pending) : watch_output_note(pending);
    pending.clear();
    return false;
}

void watch_output_closed() {
    std::lock_guard<std::mutex> lock(out_mutex);
    int none = 0;
    if (out_error.compare_exchange_strong(none, EPIPE))
        streams[0].lines.clear();
}

int watch_output_error() {
    return out_error;
}

bool watch_output_finish(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(out_mutex);
    auto idle = [](const stream &s) { return s.lines.empty() && !s.writing; };
    bool written =
        changed.wait_until(lock, deadline, [&] { return idle(streams[0]) && idle(streams[1]); });
    // The count goes where standard error takes it at once: its writer may
    // be blocked for ever.
    std::string untold;
    for (stream &s : streams)
        if (s.dropped)
            untold += dropped_text(s);
    struct pollfd p = {STDERR_FILENO, POLLOUT, 0};
    if (!untold.empty() && idle(streams[1]) && poll(&p, 1, 0) == 1 && p.revents == POLLOUT)
        (void)!write(STDERR_FILENO, untold.data(), untold.size());
    if (!written)
        return false;
    finishing = true;
    changed.notify_all();
    lock.unlock();
    for (stream &s : streams)
        if (s.writer.joinable())
            s.writer.join();
    return true;
}

bool watch_write_ior_file(const std::string &file, const char *ior) {
    std::string tmp = file + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        return false;
    // mkstemp makes it private; the IOR is no secret (it is on the daemon's
    // command line), so give it the mode a plain new file would have.
    mode_t mask = umask(0);
    umask(mask);
    FILE *f = fdopen(fd, "w");
    bool ok = f && fchmod(fd, 0666 & ~mask) == 0 && fprintf(f, "%s\n", ior) > 0;
    ok = (f ? fclose(f) == 0 : close(fd) == 0) && ok;
    if (ok && rename(tmp.c_str(), file.c_str()) == 0)
        return true;
    int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return false;
}
