// SPDX-License-Identifier: MIT
#include "common/pub_common.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "common/CommonResults.h"
#include "common/FixedLog.h"
#include "common/ForkGuard.h"

MutexLock system_mutex_;

namespace {

// A child made by fork() while another thread was inside DVRSystem would find the lock held
// for ever: it gets a fresh one. The lock is not taken before a fork, since DVRSystem holds it
// while it waits for the server, with no time limit. The child's own calls then share the
// FIFOs with the parent's: one of the two may read the other's reply.
void RenewLockAfterFork(void*) {
    new (&system_mutex_) MutexLock;
}

const mcucom::ForkGuard g_forkGuard(NULL,
                                    mcucom::ForkGuard::Hooks{NULL, NULL, &RenewLockAfterFork});

const char* const kServerFifo = "/mnt/tmpfs/DVRSERVER_FIFO";
const char* const kClientFifo = "/mnt/tmpfs/DVRCLIENT_FIFO";
const int kReplySize = 10;
const char kSuccess[] = "SUCCESS";

// The reply counts only as the NUL-terminated "SUCCESS": the first eight bytes of the
// zero-filled buffer are compared, so a reply of ten bytes without a NUL is never read past.
bool IsSuccessReply(const char* reply) {
    return memcmp(reply, kSuccess, sizeof kSuccess) == 0;
}

// Writes the command and closes the server FIFO; -1 after reporting a failed write.
int SendCommand(int serverFd, int clientFd, const char* cmd) {
    if (write(serverFd, cmd, strlen(cmd)) == -1) {
        close(serverFd);
        close(clientFd);
        puts(TEXT_FIFO_WRITE_FAILED);
        fflush(stdout);
        return mcucom::FIFO_FAIL;
    }
    close(serverFd);
    return 0;
}

}  // namespace

int DVRSystem(const char* cmd) {
    printf(TEXT_FIFO_COMMAND, cmd);
    MutexLockGuard guard(system_mutex_);
    const int serverFd = open(kServerFifo, O_WRONLY);
    if (serverFd < 0) {
        mcucom::PrintFixedLine(stdout, mcucom::LOG_SERVER_FIFO_FAILED, TEXT_SERVER_FIFO_FAILED);
        fflush(stdout);
        return mcucom::FIFO_FAIL;
    }
    // Opened read-write so the open does not wait for a writer; the read below then waits
    // for the server's reply.
    const int clientFd = open(kClientFifo, O_RDWR);
    if (clientFd < 0) {
        close(serverFd);
        mcucom::PrintFixedLine(stdout, mcucom::LOG_CLIENT_FIFO_FAILED, TEXT_CLIENT_FIFO_FAILED);
        return mcucom::FIFO_FAIL;
    }
    if (SendCommand(serverFd, clientFd, cmd) != 0) {
        return mcucom::FIFO_FAIL;
    }
    char reply[kReplySize];
    memset(reply, 0, sizeof reply);
    if (read(clientFd, reply, sizeof reply) == -1) {
        close(clientFd);
        puts(TEXT_FIFO_READ_FAILED);
        fflush(stdout);
        return mcucom::FIFO_FAIL;
    }
    close(clientFd);
    return IsSuccessReply(reply) ? 0 : mcucom::FIFO_FAIL;
}

int contains(char* text, int size, FILE* file) {
    if (size < 1) {
        return mcucom::CONTAINS_NOT_FOUND;
    }
    char* line = static_cast<char*>(calloc(static_cast<size_t>(size), 1));
    if (line == NULL) {
        return mcucom::CONTAINS_NOT_FOUND;
    }
    fseek(file, 0, SEEK_END);
    const long length = ftell(file);
    for (long offset = 0; offset < length - size + 2; ++offset) {
        fseek(file, offset, SEEK_SET);
        fgets(line, size, file);
        int equal = 0;
        while (line[equal] != '\0' && line[equal] == text[equal]) {
            ++equal;
        }
        if (equal == size - 1) {
            puts(TEXT_CONTAINS_FOUND);
            free(line);
            return mcucom::CONTAINS_FOUND;
        }
    }
    free(line);
    return mcucom::CONTAINS_NOT_FOUND;
}
