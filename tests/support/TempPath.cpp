// SPDX-License-Identifier: MIT
#include "tests/support/TempPath.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace {

// Fixed storage, so that the signal handler reads nothing that may be half written: a slot's
// path is complete before its flag says so.
const int kSlots = 64;
char g_paths[kSlots][128];
volatile sig_atomic_t g_used[kSlots];
std::mutex g_slotsLock;

void RemoveAll() {
    for (int i = 0; i < kSlots; ++i) {
        if (g_used[i] != 0 && unlink(g_paths[i]) != 0) {
            rmdir(g_paths[i]);
        }
    }
}

void OnStop(int signal) {
    RemoveAll();
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void InstallOnce() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            ::signal(signal, OnStop);
        }
    });
}

}  // namespace

TempPath::TempPath(const std::string& stem, Kind kind)
    : m_path("/tmp/" + stem + ".XXXXXX"), m_slot(-1) {
    InstallOnce();
    if (kind == kFolder) {
        if (mkdtemp(&m_path[0]) == nullptr) {
            m_path.clear();
        }
    } else {
        const int fd = mkstemp(&m_path[0]);
        if (fd < 0) {
            m_path.clear();
        } else {
            close(fd);
        }
        if (kind == kFifo && !m_path.empty() &&
            (unlink(m_path.c_str()) != 0 || mkfifo(m_path.c_str(), 0600) != 0)) {
            m_path.clear();
        }
    }
    std::lock_guard<std::mutex> guard(g_slotsLock);
    for (int i = 0; i < kSlots && !m_path.empty() && m_path.size() < sizeof g_paths[i]; ++i) {
        if (g_used[i] == 0) {
            strcpy(g_paths[i], m_path.c_str());
            g_used[i] = 1;
            m_slot = i;
            break;
        }
    }
}

TempPath::~TempPath() {
    if (m_slot >= 0) {
        std::lock_guard<std::mutex> guard(g_slotsLock);
        g_used[m_slot] = 0;
    }
    if (!m_path.empty()) {
        remove(m_path.c_str());
    }
}
