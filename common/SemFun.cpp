// SPDX-License-Identifier: MIT
#include "common/SemFun.h"

#include "common/CommonResults.h"
#include "common/FixedLog.h"

#include <stdio.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

const int kCreateFlags = IPC_CREAT | 0666;
const int kOpenQueueFlags = 0666;
const int kOpenShmFlags = 0;

// The caller defines this union for semctl's fourth argument.
union SemArg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// ftok with the module's report on failure; -1 when no key could be made.
key_t MakeKey(const char* path, int id) {
    const key_t key = ftok(path, id);
    if (key == mcucom::IPC_FAIL) {
        perror(TEXT_FTOK_FAILED);
    }
    return key;
}

int SetValue(int semid, int index, int value) {
    SemArg arg;
    arg.val = value;
    return semctl(semid, index, SETVAL, arg);
}

int SemStep(int semid, int index, short op, const char* failure) {
    if (index < 0) {
        perror(TEXT_SEM_INDEX_NEGATIVE);
        return mcucom::IPC_FAIL;
    }
    struct sembuf step;
    step.sem_num = static_cast<unsigned short>(index);
    step.sem_op = op;
    step.sem_flg = 0;
    if (semop(semid, &step, 1) == -1) {
        perror(failure);
        return mcucom::IPC_FAIL;
    }
    return 0;
}

int GetShm(const char* path, int id, unsigned int size, int flags, const char* verb) {
    const key_t key = MakeKey(path, id);
    if (key == mcucom::IPC_FAIL) {
        return mcucom::IPC_FAIL;
    }
    const int shmid = shmget(key, size, flags);
    if (shmid == -1) {
        printf(TEXT_SHMGET_FAILED, TEXT_SHMGET_SOURCE, static_cast<int>(key),
               static_cast<int>(size), verb);
    }
    return shmid;
}

int GetMsgQueue(const char* path, int id, int flags) {
    const key_t key = MakeKey(path, id);
    if (key == mcucom::IPC_FAIL) {
        return mcucom::IPC_FAIL;
    }
    const int msqid = msgget(key, flags);
    if (msqid == -1) {
        perror(TEXT_MSGGET_FAILED);
    }
    return msqid;
}

int GetSemSet(const char* path, int id, int nsems) {
    const key_t key = MakeKey(path, id);
    if (key == mcucom::IPC_FAIL) {
        return mcucom::IPC_FAIL;
    }
    const int semid = semget(key, nsems, kCreateFlags);
    if (semid == -1) {
        perror(TEXT_SEMGET_FAILED);
    }
    return semid;
}

}  // namespace

// On an existing set this resets its first nsems semaphores; a failed SETVAL is not reported.
int createsem(const char* path, int id, int nsems, int initValue) {
    const int semid = GetSemSet(path, id, nsems);
    if (semid == -1) {
        return mcucom::IPC_FAIL;
    }
    for (int i = 0; i < nsems; ++i) {
        SetValue(semid, i, initValue);
    }
    return semid;
}

int setpvtolock(int semid, int index) {
    SetValue(semid, index, 0);
    return 0;
}

// Asks for 0 semaphores: opens an existing set; the kernel will not create an empty one.
int opensem(const char* path, int id) {
    return GetSemSet(path, id, 0);
}

int sem_p(int semid, int index) {
    return SemStep(semid, index, -1, TEXT_SEM_P_FAILED);
}

int sem_v(int semid, int index) {
    return SemStep(semid, index, 1, TEXT_SEM_V_FAILED);
}

int GetSemValue(int semid, int index) {
    return semctl(semid, index, GETVAL);
}

int sem_delete(int semid) {
    return semctl(semid, 0, IPC_RMID);
}

// Polls once a second until the value is no longer 0 (an error ends the loop too).
int wait_sem(int semid, int index) {
    int passes = 0;
    while (semctl(semid, index, GETVAL) == 0) {
        sleep(1);
        printf(TEXT_SHM_WAITING, passes);
        ++passes;
    }
    puts(TEXT_SHM_ENTERED);
    return 1;
}

int createshm(const char* path, int id, unsigned int size) {
    return GetShm(path, id, size, kCreateFlags, TEXT_SHMGET_CREATE);
}

int openshm(const char* path, int id, unsigned int size) {
    return GetShm(path, id, size, kOpenShmFlags, TEXT_SHMGET_OPEN);
}

int destroyshm(int shmid) {
    return shmctl(shmid, IPC_RMID, NULL);
}

int createmsgqueue(const char* path, int id) {
    return GetMsgQueue(path, id, kCreateFlags);
}

int openmsgqueue(const char* path, int id) {
    return GetMsgQueue(path, id, kOpenQueueFlags);
}
