// SPDX-License-Identifier: MIT
// The C interface against the fixed one, on the same simulated line: a round trip through
// mcucom_command (beside AcknowledgedRoundTrip in link_bench.cpp, which sends through
// sendCmdData), the time from an MCU frame's last byte on the line to the event descriptor
// being readable (and from an answer's, for a command started without waiting), commands in
// flight on a paced line from threads and from one thread that does not wait, and a soak of 100,000
// commands with MCU frames every millisecond, its memory and descriptors read before and after.
#include <dirent.h>
#include <poll.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "capi/mcucom.h"
#include "common/Clock.h"
#include "sim/LocalLink.h"
#include "sim/McuSimulator.h"

namespace {

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

mcucom_link* OpenOn(const PtyLine& line) {
    mcucom_options options;
    mcucom_options_init(&options);
    options.device = line.slavePath().c_str();
    mcucom_link* link = nullptr;
    return mcucom_open(&options, &link) == 0 ? link : nullptr;
}

void CInterfaceRoundTrip(benchmark::State& state) {
    PtyLine line;
    McuSimulator sim(line.master(), McuSimulator::LogSink());
    sim.Start();
    mcucom_link* link = OpenOn(line);
    if (link == nullptr) {
        state.SkipWithError("cannot open a link");
        return;
    }
    const unsigned char payload[2] = {1, 2};
    std::vector<double> latencies;
    int failures = 0;
    for (auto _ : state) {
        mcucom_answer answer;
        const double start = mcucom::MonotonicSeconds();
        failures += mcucom_command(link, 0x0007, payload, sizeof payload, 1000, &answer) != 0;
        latencies.push_back((mcucom::MonotonicSeconds() - start) * 1e6);
    }
    mcucom_close(link);
    sim.Stop();
    state.counters["median_us"] = Percentile(latencies, 0.5);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    state.counters["failures"] = failures;
}
BENCHMARK(CInterfaceRoundTrip)->UseRealTime()->Iterations(2000);

// The far end written by hand: each frame's last byte has reached the line when write()
// returns; then the event descriptor is polled until it is readable.
void EventDescriptorLatency(benchmark::State& state) {
    PtyLine line;
    mcucom_link* link = OpenOn(line);
    if (link == nullptr) {
        state.SkipWithError("cannot open a link");
        return;
    }
    const std::string frame = BuildMcuFrame(1, 0x01, 0x0019, std::string("\x01\x02", 2));
    struct pollfd ready = {mcucom_event_fd(link), POLLIN, 0};
    std::vector<double> latencies;
    for (auto _ : state) {
        line.Send(frame);
        const double sent = mcucom::MonotonicSeconds();
        poll(&ready, 1, 1000);
        latencies.push_back((mcucom::MonotonicSeconds() - sent) * 1e6);
        mcucom_event event;
        mcucom_read_events(link, &event, 1, 0);
        usleep(1000);
    }
    mcucom_close(link);
    state.counters["median_us"] = Percentile(latencies, 0.5);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
}
BENCHMARK(EventDescriptorLatency)->UseRealTime()->Iterations(2000);

// The same path without the module, for comparison: a thread that polls the pseudo-terminal
// and, once it has read, makes a pipe readable. What a machine's scheduling costs a wake-up
// shows here as it does above.
void PseudoTerminalWakeup(benchmark::State& state) {
    PtyLine line;
    int pipeFds[2];
    if (!line.ok() || pipe(pipeFds) != 0) {
        state.SkipWithError("no pseudo-terminal or pipe");
        return;
    }
    struct termios raw;
    tcgetattr(line.slave(), &raw);
    cfmakeraw(&raw);
    tcsetattr(line.slave(), TCSANOW, &raw);
    std::atomic<bool> stop(false);
    std::thread reader([&line, &stop, &pipeFds] {
        char buf[64];
        while (!stop) {
            struct pollfd pfd = {line.slave(), POLLIN, 0};
            if (poll(&pfd, 1, 20) > 0 && read(line.slave(), buf, sizeof buf) > 0) {
                const char one = 1;
                benchmark::DoNotOptimize(write(pipeFds[1], &one, 1));
            }
        }
    });
    const std::string frame = BuildMcuFrame(1, 0x01, 0x0019, std::string("\x01\x02", 2));
    struct pollfd ready = {pipeFds[0], POLLIN, 0};
    std::vector<double> latencies;
    for (auto _ : state) {
        line.Send(frame);
        const double sent = mcucom::MonotonicSeconds();
        if (poll(&ready, 1, 1000) == 1) {
            char one;
            benchmark::DoNotOptimize(read(pipeFds[0], &one, 1));
        }
        latencies.push_back((mcucom::MonotonicSeconds() - sent) * 1e6);
        usleep(1000);
    }
    stop = true;
    reader.join();
    close(pipeFds[0]);
    close(pipeFds[1]);
    state.counters["median_us"] = Percentile(latencies, 0.5);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
}
BENCHMARK(PseudoTerminalWakeup)->UseRealTime()->Iterations(2000);

long ResidentKb() {
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        fclose(statm);
    }
    return resident * sysconf(_SC_PAGESIZE) / 1024;
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return count;
}

// 100,000 commands while the MCU sends a frame of its own every millisecond and a reader
// takes the events; memory and descriptors are read after the first 10,000 and at the end.
void SoakWithEvents(benchmark::State& state) {
    for (auto _ : state) {
        SimOptions options;
        options.unaskedCode = 0x0019;
        options.unaskedEveryMs = 1;
        options.keepReceived = 16;  // the simulator's own record stays small: the link is measured
        PtyLine line;
        McuSimulator sim(line.master(), McuSimulator::LogSink(), options);
        sim.Start();
        mcucom_link* link = OpenOn(line);
        if (link == nullptr) {
            state.SkipWithError("cannot open a link");
            return;
        }
        std::atomic<long> events(0);
        std::thread reader([link, &events] {
            mcucom_event batch[32];
            int got;
            while ((got = mcucom_read_events(link, batch, 32, -1)) >= 0) {
                events += got;
            }
        });
        const unsigned char payload[2] = {1, 2};
        long failures = 0, rssAt10k = 0;
        int fdsAt10k = 0;
        for (int n = 1; n <= 100000; ++n) {
            failures += mcucom_command(link, 0x0007, payload, sizeof payload, 1000, nullptr) != 0;
            if (n == 10000) {
                rssAt10k = ResidentKb();
                fdsAt10k = OpenDescriptors();
            }
        }
        state.counters["rss_growth_kb"] = static_cast<double>(ResidentKb() - rssAt10k);
        state.counters["fd_growth"] = OpenDescriptors() - fdsAt10k;
        state.counters["failures"] = static_cast<double>(failures);
        state.counters["events"] = static_cast<double>(events.load());
        state.counters["dropped"] = static_cast<double>(mcucom_events_dropped(link));
        mcucom_close(link);
        reader.join();
        sim.Stop();
    }
}
BENCHMARK(SoakWithEvents)->UseRealTime()->Iterations(1)->Unit(benchmark::kSecond);

// A command's completion: from its answer's last byte on the line to the event descriptor
// readable, the far end written by hand as for an MCU frame above. The request is read from
// the line first, its serial number answered.
void CompletionDescriptorLatency(benchmark::State& state) {
    PtyLine line;
    mcucom_link* link = OpenOn(line);
    if (link == nullptr) {
        state.SkipWithError("cannot open a link");
        return;
    }
    const unsigned char payload[2] = {1, 2};
    struct pollfd ready = {mcucom_event_fd(link), POLLIN, 0};
    std::vector<double> latencies;
    int failures = 0;
    for (auto _ : state) {
        mcucom_command_start(link, 0x0006, payload, sizeof payload, 1000, 1);
        const std::string request = line.Drain(2);
        const unsigned char serial =
            request.size() > 4 ? static_cast<unsigned char>(request[4]) : 0;
        line.Send(BuildMcuFrame(serial, 0x01, 0x0006, std::string(1, char(serial)) + '\0'));
        const double sent = mcucom::MonotonicSeconds();
        poll(&ready, 1, 1000);
        latencies.push_back((mcucom::MonotonicSeconds() - sent) * 1e6);
        mcucom_event event;
        failures += mcucom_read_events(link, &event, 1, 1000) != 1 || event.status != 0;
        usleep(1000);
    }
    mcucom_close(link);
    state.counters["median_us"] = Percentile(latencies, 0.5);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    state.counters["failures"] = failures;
}
BENCHMARK(CompletionDescriptorLatency)->UseRealTime()->Iterations(2000);

// On a line paced at 115200 baud, with the MCU answering at once: commands one at a time, then
// eight codes in flight from eight threads. Counted against what the wire allows: one command
// per request and answer time, and, with commands in flight, one request per request time.
// For comparison, range 0: an unpaced line whose MCU answers 3 ms after each request, counted
// against one command per 3 ms; its shortfall is the wake-ups alone, as no byte is paced.
const double kByteSeconds = 10.0 / 115200;
const int kRequestBytes = 19, kAnswerBytes = 13;  // an 8-byte payload; its answer's 2 bytes
const int kComparisonDelayMs = 3;

const uint32_t kPacedCodes[] = {0x0002, 0x0003, 0x0006, 0x0007, 0x0009, 0x000F, 0x0010, 0x0011};
const unsigned char kPacedPayload[8] = {0, 0xFF, 0, 0xFF, 0, 0, 0, 0x1F};

// The simulated MCU on a pseudo-terminal, paced at baud (0: unpaced), answering after delayMs,
// and a link on the near end; the link is null when it cannot be opened.
struct PacedLine {
    PacedLine(unsigned baud, int delayMs)
        : sim(line.master(), McuSimulator::LogSink(), Options(baud, delayMs)) {
        sim.Start();
        link = OpenOn(line);
    }
    ~PacedLine() {
        if (link != nullptr) {
            mcucom_close(link);
        }
        sim.Stop();
    }
    static SimOptions Options(unsigned baud, int delayMs) {
        SimOptions options;
        options.baud = baud;
        options.delayMs = delayMs;
        options.keepReceived = 16;
        return options;
    }

    PtyLine line;
    McuSimulator sim;
    mcucom_link* link = nullptr;
};

void PacedCommands(benchmark::State& state) {
    const bool comparison = state.range(0) == 0;
    const int threads = comparison ? 1 : static_cast<int>(state.range(0));
    PacedLine paced(comparison ? 0 : 115200, comparison ? kComparisonDelayMs : 0);
    mcucom_link* const link = paced.link;
    if (link == nullptr) {
        state.SkipWithError("cannot open a link");
        return;
    }
    const uint32_t* const codes = kPacedCodes;
    const unsigned char* const payload = kPacedPayload;
    for (auto _ : state) {
        std::atomic<long> answered(0);
        std::atomic<bool> stop(false);
        std::vector<std::thread> senders;
        const double start = mcucom::MonotonicSeconds();
        for (int t = 0; t < threads; ++t) {
            senders.emplace_back([&, t] {
                while (!stop) {
                    answered += mcucom_command(link, codes[t], payload, sizeof kPacedPayload, 1000,
                                               nullptr) == 0;
                }
            });
        }
        usleep(3000 * 1000);
        stop = true;
        for (std::thread& sender : senders) {
            sender.join();
        }
        const double rate = answered / (mcucom::MonotonicSeconds() - start);
        const double wire = comparison     ? 1000.0 / kComparisonDelayMs
                            : threads == 1 ? 1 / ((kRequestBytes + kAnswerBytes) * kByteSeconds)
                                           : 1 / (kRequestBytes * kByteSeconds);
        state.counters["per_second"] = rate;
        state.counters["wire_per_second"] = wire;
        state.counters["of_wire"] = rate / wire;
    }
}
BENCHMARK(PacedCommands)
    ->Arg(1)
    ->Arg(8)
    ->Arg(0)
    ->UseRealTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// The same eight codes in flight from one thread that never waits on the line: each started
// again as soon as its completion is read from the event descriptor.
void PacedCommandsStarted(benchmark::State& state) {
    PacedLine paced(115200, 0);
    mcucom_link* const link = paced.link;
    if (link == nullptr) {
        state.SkipWithError("cannot open a link");
        return;
    }
    const uint32_t* const codes = kPacedCodes;
    const unsigned char* const payload = kPacedPayload;
    struct pollfd ready = {mcucom_event_fd(link), POLLIN, 0};
    for (auto _ : state) {
        long answered = 0, failures = 0;
        for (uint64_t i = 0; i < 8; ++i) {
            failures +=
                mcucom_command_start(link, codes[i], payload, sizeof kPacedPayload, 1000, i) != 0;
        }
        const double start = mcucom::MonotonicSeconds();
        for (double now = start; now < start + 3; now = mcucom::MonotonicSeconds()) {
            mcucom_event events[16];
            poll(&ready, 1, 1000);
            const int got = mcucom_read_events(link, events, 16, 0);
            for (int e = 0; e < got; ++e) {
                answered += events[e].status == 0;
                failures += events[e].status != 0 ||
                            mcucom_command_start(link, events[e].code, payload,
                                                 sizeof kPacedPayload, 1000, events[e].tag) != 0;
            }
        }
        const double rate = answered / (mcucom::MonotonicSeconds() - start);
        const double wire = 1 / (kRequestBytes * kByteSeconds);
        state.counters["per_second"] = rate;
        state.counters["wire_per_second"] = wire;
        state.counters["of_wire"] = rate / wire;
        state.counters["failures"] = static_cast<double>(failures);
    }
}
BENCHMARK(PacedCommandsStarted)->UseRealTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
