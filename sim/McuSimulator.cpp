#include "sim/McuSimulator.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "sim/TrafficReport.h"

namespace {

const int kPollMs = 10;
const size_t kReadChunk = 4096;

}  // namespace

McuSimulator::McuSimulator(int masterFd, LogSink log)
    : m_master(masterFd), m_log(log), m_thread(), m_running(false), m_stop(false) {}

McuSimulator::~McuSimulator() {
    Stop();
}

bool McuSimulator::Start() {
    m_stop = false;
    m_running = pthread_create(&m_thread, NULL, &McuSimulator::ThreadMain, this) == 0;
    return m_running;
}

void McuSimulator::Stop() {
    if (!m_running) {
        return;
    }
    m_stop = true;
    pthread_join(m_thread, NULL);
    m_running = false;
    while (ReadOnce(0)) {
    }
    std::vector<DecodedItem> items;
    m_decoder.Finish(&items);
    Report(items);
}

std::vector<DecodedItem> McuSimulator::Received() {
    MutexLockGuard guard(m_mutex);
    return m_received;
}

void* McuSimulator::ThreadMain(void* self) {
    static_cast<McuSimulator*>(self)->Run();
    return NULL;
}

void McuSimulator::Run() {
    while (!m_stop) {
        ReadOnce(kPollMs);
    }
}

// One wait for bytes from the board side; true when some were read.
bool McuSimulator::ReadOnce(int waitMs) {
    struct pollfd pfd;
    pfd.fd = m_master;
    pfd.events = POLLIN;
    pfd.revents = 0;
    if (poll(&pfd, 1, waitMs) <= 0 || (pfd.revents & POLLIN) == 0) {
        if (waitMs > 0 && (pfd.revents & (POLLHUP | POLLERR)) != 0) {
            usleep(static_cast<useconds_t>(waitMs) * 1000);  // nobody holds the line yet
        }
        return false;
    }
    unsigned char chunk[kReadChunk];
    const ssize_t got = read(m_master, chunk, sizeof chunk);
    if (got <= 0) {
        return false;
    }
    std::vector<DecodedItem> items;
    m_decoder.Feed(chunk, static_cast<size_t>(got), &items);
    Report(items);
    return true;
}

void McuSimulator::Report(const std::vector<DecodedItem>& items) {
    for (size_t i = 0; i < items.size(); ++i) {
        if (m_log) {
            m_log("received " + DescribeItem(items[i]));
        }
        MutexLockGuard guard(m_mutex);
        m_received.push_back(items[i]);
    }
}
