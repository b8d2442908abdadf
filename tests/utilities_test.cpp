// SPDX-License-Identifier: MIT
// The helpers in common/ against real kernel objects: System V semaphores, shared memory and
// message queues keyed by ftok of a temporary file; the FIFO client against real FIFOs at
// /mnt/tmpfs with the server played by a thread; and the file search. The program takes a
// private mount namespace with a tmpfs over /mnt before anything else, so nothing reaches the
// host's /mnt; every System V object a test makes is removed when it ends. And the programs'
// number parsing and mcusend's round-trip percentiles, against a sorted list.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "bringup/RoundTripTimes.h"
#include "common/CommonResults.h"
#include "common/SemFun.h"
#include "common/pub_common.h"
#include "programs/ParseArgs.h"
#include "tests/support/CaptureOutput.h"

namespace {

// Each test's objects are keyed by ftok of a file of its own and removed when it ends.
class SemFunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/semfun.XXXXXX";
        close(mkstemp(name));
        path = name;
    }
    void TearDown() override {
        for (int id = 1; id <= 11; ++id) {
            const key_t key = ftok(path.c_str(), id);
            semctl(semget(key, 0, 0), 0, IPC_RMID);
            shmctl(shmget(key, 0, 0), IPC_RMID, nullptr);
            msgctl(msgget(key, 0), IPC_RMID, nullptr);
        }
        unlink(path.c_str());
    }
    std::string Key(int id) { return std::to_string(ftok(path.c_str(), id)); }

    std::string path;
};

TEST_F(SemFunTest, ObjectsAreCreatedOpenedTakenGivenRemovedOrReportedAsFailing) {
    int id = createsem(path.c_str(), 1, 2, 5);
    ASSERT_GE(id, 0);
    EXPECT_EQ(0, sem_v(id, 1));
    EXPECT_EQ(6, GetSemValue(id, 1));
    EXPECT_EQ(id, createsem(path.c_str(), 1, 2, 3));  // an existing set is reset
    EXPECT_EQ(3, GetSemValue(id, 1));
    EXPECT_EQ(id, opensem(path.c_str(), 1));
    EXPECT_EQ(0, sem_p(id, 0));
    EXPECT_EQ(2, GetSemValue(id, 0));
    EXPECT_EQ(0, setpvtolock(id, 1));
    EXPECT_EQ(0, GetSemValue(id, 1));
    EXPECT_EQ(0, sem_delete(id));
    EXPECT_EQ(mcucom::IPC_FAIL, GetSemValue(id, 0));
    const int shm = createshm(path.c_str(), 8, 4096);
    EXPECT_EQ(shm, openshm(path.c_str(), 8, 4096));
    EXPECT_EQ(0, destroyshm(shm));
    // Failures, each with its text.
    id = createsem(path.c_str(), 3, 1, 0);
    ASSERT_GE(createshm(path.c_str(), 8, 4096), 0);
    CaptureOutput capture;
    EXPECT_EQ(mcucom::IPC_FAIL, opensem(path.c_str(), 2));
    EXPECT_EQ(mcucom::IPC_FAIL, createsem("/nonexistent/semfun", 1, 1, 0));
    EXPECT_EQ(mcucom::IPC_FAIL, openshm("/nonexistent/semfun", 1, 16));
    EXPECT_EQ(mcucom::IPC_FAIL, createmsgqueue("/nonexistent/semfun", 1));
    errno = 0;  // perror reports whatever errno holds: no call was made to change it
    EXPECT_EQ(mcucom::IPC_FAIL, sem_p(id, -1));
    errno = 0;
    EXPECT_EQ(mcucom::IPC_FAIL, sem_v(id, -1));
    EXPECT_EQ(mcucom::IPC_FAIL, sem_p(-1, 0));
    EXPECT_EQ(mcucom::IPC_FAIL, sem_v(-1, 0));
    EXPECT_EQ(0, setpvtolock(-1, 0));  // always 0
    EXPECT_EQ(mcucom::IPC_FAIL, sem_delete(-1));
    EXPECT_EQ(mcucom::IPC_FAIL, destroyshm(-1));
    EXPECT_EQ(mcucom::IPC_FAIL, openmsgqueue(path.c_str(), 11));
    EXPECT_EQ(mcucom::IPC_FAIL, openshm(path.c_str(), 9, 4096));
    // A larger segment on an existing key; the size is printed signed, as the logs show it.
    EXPECT_EQ(mcucom::IPC_FAIL, createshm(path.c_str(), 8, 0xFFFFFFF0u));
    const std::string noKey = "ftok error!\n: No such file or directory\n";
    const std::string minus = "index of array cannot equals a minus value!: Success\n";
    EXPECT_EQ("semget call failed. \n: Invalid argument\n" + noKey + noKey + noKey + minus + minus +
                  "a wrong P operation to semaphore occurred!: Invalid argument\n"
                  "a wrong v operation to semaphore occurred!: Invalid argument\n"
                  "msgget call failed. \n: No such file or directory\n",
              capture.Err());
    EXPECT_EQ("[SemFun] shmkey = " + Key(9) + " size= 4096 shmget openshm failed. \n" +
                  "[SemFun] shmkey = " + Key(8) + " size= -16 shmget createshm failed. \n",
              capture.Out());
}

TEST_F(SemFunTest, WaitPollsOnceASecondUntilTheValueTurnsNonZero) {
    const int id = createsem(path.c_str(), 7, 1, 0);
    std::future<int> give = std::async(std::launch::async, [id] {
        usleep(2500 * 1000);
        return sem_v(id, 0);
    });
    CaptureOutput capture;
    EXPECT_EQ(1, wait_sem(id, 0));
    EXPECT_EQ(0, give.get());
    EXPECT_EQ(1, wait_sem(id, 0));  // already free: at once
    EXPECT_EQ(
        "Can not enter the shared memory for 0s\n"
        "Can not enter the shared memory for 1s\n"
        "Can not enter the shared memory for 2s\n"
        "Can Enter The Shared Memory!\n"
        "Can Enter The Shared Memory!\n",
        capture.Out());
}

const char* const kServerFifo = "/mnt/tmpfs/DVRSERVER_FIFO";
const char* const kClientFifo = "/mnt/tmpfs/DVRCLIENT_FIFO";
std::string g_noPrivateMnt = "not started";

void EnterPrivateMnt() {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/mnt", "tmpfs", 0, "mode=0755") != 0 || mkdir("/mnt/tmpfs", 0755) != 0) {
        g_noPrivateMnt = std::string("no private /mnt (root is needed): ") + strerror(errno);
    } else {
        g_noPrivateMnt.clear();
    }
}

// Serves one request per reply given, one after another: reads the request to its end, then
// answers it. Returns the requests as they arrived.
std::future<std::vector<std::string>> Serve(std::vector<std::string> replies) {
    return std::async(std::launch::async, [replies] {
        std::vector<std::string> requests;
        for (const std::string& reply : replies) {
            const int in = open(kServerFifo, O_RDONLY);
            std::string request;
            char buf[256];
            for (ssize_t got; (got = read(in, buf, sizeof buf)) > 0;) {
                request.append(buf, static_cast<size_t>(got));
            }
            close(in);
            requests.push_back(request);
            const int out = open(kClientFifo, O_WRONLY);
            EXPECT_EQ(static_cast<ssize_t>(reply.size()), write(out, reply.data(), reply.size()));
            close(out);
        }
        return requests;
    });
}

class ServerFifoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!g_noPrivateMnt.empty()) {
            GTEST_SKIP() << g_noPrivateMnt;
        }
        ASSERT_EQ(0, mkfifo(kServerFifo, 0666));
        ASSERT_EQ(0, mkfifo(kClientFifo, 0666));
    }
    void TearDown() override {
        unlink(kServerFifo);
        unlink(kClientFifo);
    }
};

TEST_F(ServerFifoTest, OnlyTheNulTerminatedSuccessCountsAndAMissingFifoIsReported) {
    const std::vector<std::string> replies = {
        "SUCCESS", std::string("SUCCESS\0", 8), "SUCCESS\n", "SUCCESSFUL", "SUCCESSXYZ", "FAIL"};
    std::future<std::vector<std::string>> server = Serve(replies);
    CaptureOutput capture;
    const int stdinCopy = dup(0);
    close(0);  // the server FIFO then opens as descriptor 0, a valid one
    std::vector<int> results;
    for (size_t i = 0; i < replies.size(); ++i) {
        results.push_back(DVRSystem(i == 0 ? "mount /dev/sda1" : "cmd"));
    }
    dup2(stdinCopy, 0);
    close(stdinCopy);
    EXPECT_EQ((std::vector<int>{0, 0, mcucom::FIFO_FAIL, mcucom::FIFO_FAIL, mcucom::FIFO_FAIL,
                                mcucom::FIFO_FAIL}),
              results);
    EXPECT_EQ("mount /dev/sda1", server.get()[0]);  // the bare command
    EXPECT_EQ(0u, capture.Out().find("DVRSYSTEM(mount /dev/sda1)\nDVRSYSTEM(cmd)\n"));
    // A missing FIFO is reported, and what was opened is closed.
    unlink(kClientFifo);
    // The server side sees the client open and close its FIFO without writing.
    std::future<ssize_t> reader = std::async(std::launch::async, [] {
        const int in = open(kServerFifo, O_RDONLY);
        char buf[16];
        const ssize_t got = read(in, buf, sizeof buf);
        close(in);
        return got;
    });
    CaptureOutput missing;
    EXPECT_EQ(mcucom::FIFO_FAIL, DVRSystem("x"));
    EXPECT_EQ(0, reader.get());
    unlink(kServerFifo);
    EXPECT_EQ(mcucom::FIFO_FAIL, DVRSystem("y"));
    EXPECT_EQ(
        "DVRSYSTEM(x)\npub_common, 38, Cann't open client fifo. \n"
        "DVRSYSTEM(y)\npub_common, 29, Client: Can't open fifo. \n",
        missing.Out());
}

const int kWholeText = -1000;

// contains() for text on a temporary file holding bytes.
int Search(const std::string& bytes, std::string text, int size = kWholeText) {
    FILE* file = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), file);
    fflush(file);
    const int result =
        contains(&text[0], size == kWholeText ? static_cast<int>(text.size()) + 1 : size, file);
    fclose(file);
    return result;
}

TEST(Contains, FindsTheTextAsTheLineReadsSeeIt) {
    const struct {
        std::string file, text;
        int found;
    } cases[] = {
        {"hello world", "world", mcucom::CONTAINS_FOUND},  // ends the file exactly
        {"hello world", "hello", mcucom::CONTAINS_FOUND},
        {"hello world", "worlds", mcucom::CONTAINS_NOT_FOUND},
        {"abc", "abcd", mcucom::CONTAINS_NOT_FOUND},           // shorter than the text
        {"xxab\ncdyy", "ab\ncd", mcucom::CONTAINS_NOT_FOUND},  // a line feed ends the read
        {"xab\ny", "ab\n", mcucom::CONTAINS_FOUND},
        {std::string("xa\0by", 5), "ab", mcucom::CONTAINS_NOT_FOUND},  // never across a NUL
        {std::string("x\0aby", 5), "ab", mcucom::CONTAINS_FOUND},
        {"", "", mcucom::CONTAINS_FOUND},  // an empty text, even in an empty file
        {"abc", "", mcucom::CONTAINS_FOUND}};
    for (const auto& c : cases) {
        CaptureOutput capture;
        EXPECT_EQ(c.found, Search(c.file, c.text)) << c.text;
        EXPECT_EQ(c.found == mcucom::CONTAINS_FOUND ? "contains OK\n" : "", capture.Out())
            << c.text;
    }
    EXPECT_EQ(mcucom::CONTAINS_NOT_FOUND, Search("abc", "abc", 0));
    EXPECT_EQ(mcucom::CONTAINS_NOT_FOUND, Search("abc", "abc", -4));
}

// The programs' numbers: decimal, or hexadecimal after 0x; never octal, never a partial read.
TEST(ParseInteger, DecimalOrHexWholeAndInRange) {
    const struct {
        const char* text;
        bool taken;
        long long value;
    } cases[] = {{"16", true, 16},  {"0x10", true, 16}, {"0X1f", true, 31}, {"0", true, 0},
                 {"010", false, 0}, {"0x", false, 0},   {"-1", false, 0},   {"16 ", false, 0},
                 {"", false, 0},    {"101", false, 0},  {"0x65", false, 0}};
    for (const auto& c : cases) {
        long long value = -7;
        EXPECT_EQ(c.taken, ParseInteger(c.text, 0, 100, &value)) << c.text;
        EXPECT_EQ(c.taken ? c.value : -7, value) << c.text;
    }
}

// A percentile by its definition: the least of the values at or below which at least that
// share of them lie.
long LeastCovering(const std::vector<long>& sorted, int percent) {
    for (long value : sorted) {
        const size_t covered = static_cast<size_t>(
            std::upper_bound(sorted.begin(), sorted.end(), value) - sorted.begin());
        if (covered * 100 >= sorted.size() * static_cast<size_t>(percent)) {
            return value;
        }
    }
    return sorted.back();
}

// Percentiles as their definition gives them: exact below 2048 us, at most 0.1 % low above.
TEST(RoundTripTimes, PercentilesAsTheirDefinitionGivesThem) {
    std::mt19937 random(7);
    for (long spread : {2000L, 600000000L}) {
        RoundTripTimes times;
        std::vector<long> sorted;
        for (int n = 0; n < 5001; ++n) {
            sorted.push_back(static_cast<long>(random() % static_cast<unsigned long>(spread)));
            times.Add(sorted.back());
        }
        std::sort(sorted.begin(), sorted.end());
        for (int percent : {1, 50, 99, 100}) {
            const long exact = LeastCovering(sorted, percent);
            EXPECT_LE(times.Percentile(percent), exact) << percent;
            EXPECT_GE(times.Percentile(percent),
                      spread < 2048 || percent == 100 ? exact : exact - exact / 1000 - 1);
        }
        EXPECT_EQ(sorted.back(), times.Max());
    }
    EXPECT_EQ(0, RoundTripTimes().Percentile(50));
}

}  // namespace

int main(int argc, char** argv) {
    // A process with threads may not take a mount namespace of its own, so this comes first.
    EnterPrivateMnt();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
