// SPDX-License-Identifier: MIT
// The whole link on a pseudo-terminal: an unacknowledged send, an acknowledged round trip
// through the receiver and the simulator, and a whole `hddpower on` run.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "sim/DeviceNamespace.h"
#include "sim/LocalLink.h"
#include "sim/McuSimulator.h"
#include "tool/HddPower.h"

namespace {

// Reads and throws away what the board side writes, so that the line never fills.
struct Drainer {
    int fd;
    std::atomic<bool> stop;
};

void* Drain(void* arg) {
    Drainer* d = static_cast<Drainer*>(arg);
    char buf[4096];
    while (!d->stop) {
        struct pollfd pfd = {d->fd, POLLIN, 0};
        if (poll(&pfd, 1, 10) > 0 && read(d->fd, buf, sizeof buf) <= 0) {
            break;
        }
    }
    return nullptr;
}

void SendUnacknowledged(benchmark::State& state) {
    PtyMcuPort port;
    if (!port.ok()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    Drainer drainer;
    drainer.fd = port.line().master();
    drainer.stop = false;
    pthread_t thread;
    pthread_create(&thread, nullptr, Drain, &drainer);
    unsigned char payload[8] = {0, 0xFF, 0, 0xFF, 0, 0, 0, 0x1F};
    {
        QuietOutput quiet;
        for (auto _ : state) {
            __UserCmdData request;
            request.cmd = CMD_0005;
            request.dataLen = sizeof payload;
            request.data = payload;
            benchmark::DoNotOptimize(sendCmdData(&request, nullptr, 0));
        }
    }
    drainer.stop = true;
    pthread_join(thread, nullptr);
    state.SetBytesProcessed(state.iterations() * 19);
}
BENCHMARK(SendUnacknowledged)->UseRealTime();

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[at];
}

void AcknowledgedRoundTrip(benchmark::State& state) {
    SimulatedMcu link;
    if (!link.ok()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    std::vector<double> latencies;
    unsigned char payload[2] = {1, 2};
    unsigned char reply[mcucom::FRAME_MAX_SIZE];
    int failures = 0;
    {
        QuietOutput quiet;
        for (auto _ : state) {
            __UserCmdData request;
            request.cmd = CMD_0007;
            request.dataLen = sizeof payload;
            request.data = payload;
            const double start = mcucom::MonotonicSeconds();
            if (sendCmdData(&request, reinterpret_cast<__ComFrameData*>(reply), 1000) <= 0) {
                ++failures;
            }
            latencies.push_back((mcucom::MonotonicSeconds() - start) * 1e6);
        }
    }
    if (latencies.empty()) {
        return;
    }
    state.counters["median_us"] = Percentile(latencies, 0.5);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    state.counters["failures"] = failures;
}
BENCHMARK(AcknowledgedRoundTrip)->UseRealTime()->Iterations(2000);

void HddPowerOnRun(benchmark::State& state) {
    std::vector<double> beyondWait;
    std::vector<double> setup;
    for (auto _ : state) {
        PtyPair pty;
        std::string error;
        if (!OpenPtyPair(&pty, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        const int null = open("/dev/null", O_WRONLY);
        DeviceCommand command;
        command.argv = {HDDPOWER_BINARY, "on"};
        command.slavePath = pty.slavePath;
        command.devicePath = "/dev/ttyAMA2";
        command.stdoutFd = null;
        command.stderrFd = null;
        // The simulator answers the frame as mcusim would; the tool still waits its 100 ms.
        McuSimulator simulator(pty.master, McuSimulator::LogSink());
        simulator.Start();
        DeviceNamespaceChild child;
        const double start = mcucom::MonotonicSeconds();
        if (!child.Start(command, &error)) {
            state.SkipWithError(error.c_str());
            close(null);
            ClosePtyPair(&pty);
            return;
        }
        const double started =
            mcucom::MonotonicSeconds();  // the namespace is made and the tool exec'd
        child.Wait();
        setup.push_back((started - start) * 1e3);
        beyondWait.push_back((mcucom::MonotonicSeconds() - started) * 1e3 - 100.0);
        simulator.Stop();
        close(null);
        ClosePtyPair(&pty);
    }
    // The tool's own run, from exec to exit, beyond its 100 ms wait; and the harness's set-up.
    state.counters["tool_ms_beyond_100"] = Percentile(beyondWait, 0.5);
    state.counters["namespace_setup_ms"] = Percentile(setup, 0.5);
}
BENCHMARK(HddPowerOnRun)->UseRealTime()->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace
