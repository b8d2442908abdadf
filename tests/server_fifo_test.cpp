// DVRSystem against real FIFOs at /mnt/tmpfs, with the server played by a thread. The program
// runs in a private mount namespace with a tmpfs over /mnt, so nothing reaches the host's /mnt.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "common/pub_common.h"
#include "tests/support/CaptureOutput.h"

namespace {

const char* const kServerFifo = "/mnt/tmpfs/DVRSERVER_FIFO";
const char* const kClientFifo = "/mnt/tmpfs/DVRCLIENT_FIFO";

std::string g_namespaceError;

bool EnterPrivateMnt() {
    if (unshare(CLONE_NEWNS) != 0) {
        g_namespaceError = std::string("no private mount namespace: ") + strerror(errno);
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/mnt", "tmpfs", 0, "mode=0755") != 0 || mkdir("/mnt/tmpfs", 0755) != 0) {
        g_namespaceError = std::string("cannot lay a private /mnt: ") + strerror(errno);
        return false;
    }
    return true;
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
            ssize_t got;
            while ((got = read(in, buf, sizeof buf)) > 0) {
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
        if (!g_namespaceError.empty()) {
            GTEST_SKIP() << g_namespaceError;
        }
        ASSERT_EQ(0, mkfifo(kServerFifo, 0666));
        ASSERT_EQ(0, mkfifo(kClientFifo, 0666));
    }
    void TearDown() override {
        unlink(kServerFifo);
        unlink(kClientFifo);
    }

    // Runs DVRSystem(cmd) against a server that answers `reply`.
    int Ask(const std::string& cmd, const std::string& reply, std::string* request = nullptr) {
        std::future<std::vector<std::string>> server = Serve({reply});
        const int result = DVRSystem(cmd.c_str());
        const std::vector<std::string> requests = server.get();
        if (request != nullptr && !requests.empty()) {
            *request = requests[0];
        }
        return result;
    }
};

TEST_F(ServerFifoTest, OnlyTheNulTerminatedSuccessCounts) {
    CaptureOutput capture;
    EXPECT_EQ(0, Ask("cmd", "SUCCESS"));
    EXPECT_EQ(0, Ask("cmd", std::string("SUCCESS\0", 8)));
    EXPECT_EQ(-1, Ask("cmd", "SUCCESS\n"));
    EXPECT_EQ(-1, Ask("cmd", "SUCCESSFUL"));
    EXPECT_EQ(-1, Ask("cmd", "SUCCESSXYZ"));  // ten bytes, no NUL: never read past
    EXPECT_EQ(-1, Ask("cmd", "FAIL"));
    std::string expected;
    for (int i = 0; i < 6; ++i) {
        expected += "DVRSYSTEM(cmd)\n";
    }
    EXPECT_EQ(expected, capture.Out());
}

TEST_F(ServerFifoTest, ServerReceivesTheBareCommand) {
    std::string request;
    CaptureOutput capture;
    EXPECT_EQ(0, Ask("mount /dev/sda1", "SUCCESS", &request));
    EXPECT_EQ("mount /dev/sda1", request);
    EXPECT_EQ("DVRSYSTEM(mount /dev/sda1)\n", capture.Out());
}

TEST_F(ServerFifoTest, MissingServerFifoFailsBeforeTheClientFifo) {
    unlink(kServerFifo);
    unlink(kClientFifo);
    CaptureOutput capture;
    EXPECT_EQ(-1, DVRSystem("x"));
    EXPECT_EQ("DVRSYSTEM(x)\npub_common, 29, Client: Can't open fifo. \n", capture.Out());
    EXPECT_EQ("", capture.Err());
}

TEST_F(ServerFifoTest, MissingClientFifoClosesTheServerFifoAgain) {
    unlink(kClientFifo);
    // The server side sees the client open and close its FIFO without writing.
    std::future<ssize_t> reader = std::async(std::launch::async, [] {
        const int in = open(kServerFifo, O_RDONLY);
        char buf[16];
        const ssize_t got = read(in, buf, sizeof buf);
        close(in);
        return got;
    });
    CaptureOutput capture;
    EXPECT_EQ(-1, DVRSystem("x"));
    EXPECT_EQ(0, reader.get());
    EXPECT_EQ("DVRSYSTEM(x)\npub_common, 38, Cann't open client fifo. \n", capture.Out());
}

TEST_F(ServerFifoTest, ConcurrentCallersAreServedOneAfterAnother) {
    for (int round = 0; round < 20; ++round) {
        std::future<std::vector<std::string>> server = Serve({"SUCCESS", "NO"});
        CaptureOutput capture;
        std::future<int> alpha = std::async(std::launch::async, [] { return DVRSystem("alpha"); });
        std::future<int> beta = std::async(std::launch::async, [] { return DVRSystem("beta"); });
        const int alphaResult = alpha.get();
        const int betaResult = beta.get();
        const std::vector<std::string> requests = server.get();
        // Each request arrived whole and on its own, and its caller got the answer to it.
        ASSERT_EQ(2u, requests.size());
        const bool alphaFirst = requests[0] == "alpha";
        ASSERT_EQ(alphaFirst ? "beta" : "alpha", requests[1]);
        ASSERT_EQ(alphaFirst ? 0 : -1, alphaResult);
        ASSERT_EQ(alphaFirst ? -1 : 0, betaResult);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A process with threads may not take a mount namespace of its own, so this comes first.
    EnterPrivateMnt();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
