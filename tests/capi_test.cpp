// SPDX-License-Identifier: MIT
// The C interface as a board program uses it, on real pseudo-terminals with the simulated MCU
// at their far end: round trips and the kinds of events under the simulator's faults, the gap
// a full event queue leaves, a lost line, a close while other threads are inside calls, two
// links at once, opening and its refusals, and where the link's lines go. Every command's
// answer is checked to be its own: the simulator numbers its answers.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capi/mcucom.h"
#include "common/Clock.h"
#include "sim/LocalLink.h"
#include "tests/support/CaptureOutput.h"
#include "tests/support/FrameOracle.h"
#include "tests/support/TempPath.h"

namespace {

// A pseudo-terminal whose far end the simulated MCU plays, and a link on its near end.
struct SimulatedLine {
    explicit SimulatedLine(const SimOptions& options = SimOptions(), unsigned depth = 256,
                           mcucom_log_fn log = nullptr, void* context = nullptr,
                           unsigned readTimeoutMs = 20)
        : sim(line.master(), McuSimulator::LogSink(), options) {
        sim.Start();
        mcucom_options_init(&settings);
        settings.read_timeout_ms = readTimeoutMs;
        settings.device = line.slavePath().c_str();
        settings.first_serial = 1;
        settings.event_queue_depth = depth;
        settings.log = log;
        settings.log_context = context;
        opened = mcucom_open(&settings, &link);
    }
    ~SimulatedLine() {
        if (opened == 0) {
            mcucom_close(link);
        }
        sim.Stop();
    }
    // Every event that comes within a second of the last one, or until count have come (for
    // none expected, a second is waited for one that should not come).
    std::vector<mcucom_event> Events(size_t count = ~size_t(0)) {
        std::vector<mcucom_event> all;
        mcucom_event event;
        while (all.size() < count && mcucom_read_events(link, &event, 1, 1000) == 1) {
            all.push_back(event);
        }
        return all;
    }

    PtyLine line;
    McuSimulator sim;
    mcucom_options settings;
    mcucom_link* link = nullptr;
    int opened = -1;
};

const uint8_t kPayload[] = {0x01, 0x02};

std::map<uint32_t, int> CountKinds(const std::vector<mcucom_event>& events) {
    std::map<uint32_t, int> kinds;
    for (const mcucom_event& e : events) {
        ++kinds[e.kind];
    }
    return kinds;
}

SimOptions Faults(void (*set)(SimOptions*)) {
    SimOptions options;
    set(&options);
    return options;
}

// Each command's answer is its own, whatever the line does; the frames nobody waited for come
// as events of the right kind, and an answer is never taken for the MCU's own frame. On the
// lossy lines some answers never come, and none of them is an event.
TEST(CInterface, AnswersAreTheirCommandsOwnAndEventsSayWhatEachFrameIs) {
    const struct {
        const char* name;
        SimOptions options;
        bool lossy;
        std::map<uint32_t, int> kinds;  // exactly, or (for unasked) at least one
    } cases[] = {
        {"clean", SimOptions(), false, {}},
        {"late",
         Faults([](SimOptions* o) { o->lateEvery = 4; }),
         false,
         {{MCUCOM_EVENT_LATE_ANSWER, 30}}},
        {"duplicate",
         Faults([](SimOptions* o) { o->duplicate = 1; }),
         false,
         {{MCUCOM_EVENT_COPY, 120}}},
        {"unasked",
         Faults([](SimOptions* o) { o->unaskedCode = 0x0019; }),
         false,
         {{MCUCOM_EVENT_UNASKED, 1}}},
        {"payload-less frames of the commands' own code",
         Faults([](SimOptions* o) { o->unaskedCode = 6, o->unaskedLen = 0; }),
         false,
         {{MCUCOM_EVENT_UNASKED, 1}}},
        {"noise", Faults([](SimOptions* o) { o->noiseMax = 32, o->falseHeads = true; }), false, {}},
        {"split", Faults([](SimOptions* o) { o->split = true; }), false, {}},
        {"corrupt", Faults([](SimOptions* o) { o->corrupt = 0.3; }), true, {}},
        {"drop", Faults([](SimOptions* o) { o->drop = 0.3; }), true, {}},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        c.options.resultSeq = true;
        c.options.lateMs = 400;  // far past the late command's 50 ms, even on a loaded machine
        c.options.unaskedEveryMs = 5;
        SimulatedLine sim(c.options);
        ASSERT_EQ(0, sim.opened) << mcucom_strerror(sim.opened);
        int wrong = 0, missed = 0;
        for (int n = 1; n <= 120; ++n) {
            const bool late = c.options.lateEvery > 0 && n % c.options.lateEvery == 0;
            mcucom_answer answer;
            const unsigned timeout = late ? 50 : c.lossy ? 200 : 10000;
            const int sent = mcucom_command(sim.link, 6, kPayload, 2, timeout, &answer);
            if (sent == 0) {
                wrong += answer.result != (n & 0xFF) || answer.payload[0] != answer.serial;
            } else {
                missed += !late && !c.lossy;
                EXPECT_EQ(-ETIMEDOUT, sent) << n;
            }
        }
        EXPECT_EQ(0, wrong);
        EXPECT_EQ(0, missed);
        const auto expected = c.kinds.begin();
        const std::vector<mcucom_event> events =
            sim.Events(expected != c.kinds.end() ? static_cast<size_t>(expected->second) : 1);
        const std::map<uint32_t, int> kinds = CountKinds(events);
        if (c.options.unaskedCode >= 0) {
            EXPECT_EQ(1u, kinds.size());
            EXPECT_GE(kinds.count(MCUCOM_EVENT_UNASKED), 1u);
            for (const mcucom_event& e : events) {
                EXPECT_EQ(c.options.unaskedCode, e.code);
                EXPECT_EQ(c.options.unaskedLen, e.payload_len);
            }
        } else {
            EXPECT_EQ(c.kinds, kinds);
        }
        for (size_t i = 1; i < events.size(); ++i) {
            EXPECT_EQ(events[i - 1].seqno + 1, events[i].seqno);
            EXPECT_LE(events[i - 1].timestamp_us, events[i].timestamp_us);
        }
    }
}

// A queue of four that nobody reads keeps the newest four; the sequence numbers say how many
// went, and so does the counter.
TEST(CInterface, AFullQueueDropsTheOldestAndSaysHowMany) {
    SimOptions options;
    options.unaskedCode = 0x0019;
    options.unaskedEveryMs = 1;
    SimulatedLine sim(options, 4);
    ASSERT_EQ(0, sim.opened);
    for (const double limit = mcucom::MonotonicSeconds() + 30;
         mcucom_events_dropped(sim.link) < 20 && mcucom::MonotonicSeconds() < limit;) {
        usleep(5000);
    }
    sim.sim.Stop();
    // The receiver takes what is still on its way: the line's input is empty once it has.
    for (int pending = 1; ioctl(sim.line.slave(), FIONREAD, &pending) == 0 && pending > 0;) {
        usleep(1000);
    }
    mcucom_event events[8];
    const int got = mcucom_read_events(sim.link, events, 8, 0);
    ASSERT_EQ(4, got);
    const uint64_t dropped = mcucom_events_dropped(sim.link);
    for (int i = 0; i < got; ++i) {
        EXPECT_EQ(dropped + 1 + i, events[i].seqno);
    }
    struct pollfd pfd = {mcucom_event_fd(sim.link), POLLIN, 0};
    EXPECT_EQ(0, poll(&pfd, 1, 0));  // nothing queued: not readable
}

// The MCU's end goes away while a command waits: it fails with the line's loss at once, not at
// its time-out, the descriptor wakes with the loss, and every later command says so.
TEST(CInterface, ALostLineEndsTheWaitAndWakesTheDescriptor) {
    SimOptions options;
    options.answer = false;
    SimulatedLine sim(options);
    ASSERT_EQ(0, sim.opened);
    std::future<int> waiting = std::async(std::launch::async, [&sim] {
        return mcucom_command(sim.link, 6, kPayload, 2, 60000, nullptr);
    });
    while (sim.sim.stats().framesReceived == 0) {
        usleep(1000);
    }
    sim.sim.Stop();
    sim.line.HangUp();
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(30)));
    EXPECT_EQ(-ENOLINK, waiting.get());
    struct pollfd pfd = {mcucom_event_fd(sim.link), POLLIN, 0};
    EXPECT_EQ(1, poll(&pfd, 1, 0));  // queued before the command was told
    mcucom_event event;
    ASSERT_EQ(1, mcucom_read_events(sim.link, &event, 1, 0));
    EXPECT_EQ(uint32_t(MCUCOM_EVENT_LINE_LOST), event.kind);
    EXPECT_EQ(-ENOLINK, mcucom_command(sim.link, 6, kPayload, 2, 100, nullptr));
    EXPECT_EQ(ENOLINK, errno);
}

// Closed while four threads wait for answers and one for events: each call returns that the
// link is closed, and the close itself returns.
TEST(CInterface, ACloseEndsTheCallsInProgress) {
    SimOptions options;
    options.answer = false;
    SimulatedLine sim(options);
    ASSERT_EQ(0, sim.opened);
    std::vector<std::future<int>> calls;
    for (uint32_t code : {0x0002u, 0x0006u, 0x0303u, 0x0404u}) {
        calls.push_back(std::async(std::launch::async, [&sim, code] {
            return mcucom_command(sim.link, code, kPayload, 2, 60000, nullptr);
        }));
    }
    calls.push_back(std::async(std::launch::async, [&sim] {
        mcucom_event event;
        return mcucom_read_events(sim.link, &event, 1, -1);
    }));
    while (sim.sim.stats().framesReceived < 4) {
        usleep(1000);
    }
    // A shutdown ends them and refuses what comes after, the handle still there; the close
    // frees it.
    ASSERT_EQ(0, mcucom_shutdown(sim.link));
    for (std::future<int>& call : calls) {
        ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(30)));
        EXPECT_EQ(-ESHUTDOWN, call.get());
    }
    EXPECT_EQ(-ESHUTDOWN, mcucom_command(sim.link, 6, kPayload, 2, 100, nullptr));
    EXPECT_EQ(-ESHUTDOWN, mcucom_event_fd(sim.link));
}

// A daemon's loop on one thread: commands of eight codes in flight at once, started without
// waiting, and their completions and the MCU's events taken from the descriptor by poll().
struct EventLoop {
    explicit EventLoop(mcucom_link* link) : link(link) {}

    // Every command of codes started again as each completes, until each code has sent
    // perCode; a blocking thread beside it may use other codes of the same link.
    void Run(const std::vector<uint32_t>& codes, int perCode, unsigned timeoutMs) {
        for (uint32_t code : codes) {
            Start(code, timeoutMs);
        }
        struct pollfd pfd = {mcucom_event_fd(link), POLLIN, 0};
        while (!inFlight.empty()) {
            ASSERT_EQ(1, poll(&pfd, 1, 30000)) << inFlight.size() << " commands never completed";
            mcucom_event events[16];
            const int got = mcucom_read_events(link, events, 16, 0);
            ASSERT_GT(got, 0);
            for (int i = 0; i < got; ++i) {
                if (events[i].kind != MCUCOM_EVENT_COMPLETION) {
                    ++others[events[i].kind];
                    continue;
                }
                const uint32_t code = Completed(events[i]);
                if (++sent[code] < perCode) {
                    Start(code, timeoutMs);
                }
            }
        }
    }
    void Start(uint32_t code, unsigned timeoutMs) {
        const uint64_t tag = nextTag++;
        ASSERT_EQ(0, mcucom_command_start(link, code, kPayload, 2, timeoutMs, tag));
        inFlight[tag] = code;
    }
    // The code of the completed command, once its tag is known to be one in flight.
    uint32_t Completed(const mcucom_event& e) {
        const auto it = inFlight.find(e.tag);
        EXPECT_NE(inFlight.end(), it) << "tag " << e.tag << " completed twice or never started";
        if (it == inFlight.end()) {
            return 0;
        }
        const uint32_t code = it->second;
        inFlight.erase(it);
        EXPECT_EQ(code, e.code);
        ++statuses[e.status];
        const bool answers = (mcucom_command_flag(code) & 0x40) != 0;
        if (e.status == 0 && answers) {
            wrong += e.payload_len < 2 || e.payload[0] != e.serial;
        } else if (e.status == 0) {
            wrong += e.payload_len != 0;
        }
        return code;
    }

    mcucom_link* link;
    uint64_t nextTag = 1;
    std::map<uint64_t, uint32_t> inFlight;
    std::map<uint32_t, int> sent;
    std::map<int, int> statuses;
    std::map<uint32_t, int> others;
    int wrong = 0;
};

// Started commands complete exactly once each, with their own answers, under every fault the
// simulator makes, while another thread's blocking commands share the link.
TEST(CInterface, StartedCommandsCompleteOnceWithTheirOwnAnswers) {
    const std::vector<uint32_t> codes = {0x0002, 0x0003, 0x0006, 0x0007,
                                         0x0009, 0x000f, 0x0010, 0x0005};  // 0005: no answer
    const struct {
        const char* name;
        SimOptions options;
        bool lossy;
    } cases[] = {
        {"clean", SimOptions(), false},
        {"late", Faults([](SimOptions* o) { o->lateEvery = 4, o->lateMs = 80; }), true},
        {"duplicate", Faults([](SimOptions* o) { o->duplicate = 1; }), false},
        {"unasked", Faults([](SimOptions* o) { o->unaskedCode = 0x0019; }), false},
        {"noise", Faults([](SimOptions* o) { o->noiseMax = 32, o->falseHeads = true; }), false},
        {"split", Faults([](SimOptions* o) { o->split = true; }), false},
        {"corrupt", Faults([](SimOptions* o) { o->corrupt = 0.3; }), true},
        {"drop", Faults([](SimOptions* o) { o->drop = 0.3; }), true},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        c.options.unaskedEveryMs = 5;
        SimulatedLine sim(c.options);
        ASSERT_EQ(0, sim.opened) << mcucom_strerror(sim.opened);
        std::future<int> blocking = std::async(std::launch::async, [&sim, &c] {
            int own = 0;
            for (int n = 0; n < 40; ++n) {
                mcucom_answer answer;
                const int got =
                    mcucom_command(sim.link, 0x0011, kPayload, 2, c.lossy ? 100 : 10000, &answer);
                own += got == 0 ? answer.payload[0] == answer.serial : c.lossy;
            }
            return own;
        });
        EventLoop loop(sim.link);
        loop.Run(codes, 30, c.lossy ? 60 : 10000);
        EXPECT_EQ(40, blocking.get());
        EXPECT_EQ(0, loop.wrong);
        for (uint32_t code : codes) {
            EXPECT_EQ(30, loop.sent[code]) << code;
        }
        const int failed = 8 * 30 - loop.statuses[0] - loop.statuses[-ETIMEDOUT];
        EXPECT_EQ(0, failed);
        if (!c.lossy) {
            EXPECT_EQ(0, loop.statuses[-ETIMEDOUT]);
        }
        EXPECT_EQ(c.options.unaskedCode >= 0, loop.others[MCUCOM_EVENT_UNASKED] > 0);
    }
}

// A code already waiting is refused at once, whichever call sent it. A shutdown completes every
// command in flight as closed, and those completions can still be read; a lost line completes
// them as lost. A close with commands in flight returns.
TEST(CInterface, CommandsInFlightCompleteWhenTheLinkEnds) {
    for (const bool lose : {false, true}) {
        SCOPED_TRACE(lose ? "line lost" : "shutdown");
        SimOptions options;
        options.answer = false;
        SimulatedLine sim(options);
        ASSERT_EQ(0, sim.opened);
        EventLoop loop(sim.link);
        for (uint32_t code : {0x0002u, 0x0006u, 0x0303u, 0x0404u}) {
            loop.Start(code, 60000);
        }
        EXPECT_EQ(-EALREADY, mcucom_command_start(sim.link, 0x0303, kPayload, 2, 100, 0));
        EXPECT_EQ(-EALREADY, mcucom_command(sim.link, 0x0303, kPayload, 2, 100, nullptr));
        while (sim.sim.stats().framesReceived < 4) {
            usleep(1000);
        }
        if (lose) {
            sim.sim.Stop();
            sim.line.HangUp();
        } else {
            ASSERT_EQ(0, mcucom_shutdown(sim.link));
        }
        mcucom_event event;
        while (!loop.inFlight.empty() && mcucom_read_events(sim.link, &event, 1, 30000) == 1) {
            if (event.kind == MCUCOM_EVENT_COMPLETION) {
                loop.Completed(event);
            }
        }
        EXPECT_TRUE(loop.inFlight.empty());
        EXPECT_EQ(4, loop.statuses[lose ? -ENOLINK : -ESHUTDOWN]);
        const int after = lose ? -ENOLINK : -ESHUTDOWN;
        EXPECT_EQ(after, mcucom_command_start(sim.link, 6, kPayload, 2, 100, 9));
        if (!lose) {
            EXPECT_EQ(-ESHUTDOWN, mcucom_read_events(sim.link, &event, 1, -1));
        }
    }
    SimOptions silent;
    silent.answer = false;
    SimulatedLine sim(silent);
    ASSERT_EQ(0, sim.opened);
    ASSERT_EQ(0, mcucom_command_start(sim.link, 6, kPayload, 2, 60000, 1));
    ASSERT_EQ(0, mcucom_close(sim.link));  // the wait ends with the close, not in a minute
    sim.opened = -1;
}

// A completion is never dropped: the MCU's frames make way for it in a full queue, and a start
// is refused while completions would fill the queue's depth.
TEST(CInterface, CompletionsAreNeverDroppedForTheMcusFrames) {
    SimOptions options;
    options.unaskedCode = 0x0019;
    options.unaskedEveryMs = 1;
    options.delayMs = 100;
    SimulatedLine sim(options, 4);
    ASSERT_EQ(0, sim.opened);
    for (uint64_t tag = 1; tag <= 4; ++tag) {
        EXPECT_EQ(0, mcucom_command_start(sim.link, tag == 4 ? 0x0007 : 1 + tag, kPayload, 2, 10000,
                                          tag));
    }
    EXPECT_EQ(-ENOBUFS, mcucom_command_start(sim.link, 0x0009, kPayload, 2, 10000, 5));
    while (sim.sim.stats().answersSent < 4 || mcucom_events_dropped(sim.link) < 50) {
        usleep(2000);
    }
    mcucom_event events[8];
    std::set<uint64_t> tags;
    for (int got; (got = mcucom_read_events(sim.link, events, 8, 1000)) > 0 && tags.size() < 4;) {
        for (int i = 0; i < got; ++i) {
            if (events[i].kind == MCUCOM_EVENT_COMPLETION) {
                EXPECT_EQ(0, events[i].status);
                tags.insert(events[i].tag);
            }
        }
    }
    EXPECT_EQ((std::set<uint64_t>{1, 2, 3, 4}), tags);
}

// The frame rules for tools: a frame laid out as the wire carries it, frames found among noise
// and behind a head that never came whole, the command table.
TEST(CInterface, TheFrameRulesForTools) {
    unsigned char out[32];
    const std::string payload("\xa1\xb2\xc3", 3);
    EXPECT_EQ(14, mcucom_frame_build(0x10, 0x41, 6, payload.data(), 3, out, sizeof out));
    EXPECT_EQ(Hex(ValidFrame(0x10, 0x41, 6, payload)), Hex(std::string((char*)out, 14)));
    EXPECT_EQ(-ENOBUFS, mcucom_frame_build(0x10, 0x41, 6, payload.data(), 3, out, 13));
    EXPECT_EQ(-EMSGSIZE, mcucom_frame_build(1, 0x41, 6, out, 1025, out, sizeof out));
    const std::string frame = ValidFrame(1, 0x41, 2), falseHead("\x75\xaa\x00\x30", 4);
    const std::string data = "\x01\x75\x02" + frame + falseHead + frame.substr(0, 5);
    size_t offset = 99, length = 99;
    EXPECT_EQ(1, mcucom_frame_find(data.data(), data.size(), 0, &offset, &length));
    EXPECT_EQ(3u, offset);
    EXPECT_EQ(frame.size(), length);
    const std::string rest = data.substr(3 + frame.size());
    EXPECT_EQ(0, mcucom_frame_find(rest.data(), rest.size(), 0, &offset, &length));
    EXPECT_EQ(0u, offset);  // the false head may yet come whole
    EXPECT_EQ(0, mcucom_frame_find(rest.data(), rest.size(), 1, &offset, &length));
    EXPECT_EQ(rest.size(), offset);  // once nothing more comes, all of it is noise
    EXPECT_EQ(0u, length);
    EXPECT_EQ(-EINVAL, mcucom_frame_find(data.data(), data.size(), 0, nullptr, &length));
    EXPECT_EQ(0x41, mcucom_command_flag(6));
    EXPECT_EQ(0x11, mcucom_command_flag(0x0332));
    EXPECT_EQ(0, mcucom_command_flag(0x10006));
    // The table, entry by entry: 31 codes, the power command fifth, command 0404 last.
    std::vector<std::pair<uint32_t, uint8_t>> table;
    uint32_t code = 0;
    uint8_t flag = 0;
    while (mcucom_command_entry(table.size(), &code, &flag) == 1) {
        table.emplace_back(code, flag);
    }
    ASSERT_EQ(31u, table.size());
    EXPECT_EQ(std::make_pair(uint32_t(6), uint8_t(0x41)), table[4]);
    EXPECT_EQ(std::make_pair(uint32_t(0x0404), uint8_t(0x51)), table.back());
    EXPECT_EQ(-EINVAL, mcucom_command_entry(0, nullptr, &flag));
}

// Two links on two lines in one process: each gets its own answers and its own events.
TEST(CInterface, TwoLinksOnTwoLinesAreApart) {
    SimOptions first, second;
    first.resultSeq = second.resultSeq = true;
    second.unaskedCode = 0x0019;
    second.unaskedEveryMs = 10;
    SimulatedLine a(first), b(second);
    ASSERT_EQ(0, a.opened);
    ASSERT_EQ(0, b.opened);
    std::future<int> onB = std::async(std::launch::async, [&b] {
        int own = 0;
        for (int n = 1; n <= 50; ++n) {
            mcucom_answer answer;
            own +=
                mcucom_command(b.link, 6, kPayload, 2, 10000, &answer) == 0 && answer.result == n;
        }
        return own;
    });
    int own = 0;
    for (int n = 1; n <= 50; ++n) {
        mcucom_answer answer;
        own += mcucom_command(a.link, 6, kPayload, 2, 10000, &answer) == 0 && answer.result == n;
    }
    EXPECT_EQ(50, own);
    EXPECT_EQ(50, onB.get());
    mcucom_event event;
    EXPECT_EQ(0, mcucom_read_events(a.link, &event, 1, 0));
    EXPECT_EQ(1, mcucom_read_events(b.link, &event, 1, 10000));
}

// A daemon with over a thousand descriptors open (past what select() watches) still sends and
// gets its answers; the line is close-on-exec, so a program it starts cannot write to the MCU;
// and a close ends the receiver's wait at once, however long its read time-out.
TEST(CInterface, ManyDescriptorsChildrenAndALongReadTimeout) {
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1200) {
        GTEST_SKIP() << "the descriptor limit is below 1200";
    }
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = 1200;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    std::vector<int> filler;
    for (int fd = dup(0); fd >= 0 && fd < 1100; fd = dup(0)) {
        filler.push_back(fd);
    }
    {
        SimulatedLine sim(SimOptions(), 256, nullptr, nullptr, 60000);
        ASSERT_EQ(0, sim.opened) << mcucom_strerror(sim.opened);
        mcucom_answer answer;
        EXPECT_EQ(0, mcucom_command(sim.link, 6, kPayload, 2, 10000, &answer));
        int onTheLine = 0;
        for (int fd = 0; fd < 1200; ++fd) {
            char path[64], target[256] = {};
            snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
            if (readlink(path, target, sizeof target - 1) > 0 && sim.line.slavePath() == target) {
                ++onTheLine;
                EXPECT_GE(fd, 1024);
                EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
            }
        }
        EXPECT_GE(onTheLine, 2);  // the port's own and the receiver's
        const double start = mcucom::MonotonicSeconds();
        ASSERT_EQ(0, mcucom_close(sim.link));
        sim.opened = -1;
        EXPECT_LT(mcucom::MonotonicSeconds() - start, 30.0);  // not the read time-out's 60 s
    }
    for (int fd : filler) {
        close(fd);
    }
    limit.rlim_cur = soft;
    setrlimit(RLIMIT_NOFILE, &limit);
}

struct ClosingHandler {
    mcucom_link* link = nullptr;
    std::mutex lock;
    std::vector<int> results;
    std::set<std::thread::id> threads;
};

void CloseFromHandler(void* context, int, const char*) {
    ClosingHandler* handler = static_cast<ClosingHandler*>(context);
    std::lock_guard<std::mutex> guard(handler->lock);
    if (handler->link != nullptr) {
        handler->results.push_back(mcucom_close(handler->link));
        handler->threads.insert(std::this_thread::get_id());
    }
}

// A log handler that closes its own link, on a command's thread and on the receiver's (which
// logs the noise it drops), is refused rather than left to free the link under the receiver or
// wait for itself; the link goes on working, and closes from outside.
TEST(CInterface, AHandlerCannotCloseItsOwnLink) {
    SimOptions options;
    options.noiseMax = 16;
    ClosingHandler handler;
    SimulatedLine sim(options, 256, CloseFromHandler, &handler);
    ASSERT_EQ(0, sim.opened);
    handler.link = sim.link;
    for (int n = 0; n < 20; ++n) {
        EXPECT_EQ(0, mcucom_command(sim.link, 6, kPayload, 2, 10000, nullptr)) << n;
    }
    std::lock_guard<std::mutex> guard(handler.lock);
    handler.link = nullptr;
    EXPECT_EQ(2u, handler.threads.size());
    for (int result : handler.results) {
        EXPECT_EQ(-EDEADLK, result);
    }
}

// The longest device path the header allows (51 characters) opens, and one more is refused;
// an answer whose payload is the serial number alone comes whole, with no result byte.
TEST(CInterface, TheLongestDevicePathAndTheShortestAnswer) {
    PtyLine line;
    const TempPath folder("mcucom-path", TempPath::kFolder);
    const std::string longest = folder.path() + "/" + std::string(50 - folder.path().size(), 'l');
    ASSERT_EQ(51u, longest.size());
    ASSERT_EQ(0, symlink(line.slavePath().c_str(), longest.c_str()));
    struct RemovedAtTheEnd {
        const std::string& path;
        ~RemovedAtTheEnd() { unlink(path.c_str()); }
    } removeLink{longest};  // before the folder goes, whatever the test did
    mcucom_options options;
    mcucom_options_init(&options);
    mcucom_link* link = nullptr;
    const std::string tooLong = longest + "l";
    options.device = tooLong.c_str();
    EXPECT_EQ(-ENAMETOOLONG, mcucom_open(&options, &link));
    options.device = longest.c_str();
    ASSERT_EQ(0, mcucom_open(&options, &link));
    std::thread mcu([&line] {
        const std::string request = line.Drain();
        line.Send(ValidFrame(9, 0x01, 6, request.substr(4, 1)));
    });
    mcucom_answer answer;
    EXPECT_EQ(0, mcucom_command(link, 6, kPayload, 2, 10000, &answer));
    mcu.join();
    EXPECT_EQ(1, answer.payload_len);
    EXPECT_EQ(answer.serial, answer.payload[0]);
    EXPECT_EQ(0, answer.result);
    EXPECT_EQ(0, mcucom_close(link));
}

// A line whose output stays full fails a command's write (-EIO) and is no lost line: once the
// far end reads again, the next command goes out.
TEST(CInterface, AFullLineFailsTheWriteAndStaysUp) {
    PtyLine line;
    mcucom_options options;
    mcucom_options_init(&options);
    options.device = line.slavePath().c_str();
    mcucom_link* link = nullptr;
    ASSERT_EQ(0, mcucom_open(&options, &link));
    // Filled until the line has had no room for a while: the kernel moves what was written on
    // towards the far end's buffer a little later, making room again until that one is full.
    fcntl(line.slave(), F_SETFL, fcntl(line.slave(), F_GETFL) | O_NONBLOCK);
    const std::string block(512, 'f');
    struct pollfd room = {line.slave(), POLLOUT, 0};
    do {
        while (write(line.slave(), block.data(), block.size()) > 0) {
        }
    } while (poll(&room, 1, 500) == 1);
    EXPECT_EQ(-EIO, mcucom_command(link, 8, kPayload, 2, 0, nullptr));
    line.Drain();
    EXPECT_EQ(0, mcucom_command(link, 8, kPayload, 2, 0, nullptr));
    EXPECT_EQ(0, mcucom_close(link));
}

void Collect(void* context, int level, const char* line) {
    static_cast<std::vector<std::string>*>(context)->push_back(std::to_string(level) + " " + line);
}

// Opening takes the line and refuses a held one; closing puts its settings back. Options are
// checked, results have words, and the link's lines go to its handler, never to the streams.
TEST(CInterface, OpeningClosingAndTheLinksLines) {
    mcucom_options options;
    mcucom_options_init(&options);
    mcucom_link* link = nullptr;
    options.device = "/nonexistent/tty";
    EXPECT_EQ(-ENOENT, mcucom_open(&options, &link));
    EXPECT_EQ(-EINVAL, mcucom_open(&options, nullptr));
    EXPECT_EQ(-EINVAL, mcucom_open(nullptr, &link));
    options.device = "/dev/a-path-longer-than-fifty-one-characters-of-a-device";
    EXPECT_EQ(-ENAMETOOLONG, mcucom_open(&options, &link));
    options.baud_rate = 1234;
    EXPECT_EQ(-EINVAL, mcucom_open(&options, &link));
    mcucom_answer answer;
    memset(&answer, 0xff, sizeof answer);
    EXPECT_EQ(-EINVAL, mcucom_command(nullptr, 6, nullptr, 0, 0, &answer));
    EXPECT_EQ(0u, answer.serial + answer.payload_len + answer.round_trip_us);
    EXPECT_EQ(-EINVAL, mcucom_close_keeping_settings(nullptr));
    PtyLine line;
    struct termios cooked;
    tcgetattr(line.slave(), &cooked);
    std::vector<std::string> lines;
    mcucom_options_init(&options);
    options.device = line.slavePath().c_str();
    options.first_serial = 7;
    options.log = Collect;
    options.log_context = &lines;
    ASSERT_EQ(0, flock(line.slave(), LOCK_EX | LOCK_NB));
    EXPECT_EQ(-EBUSY, mcucom_open(&options, &link));
    flock(line.slave(), LOCK_UN);
    CaptureOutput capture;
    ASSERT_EQ(0, mcucom_open(&options, &link));
    mcucom_link* second = nullptr;
    EXPECT_EQ(-EBUSY, mcucom_open(&options, &second));  // a second link of the same program
    EXPECT_STREQ("the line is held by another program, or by another link of this one",
                 mcucom_strerror(-EBUSY));
    EXPECT_EQ(-EMSGSIZE, mcucom_command(link, 6, kPayload, 1025, 10, nullptr));
    EXPECT_EQ(-ENOMSG, mcucom_command(link, 1, kPayload, 2, 10, nullptr));
    EXPECT_EQ(-ETIMEDOUT, mcucom_command(link, 6, kPayload, 2, 10, nullptr));
    EXPECT_EQ(0, mcucom_command(link, 8, kPayload, 2, 10, nullptr));  // no answer expected
    ASSERT_EQ(0, mcucom_close(link));
    EXPECT_EQ("", capture.Out() + capture.Err());
    const std::vector<std::string> expected = {
        "6 Open COM  " + line.slavePath() + " OK! ",
        "7 ## ackBit is 0x1 ",
        "6 Inf [WriteData():318] Add cmd(0006),serialNum(8),ret(1),waitlistsize(1),deallist(0),"
        "timeo(10)...",
        "3 Err [WriteData():334] wait cmd err(-4)...",
        "3 Err [sendCmdData():432] ret(-4),len(0),serialNum(0),result(0)...",
        "7 ## ackBit is 0 ",
        "6 MainINF [sendCmdData():446] Send To MCU: 75aa000609 0100080102 0575aa"};
    EXPECT_EQ(expected, lines);
    struct termios after;
    tcgetattr(line.slave(), &after);
    EXPECT_EQ(cooked.c_lflag, after.c_lflag);
    EXPECT_EQ(cfgetospeed(&cooked), cfgetospeed(&after));
    // Closed, the line is another program's to take, and this one's to open again, its lines
    // now printed as the fixed interface prints them: on their streams, and no others (the
    // receiver's word on the noise before the MCU's frame). A failed command still tells its
    // serial number; kept, the line has the link's settings.
    EXPECT_EQ(0, flock(line.slave(), LOCK_EX | LOCK_NB));
    flock(line.slave(), LOCK_UN);
    options.log = mcucom_log_stdio;
    CaptureOutput stdio;
    ASSERT_EQ(0, mcucom_open(&options, &link));
    line.Send("\x01\x02\x03" + ValidFrame(1, 0x01, 6, "\x05"));
    mcucom_event event;
    EXPECT_EQ(1, mcucom_read_events(link, &event, 1, 10000));
    memset(&answer, 0xff, sizeof answer);
    EXPECT_EQ(-ENOMSG, mcucom_command(link, 1, kPayload, 2, 10, &answer));
    EXPECT_EQ(0, answer.serial);
    memset(&answer, 0xff, sizeof answer);
    EXPECT_EQ(-ETIMEDOUT, mcucom_command(link, 6, kPayload, 2, 10, &answer));
    EXPECT_EQ(8, answer.serial);
    EXPECT_EQ(0, answer.payload_len + answer.result);
    EXPECT_GE(answer.round_trip_us, 10000u);
    EXPECT_EQ(0, mcucom_close_keeping_settings(link));
    auto text = [&expected](size_t i) { return expected[i].substr(2) + "\n"; };
    EXPECT_EQ(text(0) + text(1), stdio.Out());
    EXPECT_EQ(text(2) + text(3) + text(4), stdio.Err());
    tcgetattr(line.slave(), &after);
    EXPECT_EQ(0u, after.c_lflag & ICANON);
    EXPECT_STRNE(mcucom_strerror(-ETIMEDOUT), mcucom_strerror(-EALREADY));
    EXPECT_STREQ("the line was lost (hung up, or its device removed)", mcucom_strerror(-ENOLINK));
}

}  // namespace
