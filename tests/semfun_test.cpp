// The System V wrappers against real kernel objects, keyed by ftok of a temporary file. Every
// object a test makes is removed when the test ends, passed or failed.
#include <errno.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "common/SemFun.h"
#include "tests/support/CaptureOutput.h"

namespace {

class SemFunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/semfun.XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
    }
    void TearDown() override {
        for (int id : sems) {
            semctl(id, 0, IPC_RMID);
        }
        for (int id : shms) {
            shmctl(id, IPC_RMID, nullptr);
        }
        for (int id : queues) {
            msgctl(id, IPC_RMID, nullptr);
        }
        unlink(path.c_str());
    }
    int Track(std::vector<int>& ids, int id) {
        if (id >= 0) {
            ids.push_back(id);
        }
        return id;
    }
    key_t Key(int id) { return ftok(path.c_str(), id); }

    std::string path;
    std::vector<int> sems, shms, queues;
};

TEST_F(SemFunTest, CreateResetsAnExistingSet) {
    const int id = Track(sems, createsem(path.c_str(), 1, 2, 5));
    ASSERT_GE(id, 0);
    EXPECT_EQ(5, GetSemValue(id, 0));
    EXPECT_EQ(5, GetSemValue(id, 1));
    EXPECT_EQ(0, sem_v(id, 1));
    EXPECT_EQ(id, createsem(path.c_str(), 1, 2, 3));
    EXPECT_EQ(3, GetSemValue(id, 0));
    EXPECT_EQ(3, GetSemValue(id, 1));
    EXPECT_EQ(id, opensem(path.c_str(), 1));
}

TEST_F(SemFunTest, OpeningAMissingSetFails) {
    CaptureOutput capture;
    EXPECT_EQ(-1, opensem(path.c_str(), 2));
    EXPECT_EQ("semget call failed. \n: Invalid argument\n", capture.Err());
    EXPECT_EQ("", capture.Out());
}

TEST_F(SemFunTest, KeyFailureIsReportedByEveryCreatingCall) {
    CaptureOutput capture;
    EXPECT_EQ(-1, createsem("/nonexistent/semfun", 1, 1, 0));
    EXPECT_EQ(-1, openshm("/nonexistent/semfun", 1, 16));
    EXPECT_EQ(-1, createmsgqueue("/nonexistent/semfun", 1));
    const std::string line = "ftok error!\n: No such file or directory\n";
    EXPECT_EQ(line + line + line, capture.Err());
}

TEST_F(SemFunTest, NegativeIndexIsRefusedWithoutASystemCall) {
    const int id = Track(sems, createsem(path.c_str(), 3, 1, 0));
    CaptureOutput capture;
    errno = 0;  // perror reports whatever errno holds: no call was made to change it
    EXPECT_EQ(-1, sem_p(id, -1));
    errno = 0;
    EXPECT_EQ(-1, sem_v(id, -1));
    const std::string line = "index of array cannot equals a minus value!: Success\n";
    EXPECT_EQ(line + line, capture.Err());
    EXPECT_EQ(0, GetSemValue(id, 0));
}

TEST_F(SemFunTest, GiveThenTakeDoesNotBlock) {
    const int id = Track(sems, createsem(path.c_str(), 4, 1, 0));
    EXPECT_EQ(0, sem_v(id, 0));
    EXPECT_EQ(1, GetSemValue(id, 0));
    EXPECT_EQ(0, sem_p(id, 0));
    EXPECT_EQ(0, GetSemValue(id, 0));
}

TEST_F(SemFunTest, FailedOperationsReportAndReturnMinusOne) {
    CaptureOutput capture;
    EXPECT_EQ(-1, sem_p(-1, 0));
    EXPECT_EQ(-1, sem_v(-1, 0));
    EXPECT_EQ(0, setpvtolock(-1, 0));  // always 0
    EXPECT_EQ(-1, GetSemValue(-1, 0));
    EXPECT_EQ(-1, sem_delete(-1));
    EXPECT_EQ(-1, destroyshm(-1));
    EXPECT_EQ(
        "a wrong P operation to semaphore occurred!: Invalid argument\n"
        "a wrong v operation to semaphore occurred!: Invalid argument\n",
        capture.Err());
    EXPECT_EQ("", capture.Out());
}

TEST_F(SemFunTest, SetToLockTakesTheSemaphoreAndDeleteRemovesTheSet) {
    const int id = createsem(path.c_str(), 5, 1, 4);
    ASSERT_GE(id, 0);
    EXPECT_EQ(0, setpvtolock(id, 0));
    EXPECT_EQ(0, GetSemValue(id, 0));
    EXPECT_EQ(0, sem_delete(id));
    EXPECT_EQ(-1, GetSemValue(id, 0));
}

TEST_F(SemFunTest, WaitOnAFreeSemaphoreReturnsAtOnce) {
    const int id = Track(sems, createsem(path.c_str(), 6, 1, 1));
    CaptureOutput capture;
    EXPECT_EQ(1, wait_sem(id, 0));
    EXPECT_EQ("Can Enter The Shared Memory!\n", capture.Out());
}

TEST_F(SemFunTest, WaitPollsOnceASecondUntilTheValueTurnsNonZero) {
    const int id = Track(sems, createsem(path.c_str(), 7, 1, 0));
    std::future<int> give = std::async(std::launch::async, [id] {
        usleep(2500 * 1000);
        return sem_v(id, 0);
    });
    CaptureOutput capture;
    EXPECT_EQ(1, wait_sem(id, 0));
    EXPECT_EQ(0, give.get());
    EXPECT_EQ(
        "Can not enter the shared memory for 0s\n"
        "Can not enter the shared memory for 1s\n"
        "Can not enter the shared memory for 2s\n"
        "Can Enter The Shared Memory!\n",
        capture.Out());
}

TEST_F(SemFunTest, SharedMemoryIsCreatedOpenedAndDestroyed) {
    const int id = Track(shms, createshm(path.c_str(), 8, 4096));
    ASSERT_GE(id, 0);
    EXPECT_EQ(id, openshm(path.c_str(), 8, 4096));
    EXPECT_EQ(0, destroyshm(id));
}

TEST_F(SemFunTest, OpeningAMissingSegmentNamesKeyAndSize) {
    CaptureOutput capture;
    EXPECT_EQ(-1, openshm(path.c_str(), 9, 4096));
    EXPECT_EQ(
        "[SemFun] shmkey = " + std::to_string(Key(9)) + " size= 4096 shmget openshm failed. \n",
        capture.Out());
    EXPECT_EQ("", capture.Err());
}

TEST_F(SemFunTest, CreatingALargerSegmentOnAnExistingKeyNamesTheCreatingCall) {
    ASSERT_GE(Track(shms, createshm(path.c_str(), 10, 4096)), 0);
    CaptureOutput capture;
    // The size is printed signed, as the board's logs have always shown it.
    const int id = Track(shms, createshm(path.c_str(), 10, 0xFFFFFFF0u));
    EXPECT_EQ(-1, id);
    EXPECT_EQ(
        "[SemFun] shmkey = " + std::to_string(Key(10)) + " size= -16 shmget createshm failed. \n",
        capture.Out());
}

TEST_F(SemFunTest, MessageQueuesAreCreatedAndOpened) {
    CaptureOutput capture;
    EXPECT_EQ(-1, openmsgqueue(path.c_str(), 11));
    EXPECT_EQ("msgget call failed. \n: No such file or directory\n", capture.Err());
    const int id = Track(queues, createmsgqueue(path.c_str(), 11));
    ASSERT_GE(id, 0);
    EXPECT_EQ(id, openmsgqueue(path.c_str(), 11));
}

}  // namespace
