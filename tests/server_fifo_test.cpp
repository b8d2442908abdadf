// DVRSystem against real FIFOs at /mnt/tmpfs, with the server played by a thread. The program
// runs in a private mount namespace with a tmpfs over /mnt, so nothing reaches the host's /mnt.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

// Serves `replies.size()` requests one after another: reads a request to its end, answers it.
struct Server {
    std::vector<std::string> replies;
    std::vector<std::string> requests;
};

void* Serve(void* arg) {
    Server* server = static_cast<Server*>(arg);
    for (const std::string& reply : server->replies) {
        const int in = open(kServerFifo, O_RDONLY);
        std::string request;
        char buf[256];
        ssize_t got;
        while ((got = read(in, buf, sizeof buf)) > 0) {
            request.append(buf, static_cast<size_t>(got));
        }
        close(in);
        server->requests.push_back(request);
        const int out = open(kClientFifo, O_WRONLY);
        ssize_t ignored = write(out, reply.data(), reply.size());
        (void)ignored;
        close(out);
    }
    return nullptr;
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
        Server server;
        server.replies.push_back(reply);
        pthread_t thread;
        pthread_create(&thread, nullptr, Serve, &server);
        const int result = DVRSystem(cmd.c_str());
        pthread_join(thread, nullptr);
        if (request != nullptr && !server.requests.empty()) {
            *request = server.requests[0];
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
    EXPECT_EQ(std::string("DVRSYSTEM(cmd)\nDVRSYSTEM(cmd)\nDVRSYSTEM(cmd)\n") +
                  "DVRSYSTEM(cmd)\nDVRSYSTEM(cmd)\nDVRSYSTEM(cmd)\n",
              capture.Out());
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
    struct Reader {
        static void* Run(void* arg) {
            const int in = open(kServerFifo, O_RDONLY);
            char buf[16];
            *static_cast<ssize_t*>(arg) = read(in, buf, sizeof buf);
            close(in);
            return nullptr;
        }
    };
    ssize_t got = 99;
    pthread_t thread;
    pthread_create(&thread, nullptr, Reader::Run, &got);
    CaptureOutput capture;
    EXPECT_EQ(-1, DVRSystem("x"));
    pthread_join(thread, nullptr);
    EXPECT_EQ(0, got);
    EXPECT_EQ("DVRSYSTEM(x)\npub_common, 38, Cann't open client fifo. \n", capture.Out());
}

struct Caller {
    const char* cmd;
    int result;
};

void* Call(void* arg) {
    Caller* caller = static_cast<Caller*>(arg);
    caller->result = DVRSystem(caller->cmd);
    return nullptr;
}

TEST_F(ServerFifoTest, ConcurrentCallersAreServedOneAfterAnother) {
    for (int round = 0; round < 20; ++round) {
        Server server;
        server.replies = {"SUCCESS", "NO"};
        pthread_t serverThread;
        pthread_create(&serverThread, nullptr, Serve, &server);
        Caller a = {"alpha", 99}, b = {"beta", 99};
        pthread_t ta, tb;
        CaptureOutput capture;
        pthread_create(&ta, nullptr, Call, &a);
        pthread_create(&tb, nullptr, Call, &b);
        pthread_join(ta, nullptr);
        pthread_join(tb, nullptr);
        pthread_join(serverThread, nullptr);
        ASSERT_EQ(2u, server.requests.size());
        // Each request arrived whole and on its own, and its caller got the answer to it.
        const bool alphaFirst = server.requests[0] == "alpha";
        ASSERT_EQ(alphaFirst ? "alpha" : "beta", server.requests[0]);
        ASSERT_EQ(alphaFirst ? "beta" : "alpha", server.requests[1]);
        ASSERT_EQ(alphaFirst ? 0 : -1, a.result);
        ASSERT_EQ(alphaFirst ? -1 : 0, b.result);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A process with threads may not take a mount namespace of its own, so this comes first.
    EnterPrivateMnt();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
