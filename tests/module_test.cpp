// SPDX-License-Identifier: MIT
// The module below its programs. On their own: frame completion and checksum, the command
// table, the frame ring, the packet list and the wait list (the packet list's passes, order
// and posts, and the stream scanner, are checked against models by their fuzzers, whose
// corpora every build replays). On a real pseudo-terminal (the slave is the device, the test
// plays the MCU on the master): the serial port, serial numbers, the power requests, the send
// path, and whole round trips through the receiver and the simulated MCU. Expected bytes come
// from the test's own oracle, never from the module. Serial numbers are process-wide, so
// expectations count from a first draw.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ack/AckResults.h"
#include "ack/DataPackList.h"
#include "ack/FrameQueue.h"
#include "capi/EventQueue.h"
#include "common/Clock.h"
#include "common/CommonResults.h"
#include "common/JobThreads.h"
#include "common/WorkerThread.h"
#include "link/McuLink.h"
#include "link/McuPort.h"
#include "link/ModuleResults.h"
#include "receiver/RecentCommands.h"
#include "serial/PortResults.h"
#include "sim/LocalLink.h"
#include "tests/support/CaptureOutput.h"
#include "tests/support/FrameBuffer.h"
#include "tests/support/FrameOracle.h"
#include "tests/support/ToolRun.h"
#include "tool/HddPower.h"

namespace {

// The results callers on the board compare against as numbers: each name keeps its value.
TEST(FixedResults, EveryNameKeepsItsNumber) {
    const struct {
        const char* name;
        int value, number;
    } results[] = {
        {"QUEUE_TOO_FEW_BYTES", mcucom::QUEUE_TOO_FEW_BYTES, -1},
        {"QUEUE_BAD_ARGUMENT", mcucom::QUEUE_BAD_ARGUMENT, -3},
        {"QUEUE_NO_ROOM", mcucom::QUEUE_NO_ROOM, -4},
        {"QUEUE_TOO_LARGE", mcucom::QUEUE_TOO_LARGE, -5},
        {"QUEUE_BAD_CHECKSUM", mcucom::QUEUE_BAD_CHECKSUM, -6},
        {"QUEUE_BAD_TAIL", mcucom::QUEUE_BAD_TAIL, -7},
        {"PACK_LIST_NULL_FRAME", mcucom::PACK_LIST_NULL_FRAME, -1},
        {"PACK_LIST_NO_ARRIVAL", mcucom::PACK_LIST_NO_ARRIVAL, -1},
        {"WAIT_LIST_NULL_FRAME", mcucom::WAIT_LIST_NULL_FRAME, -1},
        {"WAIT_LIST_NO_MATCH", mcucom::WAIT_LIST_NO_MATCH, -2},
        {"WAIT_LIST_HELD", mcucom::WAIT_LIST_HELD, -3},
        {"WAIT_LIST_NO_ACK", mcucom::WAIT_LIST_NO_ACK, -4},
        {"WAIT_LIST_NO_MEMORY", mcucom::WAIT_LIST_NO_MEMORY, -5},
        {"WAIT_LIST_ALREADY_WAITING", mcucom::WAIT_LIST_ALREADY_WAITING, -6},
        {"WAIT_LIST_ALREADY_ANSWERED", mcucom::WAIT_LIST_ALREADY_ANSWERED, -7},
        {"PORT_FAIL", mcucom::PORT_FAIL, -1},
        {"IPC_FAIL", mcucom::IPC_FAIL, -1},
        {"FIFO_FAIL", mcucom::FIFO_FAIL, -1},
        {"CONTAINS_FOUND", mcucom::CONTAINS_FOUND, -1},
        {"CONTAINS_NOT_FOUND", mcucom::CONTAINS_NOT_FOUND, 0},
        {"SEND_BAD_ARGUMENT", mcucom::SEND_BAD_ARGUMENT, -1},
        {"SEND_WRITE_FAILED", mcucom::SEND_WRITE_FAILED, -7},
        {"SEND_UNKNOWN_CMD", mcucom::SEND_UNKNOWN_CMD, -9},
        {"MODULE_PORT_FAIL", mcucom::MODULE_PORT_FAIL, -1},
    };
    for (const auto& r : results) {
        EXPECT_EQ(r.number, r.value) << r.name;
    }
}

TEST(FrameCompletion, WritesHeadChecksumAndTailAndNothingBeyond) {
    for (const std::string& payload : {std::string(), std::string("\xa1\xb2\xc3"),
                                       std::string(37, '\x5c'), std::string(1024, '\x81')}) {
        const std::string expected =
            ValidFrame(static_cast<unsigned char>(payload.size() + 7), 0x41,
                       static_cast<unsigned short>(0x0300 + payload.size()), payload);
        std::string buf(expected.size() + 8, '\xee');
        buf.replace(2, expected.size() - 5, expected.substr(2, expected.size() - 5));
        EXPECT_EQ(static_cast<int>(expected.size()), cmdData2Frame(&buf[0]));
        EXPECT_EQ(Hex(expected + std::string(8, '\xee')), Hex(buf)) << payload.size();
    }
    // The literal frame of command 2, serial 1, as the MCU expects it; no bytes, no checksum.
    EXPECT_EQ(Hex(std::string("\x75\xaa\x00\x04\x01\x41\x00\x02\x46\x75\xaa", 11)),
              Hex(ValidFrame(1, 0x41, 2)));
    unsigned char none[1] = {0x5a};
    EXPECT_EQ(0, XorCheckSum(none, 0) + XorCheckSum(none, -3));
}

TEST(CommandTable, FlagBytesAndCodesWithout) {
    const struct {
        unsigned code;
        unsigned char flag;
    } cases[] = {{0x0002, 0x41}, {0x0006, 0x41}, {0x0008, 0x01}, {0x0332, 0x11}, {0x0330, 0x41},
                 {0x0303, 0x51}, {0x0404, 0x51}, {0, 0},         {1, 0},         {10, 0},
                 {0x0331, 0},    {0x10006, 0},   {0xFFFFFFFF, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.flag, GetCmdFlag(static_cast<COM_CMD_3520D_TYPE>(c.code))) << c.code;
    }
}

std::string FrameOfSize(int total, char fill = 'p', unsigned char serial = 1) {
    return ValidFrame(serial, 0x41, 6, std::string(static_cast<size_t>(total - 11), fill));
}

int Store(CFrameQueue& q, std::string frame) {
    return q.AddFrame(&frame[0], static_cast<int>(frame.size()));
}

// The next frame's bytes, or for no frame "result " and the result.
std::string Take(CFrameQueue& q) {
    char out[2048];
    const int got = q.GetFrame(out);
    return got > 0 ? std::string(out, static_cast<size_t>(got)) : "result " + std::to_string(got);
}

// The fuzzer checks the other refusals (null, short or lying lengths, frames too large).
TEST(FrameQueue, StoresRefusesMakesRoomAndWrapsWithTheirCounts) {
    CFrameQueue q;
    EXPECT_EQ(0, q.QueueInit(10));  // at least 50 bytes
    EXPECT_EQ(50, q.GetQueueSize());
    const std::string a = FrameOfSize(11), b = FrameOfSize(20, 'b', 2);
    EXPECT_EQ(39, Store(q, a));
    EXPECT_EQ(19, Store(q, b));
    EXPECT_EQ(2, q.GetFrameNum());
    EXPECT_EQ(Hex(a), Hex(Take(q)));
    EXPECT_EQ(Hex(b), Hex(Take(q)));
    EXPECT_EQ("result " + std::to_string(mcucom::QUEUE_TOO_FEW_BYTES), Take(q));
    EXPECT_EQ(mcucom::QUEUE_BAD_ARGUMENT, q.GetFrame(nullptr));
    std::string badSum = ValidFrame(1, 0x41, 2), badTail = badSum;
    badSum[8] = '\x47';
    badTail[9] = '\x12';
    badTail[10] = '\x34';
    {
        CaptureOutput capture;
        EXPECT_EQ(mcucom::QUEUE_BAD_CHECKSUM, Store(q, badSum));
        EXPECT_EQ(mcucom::QUEUE_BAD_TAIL, Store(q, badTail));
        EXPECT_EQ(
            "Err [checkValidFrame():84] checksum(46), length(11) is invalid!\n"
            "Err [checkValidFrame():89] frame tail(1234)(3412) is invalid!\n",
            capture.Err());
    }
    EXPECT_EQ(0, q.GetDataLen());
    // A store drops the oldest frames to make room.
    EXPECT_EQ(0, q.QueueInit(51));
    EXPECT_EQ(51, q.GetQueueSize());
    Store(q, FrameOfSize(20, 'a', 1));
    Store(q, b);
    EXPECT_EQ(16, Store(q, FrameOfSize(15, 'c', 3)));
    EXPECT_EQ(2, q.GetFrameNum());
    EXPECT_EQ(Hex(b), Hex(Take(q)));
    // Room-making that runs out of frames: a stored headless frame is never one.
    q.QueueInit(50);
    std::string headless = FrameOfSize(20);
    headless[0] = 0;
    Store(q, headless);
    EXPECT_EQ(mcucom::QUEUE_NO_ROOM, Store(q, FrameOfSize(50)));
    // Frames that end exactly at the buffer's end, and frames cut in two by it.
    for (int first : {25, 11, 24, 26, 39}) {
        SCOPED_TRACE("frames of " + std::to_string(first) + " and " + std::to_string(50 - first) +
                     " bytes in turn");
        q.QueueInit(50);
        for (int i = 0; i < 6; ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            const std::string frame =
                FrameOfSize(i % 2 == 0 ? first : 50 - first, static_cast<char>('A' + i),
                            static_cast<unsigned char>(i));
            EXPECT_GE(Store(q, frame), 0);
            EXPECT_EQ(Hex(frame), Hex(Take(q)));
        }
    }
}

#ifdef HDDPOWER_SANITIZED
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

// The process's mapped memory, as the kernel counts it.
long MappedBytes() {
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        EXPECT_EQ(1, fscanf(statm, "%ld", &pages));
        fclose(statm);
    }
    return pages * sysconf(_SC_PAGESIZE);
}

// A queue gives its buffer back when it goes: 64 queues of a mebibyte, made and destroyed one
// after the other, reuse one another's memory. Under the sanitizers freed memory is held back
// for a while, and AddressSanitizer's leak check at exit sees a buffer never given back.
TEST(FrameQueue, DestroyedQueuesGiveTheirBuffersBack) {
    const long before = MappedBytes();
    for (int i = 0; i < 64; ++i) {
        CFrameQueue q;
        ASSERT_EQ(0, q.QueueInit(1 << 20));
    }
    if (!kSanitized) {
        EXPECT_LT(MappedBytes() - before, 32L << 20);
    }
}

// Bytes the search must drop, stored ahead of a good frame: the good frame comes out next,
// nothing is left after it, and the drop is counted under its reason.
TEST(FrameQueue, SearchSkipsWhatIsNoFrameAndResynchronises) {
    std::string headless = FrameOfSize(20, 'h');
    headless[1] = '\x55';
    std::string damagedHead = FrameOfSize(14, 'd');  // its tail reads as a head with len 0x75AA
    damagedHead[0] = '\x00';
    // 75 AA, len 0, checksum 00, tail 75 AA: every other rule would pass it as 7 bytes.
    std::string undersize = ValidFrame(1, 0x41, 6, std::string("\x75\xaa\x00\x00\x00\x75\xaa", 7));
    undersize[0] = '\x00';
    // Heads refused on the way: each skipped frame's tail, read with the good frame's head as
    // its len, is one; the oversize frame's own head is another; the undersize frame's inner
    // head, and its inner tail read with its checksum as len, are two more.
    const struct {
        std::string skipped;
        unsigned long mcucom::FrameDropStats::*reason;
        unsigned long refusedHeads;
    } cases[] = {
        {headless, &mcucom::FrameDropStats::noHead, 1},
        {damagedHead, &mcucom::FrameDropStats::oversize, 1},
        {undersize, &mcucom::FrameDropStats::undersize, 3},
        {ValidFrame(1, 0x41, 6, std::string(1025, 'o')), &mcucom::FrameDropStats::oversize, 2},
        {std::string("\x75\x75") + FrameOfSize(60, '\x75').substr(2),
         &mcucom::FrameDropStats::noHead, 1}};
    for (const auto& c : cases) {
        CFrameQueue q;
        const std::string good = FrameOfSize(16, 'g', 7);
        ASSERT_GE(Store(q, c.skipped), 0);
        ASSERT_GE(Store(q, good), 0);
        EXPECT_EQ(Hex(good), Hex(Take(q)));
        EXPECT_GT(q.GetDropStats().*c.reason, 0u);
        EXPECT_EQ(c.refusedHeads, q.GetDropStats().RefusedHeads()) << Hex(c.skipped);
        EXPECT_EQ(0, q.GetDataLen());  // nothing left behind it
    }
    // A lone head byte with a head right after it: only that byte is noise. Stored inside a
    // frame whose own head is damaged, as the ring takes only whole frames.
    CFrameQueue q;
    const std::string inner = FrameOfSize(16, 'i', 3);
    std::string outer = ValidFrame(1, 0x41, 6, "\x75" + inner);
    outer[1] = '\x55';
    ASSERT_GE(Store(q, outer), 0);
    EXPECT_EQ(Hex(inner), Hex(Take(q)));
}

int Add(DataPackList& list, const std::string& frame) {
    FrameBuffer buf(frame);
    return list.AddDatatoList(buf.frame());
}

// Looks up with the key (cmd, byte 8); the frame found goes to *found.
int Lookup(DataPackList& list, unsigned short cmd, unsigned char serial,
           std::string* found = nullptr, int mode = 0, unsigned timeo = 0) {
    FrameBuffer buf;
    buf.frame()->cmd = htons(cmd);
    mcucom::FramePayload(buf.frame())[0] = serial;
    __ComFrameData* frame = buf.frame();
    const int result = list.GetDatafromList(frame, mode, timeo);
    EXPECT_EQ(buf.frame(), frame);  // the pointer itself never changes
    if (found != nullptr) {
        *found = result > 0 ? buf.Bytes(result) : std::string();
    }
    return result;
}

std::string TakeAny(DataPackList& list) {
    std::string found;
    Lookup(list, 0, 0, &found, mcucom::DATA_LIST_MODE_ANY);
    return found;
}

TEST(DataPackList, DiscardDropsEveryAnswerToACommandAndItsPostAndEightKibibytesFit) {
    DataPackList list;
    const std::string keep1 = Ack(6, 2), keep2 = Ack(7, 1);
    for (const std::string& frame : {Ack(6, 1), keep1, Ack(6, 1, 9), keep2, Ack(4, 5), Ack(4, 6)}) {
        Add(list, frame);
    }
    EXPECT_EQ(2, list.DiscardAnswersTo(htons(6), 1));
    EXPECT_EQ(2, list.DiscardAnswersTo(htons(4), 9));  // command 4, whatever the serial
    EXPECT_EQ(Hex(keep1), Hex(TakeAny(list)));
    EXPECT_EQ(Hex(keep2), Hex(TakeAny(list)));
    EXPECT_EQ(mcucom::PACK_LIST_NO_ARRIVAL,
              Lookup(list, 6, 2));  // four posts went with their frames
    // Other code on the board sizes its buffers by a list's 8 KiB: eight frames of 1024 bytes
    // fit without a drop, a ninth pushes the oldest out.
    EXPECT_EQ(8192, list.GetDataBufSize());
    for (int n = 1; n <= 8; ++n) {
        EXPECT_EQ(n, Add(list, FrameOfSize(1024, 'k', static_cast<unsigned char>(n))));
    }
    EXPECT_EQ(8, Add(list, FrameOfSize(1024, 'k', 9)));
}

TEST(DataPackList, ALookupWaitsForAnArrivalOrItsTimeout) {
    DataPackList list;
    std::future<int> receiver = std::async(std::launch::async, [&list] {
        usleep(100 * 1000);
        return Add(list, Ack(6, 0x10));
    });
    EXPECT_EQ(13, Lookup(list, 6, 0x10, nullptr, 0, 30000));
    EXPECT_EQ(1, receiver.get());
    __ComFrameData* none = nullptr;
    EXPECT_EQ(mcucom::PACK_LIST_NULL_FRAME, list.GetDatafromList(none, 0, 100));
    EXPECT_EQ(mcucom::PACK_LIST_NULL_FRAME, list.AddDatatoList(nullptr));
    for (unsigned timeo : {999u, 1000u}) {  // milliseconds alone, and a whole second
        const double start = mcucom::MonotonicSeconds();
        EXPECT_EQ(mcucom::PACK_LIST_NO_ARRIVAL, Lookup(list, 6, 0x10, nullptr, 0, timeo));
        EXPECT_GE(mcucom::MonotonicSeconds() - start, timeo / 1000.0 - 0.05);
    }
}

// Stop() returns only once the body has: an object that owns the thread may then go.
TEST(WorkerThread, StopWaitsForTheBodyAndAllowsANewStart) {
    mcucom::WorkerThread worker;
    std::atomic<int> ended(0);
    const auto body = [&worker, &ended] {
        while (!worker.stopping()) {
            usleep(1000);
        }
        usleep(100 * 1000);  // winding down takes a while
        ++ended;
    };
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(worker.Start(body));
        EXPECT_FALSE(worker.Start(body));
        worker.Stop();
        EXPECT_EQ(round, ended.load());
        EXPECT_FALSE(worker.running());
    }
}

// A frame the board sent (serial at byte 4) and the MCU's acknowledgement (serial at byte 8).
struct Command {
    Command(unsigned short cmd, unsigned char serial)
        : sent(ValidFrame(serial, 0x41, cmd, "\x01\x02")), ack(Ack(cmd, serial)) {}
    __ComFrameData* Sent() { return sent.frame(); }
    __ComFrameData* Answer() { return ack.frame(); }
    FrameBuffer sent, ack;
};

// Whether the thread sleeps (state S in /proc): blocked, not running or about to run.
bool ThreadSleeps(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t state = all.rfind(") ");
    return state != std::string::npos && all.compare(state + 2, 1, "S") == 0;
}

// A waiter on its own thread, returned once it holds its entry: the list's lock is not
// contended, so the waiter sleeps nowhere but on the entry's semaphore.
std::future<int> StartWaiter(WaitCmdList& list, __ComFrameData* frame) {
    std::atomic<pid_t> tid(0);
    std::future<int> waiter = std::async(std::launch::async, [&list, frame, &tid] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        return list.WaitCmdFlag(frame, 30000);
    });
    const double giveUp = mcucom::MonotonicSeconds() + 30;
    while ((tid == 0 || !ThreadSleeps(tid)) && mcucom::MonotonicSeconds() < giveUp) {
        usleep(1000);
    }
    return waiter;
}

TEST(WaitCmdList, ResultsCountTheEntriesAndAnswersMatchOnTheirByteEightExceptForCommandFour) {
    WaitCmdList list;
    Command a(6, 1), b(7, 2), sameCode(6, 9);
    // An empty list counts 0 entries; a null frame is -1 before anything else.
    const struct {
        const char* call;
        int expected;
        std::function<int()> run;
    } empty[] = {
        {"isCmdExist", 0, [&] { return list.isCmdExist(a.Sent()); }},
        {"FindCmd", 0, [&] { return list.FindCmd(a.Answer()); }},
        {"SetCmdFlag", 0, [&] { return list.SetCmdFlag(a.Answer()); }},
        {"RemvedCmdfromList", 0, [&] { return list.RemvedCmdfromList(a.Sent()); }},
        {"WaitCmdFlag", mcucom::WAIT_LIST_NO_MATCH,
         [&] { return list.WaitCmdFlag(a.Sent(), 100); }},
        {"AddCmdtoList(null)", mcucom::WAIT_LIST_NULL_FRAME,
         [&] { return list.AddCmdtoList(nullptr); }},
        {"FindCmd(null)", mcucom::WAIT_LIST_NULL_FRAME, [&] { return list.FindCmd(nullptr); }},
        {"SetCmdFlag(null)", mcucom::WAIT_LIST_NULL_FRAME,
         [&] { return list.SetCmdFlag(nullptr); }},
        {"RemvedCmdfromList(null)", mcucom::WAIT_LIST_NULL_FRAME,
         [&] { return list.RemvedCmdfromList(nullptr); }},
        {"WaitCmdFlag(null)", mcucom::WAIT_LIST_NO_MATCH,
         [&] { return list.WaitCmdFlag(nullptr, 100); }},
    };
    for (const auto& c : empty) {
        EXPECT_EQ(c.expected, c.run()) << c.call << " on an empty list";
    }
    EXPECT_EQ(1, list.AddCmdtoList(a.Sent()));
    EXPECT_EQ(2, list.AddCmdtoList(b.Sent()));
    EXPECT_EQ(mcucom::WAIT_LIST_ALREADY_WAITING, list.AddCmdtoList(sameCode.Sent()));
    EXPECT_EQ(2, list.isCmdExist(sameCode.Sent()));
    EXPECT_EQ(mcucom::WAIT_LIST_NO_MATCH, list.RemvedCmdfromList(sameCode.Sent()));
    EXPECT_EQ(2, list.RemvedCmdfromList(a.Sent()));  // the count before the removal
    EXPECT_EQ(1, list.RemvedCmdfromList(b.Sent()));
    // Answers match on their byte 8, except for command 4.
    Command six(6, 0x21), four(4, 0x30), staleSix(6, 0x20), otherFour(4, 0x99);
    list.AddCmdtoList(six.Sent());
    list.AddCmdtoList(four.Sent());
    EXPECT_EQ(mcucom::WAIT_LIST_NO_MATCH, list.FindCmd(staleSix.Answer()));
    EXPECT_EQ(mcucom::WAIT_LIST_NO_MATCH, list.SetCmdFlag(staleSix.Answer()));
    EXPECT_EQ(2, list.FindCmd(otherFour.Answer()));
    EXPECT_EQ(2, list.SetCmdFlag(otherFour.Answer()));
    EXPECT_EQ(0, list.WaitCmdFlag(four.Sent(), 0));  // the earlier post was kept
    EXPECT_EQ(mcucom::WAIT_LIST_NO_MATCH, list.RemvedCmdfromList(otherFour.Sent()));
    EXPECT_EQ(2, list.RemvedCmdfromList(four.Sent()));
    // One answer per registration: a copy is refused until the command registers anew.
    EXPECT_EQ(1, list.ClaimAnswer(six.Answer()));
    EXPECT_EQ(mcucom::WAIT_LIST_ALREADY_ANSWERED, list.ClaimAnswer(six.Answer()));
    EXPECT_EQ(mcucom::WAIT_LIST_NO_MATCH, list.ClaimAnswer(staleSix.Answer()));
    list.RemvedCmdfromList(six.Sent());
    list.AddCmdtoList(six.Sent());
    EXPECT_EQ(1, list.ClaimAnswer(six.Answer()));
}

// An MCU frame without a payload has no serial byte: its byte 8 is the checksum. Made so that
// the checksum equals the waiting command's serial number, it still answers nothing, for
// command 4 too, in every reader that pairs frames with commands.
TEST(AnswerMatching, AFrameWithoutAPayloadAnswersNoCommand) {
    for (unsigned short cmd : {6, 4}) {
        SCOPED_TRACE(cmd);
        const unsigned char serial = 0x21;
        std::string empty;
        for (int own = 0; own < 256 && (empty.empty() || (unsigned char)empty[8] != serial);
             ++own) {
            empty = ValidFrame(static_cast<unsigned char>(own), 0x01, cmd);
        }
        ASSERT_EQ(serial, (unsigned char)empty[8]);
        FrameBuffer frame(empty);
        Command command(cmd, serial);

        WaitCmdList waiting;
        waiting.AddCmdtoList(command.Sent());
        EXPECT_EQ(mcucom::WAIT_LIST_NO_MATCH, waiting.FindCmd(frame.frame()));
        EXPECT_EQ(mcucom::WAIT_LIST_NO_MATCH, waiting.SetCmdFlag(frame.frame()));
        EXPECT_EQ(mcucom::WAIT_LIST_NO_MATCH, waiting.ClaimAnswer(frame.frame()));

        DataPackList answers;
        answers.AddDatatoList(frame.frame());
        EXPECT_EQ(0, answers.DiscardAnswersTo(htons(cmd), serial));
        FrameBuffer key(Ack(cmd, serial));
        __ComFrameData* found = key.frame();
        EXPECT_EQ(0, answers.GetDatafromList(found, 0, 0));
        EXPECT_EQ(1, answers.GetDataListSize());

        mcucom::RecentCommands recent;
        recent.Finished(htons(cmd), serial, false, 0);
        EXPECT_EQ(mcucom::kFrameUnasked,
                  recent.Classify(reinterpret_cast<const unsigned char*>(empty.data()), 0));
        EXPECT_EQ(mcucom::kFrameLateAnswer,
                  recent.Classify(reinterpret_cast<const unsigned char*>(command.ack.data), 0));
    }
}

bool Readable(int fd) {
    struct pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, 0) == 1;
}

// The descriptor is readable exactly while events are queued: after a push that drops the
// oldest of a full queue of one, after a read that leaves some behind, and not once the last
// is taken.
TEST(EventQueue, TheDescriptorIsReadableExactlyWhileEventsAreQueued) {
    const std::string frame = ValidFrame(1, 0x01, 0x19, "\x05");
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(frame.data());
    for (size_t depth : {1, 4}) {
        SCOPED_TRACE(depth);
        mcucom::EventQueue queue(depth);
        EXPECT_FALSE(Readable(queue.fd()));
        for (int i = 0; i < 3; ++i) {
            queue.PushFrame(bytes, static_cast<int>(frame.size()), mcucom::kFrameUnasked, i);
        }
        mcucom_event events[3];
        const int queued = depth == 1 ? 1 : 3;
        EXPECT_EQ(3u - queued, queue.dropped());
        for (int left = queued; left > 0; --left) {
            EXPECT_TRUE(Readable(queue.fd())) << left << " queued";
            ASSERT_EQ(1, queue.Read(events, 1, 0));
        }
        EXPECT_FALSE(Readable(queue.fd()));
        EXPECT_EQ(3u, events[0].seqno);
        EXPECT_EQ(0, queue.Read(events, 3, 0));
    }
}

// Jobs run at once on threads of their own, as many as are handed over together; a job handed
// over when the last one's second part has told of its end finds that thread spare, so jobs
// one after the other never make a second thread. Stop runs what was handed over, then refuses.
TEST(JobThreads, RunsJobsAtOnceAndReusesASpareThread) {
    mcucom::JobThreads threads;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> done(0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(threads.Reserve());
        threads.Run([released] { released.wait(); }, [&done] { ++done; });
    }
    EXPECT_EQ(3u, threads.threads());  // three waits at once, each on its own thread
    release.set_value();
    while (done < 3) {
        usleep(1000);
    }
    for (int i = 0; i < 20; ++i) {
        std::promise<void> told;
        ASSERT_TRUE(threads.Reserve());
        // The thread lingers after telling: spare by then, it is reserved again meanwhile.
        threads.Run([] {}, [&told] { told.set_value(), usleep(5000); });
        told.get_future().wait();
    }
    EXPECT_EQ(3u, threads.threads());
    ASSERT_TRUE(threads.Reserve());
    threads.Unreserve();
    std::atomic<bool> ran(false);
    ASSERT_TRUE(threads.Reserve());
    threads.Run([&ran] { ran = true; }, [] {});
    threads.Stop();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(threads.Reserve());
}

TEST(WaitCmdList, AWaiterIsWokenHoldsItsEntryAndTimesOut) {
    WaitCmdList list;
    Command f(6, 3);
    list.AddCmdtoList(f.Sent());
    std::future<int> waiter = StartWaiter(list, f.Sent());
    EXPECT_EQ(mcucom::WAIT_LIST_NO_MATCH, list.WaitCmdFlag(f.Sent(), 30000));  // held by the waiter
    EXPECT_EQ(mcucom::WAIT_LIST_HELD, list.RemvedCmdfromList(f.Sent()));
    EXPECT_EQ(1, list.SetCmdFlag(f.Answer()));
    EXPECT_EQ(0, waiter.get());
    for (int timeo : {999, 1300}) {  // milliseconds alone, and a second and more
        const double start = mcucom::MonotonicSeconds();
        EXPECT_EQ(mcucom::WAIT_LIST_NO_ACK, list.WaitCmdFlag(f.Sent(), timeo));
        EXPECT_GE(mcucom::MonotonicSeconds() - start, timeo / 1000.0 - 0.05) << timeo;
    }
    EXPECT_EQ(1, list.RemvedCmdfromList(f.Sent()));
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(line.ok()); }
    TerminalInfo Settings(unsigned baud = 115200, int dataBits = 8, char parity = 'N',
                          int stopBits = 1) {
        TerminalInfo info = mcucom::McuPortSettings(line.slavePath().c_str());
        info.baudRate = baud;
        info.dataBits = static_cast<unsigned char>(dataBits);
        info.parity = parity;
        info.stopBits = static_cast<unsigned char>(stopBits);
        return info;
    }
    int Open(TerminalInfo info) {
        CaptureOutput quiet;
        return port.OpenCom(&info);
    }
    struct termios LineSettings() {
        struct termios tio;
        tcgetattr(line.slave(), &tio);
        return tio;
    }

    PtyLine line;
    CComTransmit port;
};

TEST_F(SerialPortTest, OpenAppliesTheSettingsAndReportsTheDevice) {
    TerminalInfo info = Settings();
    CaptureOutput capture;
    ASSERT_EQ(0, port.OpenCom(&info));
    // The MCU's settings themselves are read off the line by mcusim's report, end to end.
    EXPECT_EQ("Open COM  " + line.slavePath() + " OK! \n", capture.Out());
    port.CloseCom();
    for (char parity : {'\0', 'N', 'S', 's', 'n'}) {  // INPCK stays clear only for 'n'
        ASSERT_EQ(0, Open(Settings(115200, 8, parity, 1))) << int(parity);
        EXPECT_EQ(parity != 'n', (LineSettings().c_iflag & INPCK) != 0) << int(parity);
        EXPECT_EQ(0, port.CloseCom());
    }
    // Flow control found on the line is switched off: no handshake wire or XON/XOFF byte.
    struct termios flow = LineSettings();
    flow.c_cflag |= CRTSCTS;
    flow.c_iflag |= IXOFF | IXANY;
    tcsetattr(line.slave(), TCSANOW, &flow);
    ASSERT_EQ(0, Open(Settings()));
    flow = LineSettings();
    EXPECT_EQ(0u, flow.c_cflag & CRTSCTS);
    EXPECT_EQ(0u, flow.c_iflag & (IXON | IXOFF | IXANY));
    port.CloseCom();
    // A pseudo-terminal keeps 8 bits without parity: a line that does not take the framing
    // asked for is not opened, whichever C library checks it.
    EXPECT_EQ(mcucom::PORT_FAIL, Open(Settings(9600, 7, 'E', 2)));
    ASSERT_EQ(0, Open(Settings(9600, 8, 'N', 2)));
    struct termios tio = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&tio));
    // Raw mode comes last and forces 8 bits without parity; the stop bits stay.
    EXPECT_EQ(static_cast<tcflag_t>(CS8 | CSTOPB), tio.c_cflag & (CSIZE | PARENB | CSTOPB));
    port.CloseCom();
    const struct {
        unsigned baud;
        speed_t code;
    } speeds[] = {{300, B300},     {600, B600},       {1200, B1200},     {2400, B2400},
                  {4800, B4800},   {9600, B9600},     {19200, B19200},   {38400, B38400},
                  {57600, B57600}, {115200, B115200}, {230400, B230400}, {1800, B0}};  // none
    for (const auto& speed : speeds) {
        port.CloseCom();
        ASSERT_EQ(0, Open(Settings(speed.baud)));
        tio = LineSettings();
        EXPECT_EQ(speed.code, cfgetospeed(&tio)) << speed.baud;
        EXPECT_EQ(speed.code, cfgetispeed(&tio)) << speed.baud;
    }
    if (EmulatorPrefix().empty()) {  // qemu-user's termios translation has no CMSPAR bit
        port.CloseCom();
        info = Settings();
        info.stickParity = 1;
        ASSERT_EQ(0, Open(info));
        EXPECT_NE(0u, LineSettings().c_cflag & CMSPAR);
    }
}

// A session leader without a terminal (a boot script, a daemon's child) that opens the port
// must not make it its controlling terminal.
TEST_F(SerialPortTest, NeverBecomesTheControllingTerminal) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        TerminalInfo info = Settings();
        _exit(port.OpenCom(&info) == 0 && open("/dev/tty", O_RDWR) < 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status);
}

TEST_F(SerialPortTest, FailedOpensAreSilentAndLeakNothing) {
    const int before = OpenDescriptors();
    for (TerminalInfo info :
         {Settings(115200, 9), Settings(115200, 8, 'N', 3), Settings(115200, 8, 'X'),
          mcucom::McuPortSettings("/nonexistent/tty")}) {
        {
            CaptureOutput capture;
            EXPECT_EQ(mcucom::PORT_FAIL, port.OpenCom(&info));
            EXPECT_EQ(mcucom::PORT_FAIL,
                      port.WriteCom(nullptr, 1, 1));  // closed, as before the open
            EXPECT_EQ("Com Port Err: -1\n", capture.Out() + capture.Err());
        }
        EXPECT_EQ(before, OpenDescriptors());
    }
    ASSERT_EQ(0, Open(Settings()));
    EXPECT_EQ(mcucom::PORT_FAIL, Open(Settings(9600, 7, 'E', 2)));  // a second open keeps the first
    const struct termios kept = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&kept));
    EXPECT_EQ(0, port.CloseCom());
    {
        CaptureOutput capture;
        for (int i = 0; i < 50; ++i) {  // the raw-read descriptor too goes with the port
            char buf[8];
            int len = 0;
            ASSERT_EQ(0, Open(Settings()));
            ASSERT_EQ(mcucom::PORT_FAIL, port.ReadComEx(buf, sizeof buf, &len, 0, 1000));
            ASSERT_EQ(0, port.CloseCom());
            ASSERT_EQ(mcucom::PORT_FAIL, port.CloseCom());
        }
        EXPECT_EQ("", capture.Out() + capture.Err());
    }
    EXPECT_EQ(before, OpenDescriptors());
    // Standard input closed after the open: the raw-read descriptor lands on 0, and goes too.
    const int stdinCopy = dup(0);
    ASSERT_EQ(0, Open(Settings()));
    close(0);
    char buf[8];
    int len = 0;
    port.ReadComEx(buf, sizeof buf, &len, 0, 1000);
    char target[256] = "";
    ASSERT_GT(readlink("/proc/self/fd/0", target, sizeof target - 1), 0);
    ASSERT_EQ(line.slavePath(), target);
    EXPECT_EQ(0, port.CloseCom());
    EXPECT_EQ(-1, fcntl(0, F_GETFD));
    dup2(stdinCopy, 0);
    close(stdinCopy);
}

TEST_F(SerialPortTest, WritesLineReadsAndRawReads) {
    ASSERT_EQ(0, Open(Settings()));
    char data[] = "ok\n";
    EXPECT_EQ(3, port.WriteCom(data, 3, 1));
    EXPECT_EQ("ok\n", line.Drain());  // raw: no newline translation
    char buf[256] = "";
    int len = 99;
    EXPECT_EQ(mcucom::PORT_FAIL, port.ReadComEx(buf, sizeof buf, &len, 0, 100000));
    EXPECT_EQ(99, len);
    line.Send("abc");
    EXPECT_EQ(0, port.ReadComEx(buf, sizeof buf, &len, 2, 0));
    EXPECT_EQ("abc", std::string(buf, static_cast<size_t>(len)));
    for (const std::string bytes : {"d", "de"}) {  // one byte is a read like any other
        line.Send(bytes);
        EXPECT_EQ(0, port.ReadBinCom(buf, sizeof buf, &len, 0)) << bytes;
        EXPECT_EQ(bytes, std::string(buf, static_cast<size_t>(len)));
    }
    line.Send("stale");  // input that has arrived is dropped by a flush
    struct pollfd arrived = {line.slave(), POLLIN, 0};
    ASSERT_EQ(1, poll(&arrived, 1, 5000));
    port.IOFlush();
    EXPECT_EQ(mcucom::PORT_FAIL, port.ReadComEx(buf, sizeof buf, &len, 0, 100000));
    EXPECT_EQ(mcucom::PORT_FAIL, port.ReadCom(buf, sizeof buf, &len, 1));
    EXPECT_EQ(0, len);
    line.Send(std::string(300, 'L') + "\n#a03\nlast\n");
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 2));
    EXPECT_EQ(255, len);  // cut at the size less one
    EXPECT_EQ(std::string(255, 'L'), buf);
    ASSERT_NE(nullptr, port.ReadLine(buf, sizeof buf));
    EXPECT_EQ(std::string(45, 'L') + "\n", buf);
    // A line that arrived with an earlier one is read without waiting for more bytes.
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 5));
    EXPECT_STREQ("#a03\n", buf);
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 5));
    EXPECT_STREQ("last\n", buf);
    struct termios tio = LineSettings();  // a read that gives nothing after 0.1 s
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 1;
    tcsetattr(line.slave(), TCSANOW, &tio);
    EXPECT_EQ(mcucom::PORT_FAIL, port.ReadBinCom(buf, sizeof buf, &len, 0));
    EXPECT_EQ(0, len);
    memset(buf, 0, sizeof buf);
    line.HangUp();  // an ended stream: 0 and length 0
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 2));
    EXPECT_EQ(0, len);
    port.CloseCom();
    port.IOFlush();  // a closed port has nothing to flush, and no descriptor to touch
}

// The MCU port waits up to a second for room on the line: with the line's buffer full and the
// far end reading again 300 ms later, a request still goes out whole.
TEST(McuPortWrite, WaitsForRoomOnAFullLine) {
    PtyMcuPort port;
    ASSERT_TRUE(port.ok());
    const int filler = open(port.line().slavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    const std::string block(512, 'f');
    size_t held = 0;
    for (ssize_t n; (n = write(filler, block.data(), block.size())) > 0;) {
        held += static_cast<size_t>(n);
    }
    close(filler);
    PtyLine* line = &port.line();
    std::future<std::string> farEnd = std::async(std::launch::async, [line] {
        usleep(300 * 1000);
        return line->Drain();
    });
    std::string frame = ValidFrame(1, 0x41, 6);
    EXPECT_EQ(11, WriteToMcuPort(&frame[0], 11));
    const std::string arrived = farEnd.get();
    EXPECT_EQ(held + 11, arrived.size());
    EXPECT_EQ(Hex(frame), Hex(arrived.substr(arrived.size() < 11 ? 0 : arrived.size() - 11)));
}

// Another process reading the same device may take the bytes that made the port readable;
// the raw read must then come back empty instead of blocking until more bytes arrive.
// A line read that met the end of the stream (a line whose settings let a read return nothing)
// reads the next line once it comes: the end is not kept for good.
TEST_F(SerialPortTest, ALineReadAfterTheStreamEndedReadsTheNextLine) {
    ASSERT_EQ(0, Open(Settings()));
    struct termios tio = LineSettings();
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(line.slave(), TCSANOW, &tio);
    char buf[64] = {};
    int len = -1;
    for (const char* text : {"ab", "cd\n", "ef\n"}) {  // the first ends where the stream does
        line.Send(text);
        memset(buf, 0, sizeof buf);
        EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 10)) << text;
        EXPECT_STREQ(text, buf);
    }
    line.Send("gh");
    struct pollfd pfd = {line.slave(), POLLIN, 0};
    ASSERT_EQ(1, poll(&pfd, 1, 10000));
    EXPECT_STREQ("gh", port.ReadLine(buf, sizeof buf));
    line.Send("ij\n");
    ASSERT_EQ(1, poll(&pfd, 1, 10000));
    EXPECT_STREQ("ij\n", port.ReadLine(buf, sizeof buf));
    EXPECT_EQ(0, port.CloseCom());
}

TEST_F(SerialPortTest, ARawReadNeverBlocksWhenAnotherReaderTakesTheBytes) {
    for (const bool portOnZero : {false, true}) {  // descriptor 0 is a port's like any other
        CaptureOutput quiet;                       // takes its descriptors before 0 is freed
        const int before = OpenDescriptors();
        const int stdinCopy = dup(0);
        if (portOnZero) {
            close(0);
        }
        TerminalInfo info = Settings();
        ASSERT_EQ(0, port.OpenCom(&info));
        EXPECT_EQ(1, port.WriteCom(const_cast<char*>("w"), 1, 1));
        const int other = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
        std::atomic<bool> stop(false);
        std::thread thief([&] {
            char c;
            while (!stop && read(other, &c, 1) > 0) {
            }
        });
        int blockedAt = -1, lostAt = -1;
        for (int round = 0; round < 300 && blockedAt < 0; ++round) {
            std::future<int> reader = std::async(std::launch::async, [this] {
                char buf[8];
                int len = 0;
                return port.ReadComEx(buf, sizeof buf, &len, 0, 20000);
            });
            // Bytes taken from under a read that tells a quiet line from a lost one are no loss.
            std::future<int> lossReader = std::async(std::launch::async, [this] {
                char buf[8];
                return port.ReadOrLost(buf, sizeof buf, 20000);
            });
            usleep(1000);
            line.Send("x");
            if (reader.wait_for(std::chrono::seconds(10)) != std::future_status::ready ||
                lossReader.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
                blockedAt = round;
                line.Send("unblock");  // lets the stuck read return, so the test can end
            } else if (lossReader.get() < 0 && lostAt < 0) {
                lostAt = round;
            }
        }
        stop = true;
        line.Send("z");
        thief.join();
        close(other);
        EXPECT_EQ(0, port.CloseCom());
        EXPECT_NE(-1, fcntl(0, F_GETFD));  // a port on descriptor 0 leaves it open
        dup2(stdinCopy, 0);
        close(stdinCopy);
        EXPECT_EQ(before, OpenDescriptors());
        EXPECT_EQ(-1, blockedAt) << "blocked in round " << blockedAt << ", on 0: " << portOnZero;
        EXPECT_EQ(-1, lostAt) << "taken for lost in round " << lostAt << ", on 0: " << portOnZero;
    }
}

unsigned char After(unsigned char serial, int steps) {
    for (int i = 0; i < steps; ++i) {
        serial = static_cast<unsigned char>(serial == 255 ? 1 : serial + 1);
    }
    return serial;
}

TEST(SerialNumbers, RunFromOneTo255AndNeverZeroEvenFromManyThreads) {
    const unsigned char first = GetSerialNum();
    for (int i = 1; i <= 600; ++i) {
        ASSERT_EQ(After(first, i), GetSerialNum());
    }
    for (int round = 0; round < 100; ++round) {  // two threads draw 254: all different, none 0
        std::vector<int> mine, theirs;
        auto draw = [](std::vector<int>* seen) {
            for (int i = 0; i < 127; ++i) {
                seen->push_back(GetSerialNum());
            }
        };
        std::thread other(draw, &theirs);
        draw(&mine);
        other.join();
        std::set<int> all(mine.begin(), mine.end());
        all.insert(theirs.begin(), theirs.end());
        ASSERT_EQ(254u, all.size()) << "round " << round;
        ASSERT_EQ(0u, all.count(0));
    }
}

__UserCmdData Request(unsigned cmd, std::string* payload, unsigned char serial = 0) {
    __UserCmdData request;
    request.cmd = static_cast<COM_CMD_3520D_TYPE>(cmd);
    request.serialNum = serial;
    request.dataLen = static_cast<unsigned short>(payload->size());
    request.data = reinterpret_cast<unsigned char*>(&(*payload)[0]);
    return request;
}

// Plays the receiver by hand: acknowledges the next frame on the line as the module's receiver
// would, the answer into m_ackList first and then the waiter woken. Returns the frame answered.
std::string AcknowledgeNextFrame(PtyLine* line, unsigned char result) {
    std::string sent;
    const double limit = mcucom::MonotonicSeconds() + 30;
    while ((sent.size() < 4 || sent.size() < 7u + (unsigned char)sent[3]) &&
           mcucom::MonotonicSeconds() < limit) {
        sent += line->Drain(5);
    }
    FrameBuffer ack(Ack(mcucom::FrameCmdCode(reinterpret_cast<const unsigned char*>(sent.data())),
                        static_cast<unsigned char>(sent[4]), result));
    m_ackList.AddDatatoList(ack.frame());
    m_waitCmdList.SetCmdFlag(ack.frame());
    return sent;
}

class SendPathTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(port.ok()); }
    void TearDown() override { EXPECT_EQ(0, m_waitCmdList.GetDataListSize()); }
    std::string Wire() { return port.line().Drain(); }

    PtyMcuPort port;
    FrameBuffer reply;
};

TEST_F(SendPathTest, CodesEightAndThirtyThreeArePrintedAfterSending) {
    std::string two("\x01\x02"), long25(25, '\x11');
    __UserCmdData eight = Request(8, &two, 1), thirtyThree = Request(33, &long25, 2);
    CaptureOutput capture;
    EXPECT_EQ(0, sendCmdData(&eight, reply.frame(), 0));
    EXPECT_EQ(0, sendCmdData(&thirtyThree, nullptr, 0));
    EXPECT_EQ(
        "## ackBit is 0 \nMainINF [sendCmdData():446] Send To MCU: 75aa000601 0100080102 0d75aa\n"
        "## ackBit is 0 \nMainINF [sendCmdData():446] Send To MCU: 75aa001d02 0100211111 "
        "1111111111 1111111111 1111111111 1111111111\n 1111112e75 aa\n",
        capture.Out());
    EXPECT_EQ("\n\n", capture.Err());
    EXPECT_EQ(Hex(ValidFrame(1, 0x01, 8, two) + ValidFrame(2, 0x01, 33, long25)), Hex(Wire()));
}

TEST_F(SendPathTest, SerialNumbersGivenOrDrawnAndUnknownCodes) {
    std::string none, largest(2037, 'L');
    __UserCmdData given = Request(5, &none, 7), fresh = Request(5, &none),
                  unknown = Request(1, &none), big = Request(5, &largest, 3);
    const unsigned char before = GetSerialNum();
    CaptureOutput capture;
    EXPECT_EQ(0, sendCmdData(&given, reply.frame(), 0));
    EXPECT_EQ(0, sendCmdData(&fresh, reply.frame(), 0));
    EXPECT_EQ(mcucom::SEND_UNKNOWN_CMD, sendCmdData(&unknown, reply.frame(), 100));
    EXPECT_EQ(0, sendCmdData(&big, nullptr, 0));
    EXPECT_EQ(7, given.serialNum);
    EXPECT_EQ(After(before, 1), fresh.serialNum);
    EXPECT_EQ(After(before, 2), unknown.serialNum);  // taken, though nothing is sent
    EXPECT_EQ(After(before, 3), GetSerialNum());
    EXPECT_EQ(Hex(ValidFrame(7, 0x01, 5) + ValidFrame(fresh.serialNum, 0x01, 5) +
                  ValidFrame(3, 0x01, 5, largest)),
              Hex(Wire()));
}

TEST_F(SendPathTest, BadArgumentsAndASecondSenderAreRefusedBeforeAnythingIsSent) {
    std::string two("\x01\x02"), huge(2038, 'h');
    __UserCmdData eight = Request(8, &two), tooBig = Request(5, &huge), six = Request(6, &two, 9);
    std::string frame = ValidFrame(1, 0x41, 6);
    CaptureOutput silent;
    EXPECT_EQ(mcucom::SEND_BAD_ARGUMENT, sendCmdData(nullptr, reply.frame(), 0));
    EXPECT_EQ(mcucom::SEND_BAD_ARGUMENT, sendCmdData(&eight, nullptr, 100));  // a reply is needed
    EXPECT_EQ(mcucom::SEND_BAD_ARGUMENT, sendCmdData(&tooBig, reply.frame(), 0));
    EXPECT_EQ(mcucom::SEND_BAD_ARGUMENT, WriteData(nullptr, 11, reply.frame(), 0));
    EXPECT_EQ(mcucom::SEND_BAD_ARGUMENT, WriteData(&frame[0], 11, nullptr, 100));
    EXPECT_EQ(mcucom::SEND_BAD_ARGUMENT, WriteData(&frame[0], 0, reply.frame(), 100));
    EXPECT_EQ("", silent.Out() + silent.Err());
    // An acknowledged code with the default wait and no reply: refused after its ackBit line.
    CaptureOutput capture;
    EXPECT_EQ(mcucom::SEND_BAD_ARGUMENT, sendCmdData(&six, nullptr, 0));
    EXPECT_EQ("## ackBit is 0x1 \n", capture.Out());
    EXPECT_EQ("Err [sendCmdData():432] ret(-1),len(0),serialNum(0),result(0)...\n", capture.Err());
    // A second sender of a registered code is refused.
    FrameBuffer first(ValidFrame(0x61, 0x41, 6));  // registered, as by another sender
    ASSERT_EQ(1, m_waitCmdList.AddCmdtoList(first.frame()));
    std::string none;
    __UserCmdData second = Request(6, &none, 0x62);
    CaptureOutput refused;
    EXPECT_EQ(mcucom::WAIT_LIST_ALREADY_WAITING, sendCmdData(&second, reply.frame(), 50));
    EXPECT_EQ(
        "Err [WriteData():310] Add cmd(0006) err(-6)...\n"
        "Err [sendCmdData():432] ret(-6),len(0),serialNum(0),result(0)...\n",
        refused.Err());
    EXPECT_EQ(1, m_waitCmdList.RemvedCmdfromList(first.frame()));  // untouched by the second
    EXPECT_EQ("", Wire());
}

// Any unsigned time-out is waited for, up to the longest: ~0u is "as long as it takes".
TEST_F(SendPathTest, AnAcknowledgementCollectedIntoTheReply) {
    PtyLine* line = &port.line();
    for (unsigned timeo : {30000u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(timeo);
        // A stale answer with the same code and serial, left by an earlier command, is not taken.
        FrameBuffer stale(Ack(0x0303, 0x21, 0x99));
        m_ackList.AddDatatoList(stale.frame());
        std::future<std::string> receiver =
            std::async(std::launch::async, [line] { return AcknowledgeNextFrame(line, 0x5c); });
        std::string payload("\x01\x02\x03");
        __UserCmdData request = Request(0x0303, &payload, 0x21);
        CaptureOutput capture;
        EXPECT_EQ(13, sendCmdData(&request, reply.frame(), timeo));
        EXPECT_EQ(Hex(ValidFrame(0x21, 0x51, 0x0303, payload)), Hex(receiver.get()));
        EXPECT_EQ(Hex(Ack(0x0303, 0x21, 0x5c)), Hex(reply.Bytes(13)));
        EXPECT_EQ(0, m_ackList.GetDataListSize());
    }
    // A frame of the caller's own through WriteData: answered alike, and unregistered after.
    std::future<std::string> receiver =
        std::async(std::launch::async, [line] { return AcknowledgeNextFrame(line, 0x5d); });
    std::string frame = ValidFrame(0x22, 0x51, 0x0303, "\x01");
    CaptureOutput capture;
    EXPECT_EQ(
        13, WriteData(&frame[0], static_cast<unsigned short>(frame.size()), reply.frame(), 30000));
    EXPECT_EQ(Hex(frame), Hex(receiver.get()));
    EXPECT_EQ(Hex(Ack(0x0303, 0x22, 0x5d)), Hex(reply.Bytes(13)));
    EXPECT_EQ(0, m_waitCmdList.GetDataListSize());
}

// Woken for an answer the acknowledgement list does not hold, a link's command says the lists
// disagree: the fixed interface's -1 there is the packet list's "nothing arrived", not the send
// path's "bad argument" that the same number means elsewhere.
TEST(LinkResults, ListsThatDisagreeAreTheirOwnOutcome) {
    PtyLine line;
    mcucom::McuLink link(mcucom::LinkLog(nullptr, nullptr), 0x21);
    TerminalInfo info = mcucom::McuPortSettings(line.slavePath().c_str());
    ASSERT_EQ(0, link.port().OpenCom(&info));
    const unsigned char payload[] = {1, 2};
    std::future<mcucom::LinkResult> sent = std::async(std::launch::async, [&link, &payload] {
        return link.Command(6, payload, 2, 30000, nullptr);
    });
    while (link.waitList().GetDataListSize() == 0) {
        usleep(1000);
    }
    FrameBuffer answer(Ack(6, 0x21));
    EXPECT_EQ(1, link.waitList().SetCmdFlag(answer.frame()));
    EXPECT_EQ(mcucom::kLinkAnswerMissing, sent.get());
    EXPECT_EQ(mcucom::kLinkNoAnswer, link.Command(6, payload, 2, 1, nullptr));
    EXPECT_EQ(mcucom::kLinkPayloadTooLong, link.Command(6, payload, 1025, 1, nullptr));
}

// With no port, every write fails; the requests report it and the tool's still give 0.
TEST(ClosedPort, EveryRequestFailsItsWrite) {
    std::string none, frame = ValidFrame(1, 0x41, 6);
    __UserCmdData acked = Request(7, &none, 0x0b), plain = Request(5, &none, 0x0c);
    FrameBuffer reply(Ack(7, 0x0a, 0x5c));  // an earlier answer: the failure report shows it
    char buf[16] = "";
    int len = 99;
    CaptureOutput capture;
    EXPECT_EQ(mcucom::PORT_FAIL,
              g_McuCom.ReadCom(buf, sizeof buf, &len, 30));  // at once, not after 30 s
    EXPECT_EQ(0, len);
    len = 99;
    EXPECT_EQ(mcucom::PORT_FAIL, g_McuCom.ReadComEx(buf, sizeof buf, &len, 30, 0));
    EXPECT_EQ(mcucom::PORT_FAIL, g_McuCom.ReadBinCom(buf, sizeof buf, &len, 0));
    EXPECT_EQ(99, len);
    EXPECT_EQ(nullptr, g_McuCom.ReadLine(buf, sizeof buf));
    EXPECT_EQ(mcucom::PORT_FAIL, HddPowerOptASCII(1));
    EXPECT_EQ(0, EnableHardWareHddPower(0));
    EXPECT_EQ(mcucom::SEND_WRITE_FAILED, sendCmdData(&acked, reply.frame(), 200));
    EXPECT_EQ(mcucom::SEND_WRITE_FAILED, sendCmdData(&plain, reply.frame(), 200));
    EXPECT_EQ(mcucom::SEND_WRITE_FAILED,
              WriteData(&frame[0], 11, nullptr, 0));  // written, not waited
    EXPECT_EQ(mcucom::SEND_BAD_ARGUMENT, AlarmOutPowerCtl(nullptr, 100));
    EXPECT_EQ(mcucom::MODULE_PORT_FAIL, McuComModuleDestory());  // it was not open
    EXPECT_EQ(
        "Com Port Err: -1\n[ReadLine:417] Com Port Err: (nil)\nCom Port Err: -1\nCom Port "
        "Err: -1\n## ackBit is 0x1 \nCom Port Err: -1\n## ackBit is 0 \nCom Port Err: -1\n"
        "Com Port Err: -1\n",
        capture.Out());
    EXPECT_EQ(
        "Inf [WriteData():318] Add cmd(0007),serialNum(11),ret(1),waitlistsize(1),deallist(0),"
        "timeo(200)...\n"
        "Err [WriteData():325] Write com err...\n"
        "Err [sendCmdData():432] ret(-7),len(6),serialNum(10),result(92)...\n"
        "Err [WriteData():325] Write com err...\n"
        "Err [AlarmOutPowerCtl():475] send data error(-1)...\n",
        capture.Err());
    EXPECT_EQ(0, m_waitCmdList.GetDataListSize());
    CaptureOutput quiet;
    EXPECT_EQ(0, HddPowerOptHEX(1));
}

// Leaves non-zero bytes where the next call's locals will lie.
__attribute__((noinline)) void PaintStack() {
    volatile unsigned char paint[16384];
    for (size_t i = 0; i < sizeof paint; ++i) {
        paint[i] = 0xA5;
    }
}

// Both encodings of the power request: the ASCII line (any non-zero argument is on) and the
// command 6 frame with its record big-endian, the caller's record left as it was.
TEST(PowerRequests, AsciiLinesThenCommandSixFrames) {
    PtyMcuPort port;
    ASSERT_TRUE(port.ok());
    __AlarmOutPwrCtl ctl = {0x1234, 0x5678, 0x9ABCDEF0};
    const unsigned char first = After(GetSerialNum(), 1);
    CaptureOutput capture;
    EXPECT_EQ(0, HddPowerOptASCII(-1));
    EXPECT_EQ(0, DisableHardWareHddPower(0));
    PaintStack();  // the failure report shows the cleared reply, not what the stack held
    EXPECT_EQ(mcucom::WAIT_LIST_NO_ACK, AlarmOutPowerCtl(&ctl, 20));
    EXPECT_NE(std::string::npos, capture.Err().find("ret(-4),len(0),serialNum(0),result(0)"));
    EXPECT_EQ(0, HddPowerOptHEX(5));
    EXPECT_EQ(0, DisableHardWareHddPower(1));
    EXPECT_EQ(0x1234, ctl.maskA);
    EXPECT_EQ(0x9ABCDEF0u, ctl.powerBits);
    EXPECT_EQ(
        Hex(kOnLine + kOffLine + ValidFrame(first, 0x41, 6, "\x12\x34\x56\x78\x9a\xbc\xde\xf0") +
            ValidFrame(After(first, 1), 0x41, 6, std::string("\0\xff\0\xff\0\0\0\x1f", 8)) +
            ValidFrame(After(first, 2), 0x41, 6, std::string("\0\xff\0\xff\0\0\0\x5f", 8))),
        Hex(port.line().Drain()));
    char line[16], high[] = {'\x80', '\xff', '\x01'};
    kOnLine.copy(line, 16);
    EXPECT_EQ(696, CaculateCrcValue(line, 12));  // bytes as unsigned, the sum not reduced
    EXPECT_EQ(384, CaculateCrcValue(high, 3));
    EXPECT_EQ(0, CaculateCrcValue(high, -5));
    EXPECT_EQ(0, McuComModuleDestory());  // the port was open: closing it succeeds
}

class RoundTripTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(0, m_waitCmdList.GetDataListSize());
        for (DataPackList* list : {&m_dealList, &m_ackList}) {  // frames and posts left go
            while (Lookup(*list, 0, 0, nullptr, mcucom::DATA_LIST_MODE_ANY) !=
                   mcucom::PACK_LIST_NO_ARRIVAL) {
            }
        }
    }
};

// A frame head from the MCU that never completes is given up once the line has been quiet:
// the unasked frame after it is not swallowed, and goes to the deal list.
TEST_F(RoundTripTest, AnUnfinishedFrameIsGivenUpOnAQuietLine) {
    PtyMcuPort port;
    mcucom::ModuleReceiver receiver;
    ASSERT_TRUE(port.ok() && receiver.Start());
    EXPECT_FALSE(receiver.Start());  // running already
    port.line().Send(std::string("\x75\xaa\x00\x30", 4));
    usleep(300 * 1000);
    const std::string unasked = ValidFrame(1, 0x01, 0x19, "ab");
    port.line().Send(unasked);
    std::string found;
    EXPECT_EQ(13, Lookup(m_dealList, 0, 0, &found, mcucom::DATA_LIST_MODE_ANY, 5000));
    EXPECT_EQ(Hex(unasked), Hex(found));
    EXPECT_EQ(0u, receiver.stats().acknowledgements);
}

// Every answer sent twice, every fourth one late, unasked frames every millisecond: over 600
// commands the serial numbers wrap twice, and no copy of an earlier answer may answer a later
// command. The simulator numbers its answers, so each command can check that it got its own.
TEST_F(RoundTripTest, CopiesOfAnswersNeverAnswerALaterCommand) {
    SimOptions options;
    options.duplicate = 1;
    options.lateEvery = 4;
    options.lateMs = 60;
    options.resultSeq = true;
    options.unaskedCode = 0x0019;
    options.unaskedEveryMs = 1;
    SimulatedMcu mcu(options);
    ASSERT_TRUE(mcu.ok());
    char stray[] = "\x75\xaa\x00\x30";  // given up once the line is quiet: no answer lost
    ASSERT_EQ(4, WriteToMcuPort(stray, 4));
    int missed = 0, wrong = 0, mostStored = 0;
    CaptureOutput quiet;  // the send path's own lines are not what this test looks at
    for (int n = 1; n <= 600; ++n) {
        std::string payload("\x01\x02");
        __UserCmdData request = Request(6, &payload);
        FrameBuffer reply;
        // The late answers come after their command gave up; every other one is waited for
        // as long as the slowest machine needs.
        const bool late = n % 4 == 0;
        if (sendCmdData(&request, reply.frame(), late ? 30 : 10000) > 0) {
            wrong += static_cast<unsigned char>(reply.data[9]) != (n & 0xFF) ? 1 : 0;
        } else if (!late) {
            ++missed;
        }
        mostStored = std::max(mostStored, m_ackList.GetDataListSize());
    }
    EXPECT_EQ(0, wrong);
    EXPECT_EQ(0, missed);
    EXPECT_LE(mostStored, 1);
    EXPECT_GT(mcu.receiver().stats().copies, 0u);
    EXPECT_GT(mcu.simulator().stats().unaskedSent, 0u);  // its rate is a benchmark's figure
}

// Runs body in a child process, its output discarded, and gives its exit status; -1 when it
// ended by a signal, or hung past half a minute (then it is killed).
int StatusOfChild(const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        _exit(body());
    }
    int status = 0;
    const double limit = mcucom::MonotonicSeconds() + 30;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (mcucom::MonotonicSeconds() > limit) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sends commands of the code over and over until stop turns true (never, when it is null).
void SendForEver(unsigned code, const std::atomic<bool>* stop) {
    while (stop == nullptr || !*stop) {
        std::string payload("\x01\x02");
        __UserCmdData request = Request(code, &payload);
        FrameBuffer reply;
        sendCmdData(&request, reply.frame(), 50);
    }
}

const unsigned kAckedCodes[] = {0x0002, 0x0006, 0x0303, 0x0404};

// A program may call exit() while its senders run: the module's objects outlive them, so the
// process ends with the status it asked for. The simulated MCU and the senders stay as they
// are, running, as a program that exits from an error path leaves them.
TEST(ProcessLife, ExitWhileSendersRunEndsWithTheStatusAskedFor) {
    for (int round = 0; round < 30; ++round) {
        const int status = StatusOfChild([round]() -> int {
            static SimulatedMcu* mcu = new SimulatedMcu();
            for (unsigned code : kAckedCodes) {
                std::thread(SendForEver, code, nullptr).detach();
            }
            usleep(static_cast<useconds_t>(1000 + 3000 * (round % 7)));
            exit(mcu->ok() ? 7 : 8);
        });
        ASSERT_EQ(7, status) << "round " << round;
    }
}

// A child made by fork() while senders run sends at once: no lock they held is held in it, and
// none of their commands waits there (it would refuse the child's command of the same code).
// The child has no receiver, so its command times out.
TEST(ProcessLife, AChildForkedWhileSendersRunCanSend) {
#ifdef __UCLIBC__
    GTEST_SKIP() << "uClibc-ng's fork() leaves its malloc lock as another thread held it: there "
                    "a child of a process with threads may only call what does not allocate, "
                    "until it execs (docs/api.md)";
#endif
    SimulatedMcu mcu;
    ASSERT_TRUE(mcu.ok());
    CaptureOutput quiet;
    std::atomic<bool> stop(false);
    std::vector<std::thread> senders;
    for (unsigned code : kAckedCodes) {
        senders.emplace_back(SendForEver, code, &stop);
    }
    for (int round = 0; round < 40; ++round) {
        const int status = StatusOfChild([] {
            const int waiting = m_waitCmdList.GetDataListSize();
            std::string payload("\x01\x02");
            __UserCmdData request = Request(6, &payload);
            FrameBuffer reply;
            const int sent = sendCmdData(&request, reply.frame(), 20);
            return waiting == 0 && sent == mcucom::WAIT_LIST_NO_ACK ? 0 : 1;
        });
        EXPECT_EQ(0, status) << "round " << round;
        usleep(1000);
    }
    stop = true;
    for (std::thread& sender : senders) {
        sender.join();
    }
}

std::atomic<int> g_caught(0);

// While it lives, an interval timer fires every millisecond, caught by a handler installed
// without SA_RESTART, as a program with timers and SIGCHLD has.
struct TimerSignals {
    TimerSignals() {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = [](int) { ++g_caught; };
        sigaction(SIGALRM, &action, nullptr);
        setitimer(ITIMER_REAL, &kEvery, nullptr);
    }
    ~TimerSignals() {
        setitimer(ITIMER_REAL, &kNever, nullptr);
        signal(SIGALRM, SIG_DFL);
    }
    const struct itimerval kEvery = {{0, 1000}, {0, 1000}}, kNever = {{0, 0}, {0, 0}};
};

// Answers 50 ms late while the sender's thread catches a signal every millisecond: each wait
// (the port's, the wait list's, the packet list's) goes on to its deadline, so every command
// is acknowledged, and a lookup with nothing to find still lasts its whole time. SIGALRM is
// blocked in the threads started while it is, so each signal cuts the wait the sender is in.
TEST_F(RoundTripTest, SignalsCaughtByTheCallerNeverCutAWaitShort) {
    SimOptions options;
    options.delayMs = 50;
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    SimulatedMcu mcu(options);
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    ASSERT_TRUE(mcu.ok());
    CaptureOutput quiet;
    TimerSignals timers;
    int answered = 0;
    for (int n = 0; n < 10; ++n) {
        std::string payload("\x01\x02");
        __UserCmdData request = Request(6, &payload);
        FrameBuffer reply;
        answered += sendCmdData(&request, reply.frame(), 300) == 13 ? 1 : 0;
    }
    EXPECT_EQ(10, answered);
    const double start = mcucom::MonotonicSeconds();
    EXPECT_EQ(mcucom::PACK_LIST_NO_ARRIVAL, Lookup(m_ackList, 6, 0x10, nullptr, 0, 200));
    EXPECT_GE(mcucom::MonotonicSeconds() - start, 0.19);
    EXPECT_GT(g_caught, 20);  // the waits were cut, again and again
}

}  // namespace
