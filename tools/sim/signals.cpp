#include "signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace sim {

namespace {

int g_writeEnd = -1;

void onSignal(int sig) {
    unsigned char c = static_cast<unsigned char>(sig);
    ssize_t n = write(g_writeEnd, &c, 1);
    (void)n;
}

}  // namespace

int signalPipe(std::initializer_list<int> signals) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    g_writeEnd = fds[1];
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : signals) sigaction(sig, &sa, nullptr);
    return fds[0];
}

}  // namespace sim
