// A program named pyxod that will not stop on SIGTERM, standing for an old
// daemon that hangs. Prints "ready" once SIGTERM is ignored.
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

int main() {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);  // SIGQUIT ends it; no core file wanted
    signal(SIGTERM, SIG_IGN);
    printf("ready\n");
    fflush(stdout);
    for (;;)
        pause();
}
