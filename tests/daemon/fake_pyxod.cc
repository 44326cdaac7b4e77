// A program named pyxod that will not stop on SIGTERM, standing for an old
// daemon that hangs. Prints "ready" once SIGTERM is caught, and "term" for
// each SIGTERM it receives.
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

static void on_term(int) {
    ssize_t n = write(1, "term\n", 5);
    (void)n;
}

int main() {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);  // SIGQUIT ends it; no core file wanted
    struct sigaction sa = {};
    sa.sa_handler = on_term;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, NULL);
    printf("ready\n");
    fflush(stdout);
    for (;;)
        pause();
}
