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

// The terminate set, with the hang-up signal when the calling thread holds it
// back (waiting for a signal that is not blocked is undefined).
sigset_t RequestSet() {
    sigset_t set = TerminationSet();
    sigset_t blocked;
    if (pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 && sigismember(&blocked, SIGHUP) == 1)
        sigaddset(&set, SIGHUP);
    return set;
}

int WaitInSet(const sigset_t& set, int timeoutMs) {
    for (;;) {
        int result;
        if (timeoutMs < 0) {
            int signal = 0;
            result = sigwait(&set, &signal) == 0 ? signal : -1;
        } else {
            timespec timeout{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
            result = sigtimedwait(&set, nullptr, &timeout);
        }
        if (result > 0) return result;
        if (result < 0 && errno == EINTR) continue;
        return 0;
    }
}

}  // namespace

namespace signals {

void BlockTermination() {
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WaitForTermination(int timeoutMs) { return WaitInSet(TerminationSet(), timeoutMs) > 0; }

void BlockSaveRequest() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Request WaitForRequest(int timeoutMs) {
    const int signal = WaitInSet(RequestSet(), timeoutMs);
    if (signal == SIGHUP) return Request::Save;
    return signal > 0 ? Request::Terminate : Request::None;
}

void RequestTermination() { ::kill(::getpid(), SIGTERM); }

}  // namespace signals
