#include "platform/Signals.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace {

sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

namespace signals {

void BlockTermination() {
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WaitForTermination(int timeoutMs) {
    const sigset_t set = TerminationSet();
    for (;;) {
        int result;
        if (timeoutMs < 0) {
            int signal = 0;
            result = sigwait(&set, &signal) == 0 ? signal : -1;
        } else {
            timespec timeout{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
            result = sigtimedwait(&set, nullptr, &timeout);
        }
        if (result > 0) return true;
        if (result < 0 && errno == EINTR) continue;
        return false;
    }
}

void RequestTermination() { ::kill(::getpid(), SIGTERM); }

}  // namespace signals
