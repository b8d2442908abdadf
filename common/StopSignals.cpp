// SPDX-License-Identifier: MIT
#include "common/StopSignals.h"

#include <signal.h>
#include <string.h>

namespace {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal) {
    g_stopSignal = signal;
}

}  // namespace

void CatchStopSignals() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    const int stops[] = {SIGINT, SIGTERM, SIGHUP};
    for (int signal : stops) {
        sigaction(signal, &action, NULL);
    }
}

int StopSignalCaught() {
    return g_stopSignal;
}

void EndBySignalIfStopped() {
    if (g_stopSignal != 0) {
        signal(g_stopSignal, SIG_DFL);
        raise(g_stopSignal);
    }
}
