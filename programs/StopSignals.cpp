// SPDX-License-Identifier: MIT
#include "programs/StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>

namespace {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal) {
    g_stopSignal = signal;
}

}  // namespace

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void CatchStopSignals() {
    HandleStopSignals(OnStopSignal);
}

void HandleStopSignals(void (*handler)(int)) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals) {
        sigaction(signal, &action, NULL);
    }
}

void BlockStopSignals(bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals) {
        sigaddset(&set, signal);
    }
    pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, NULL);
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
