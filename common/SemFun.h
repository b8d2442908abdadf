// SPDX-License-Identifier: MIT
// System V IPC wrappers for the recorder's cooperating processes.
//
// Every object is found by ftok(path, id), so processes that name the same path and id reach
// the same object. Creating calls never pass IPC_EXCL: on an existing key they return the
// existing object. The functions keep no state and take no lock; failures are reported with
// perror (or a line on standard output for shared memory) and a result of -1.
#ifndef COMMON_SEMFUN_H
#define COMMON_SEMFUN_H

int createsem(const char* path, int id, int nsems, int initValue);
int setpvtolock(int semid, int index);
int opensem(const char* path, int id);
int sem_p(int semid, int index);
int sem_v(int semid, int index);
int GetSemValue(int semid, int index);
int sem_delete(int semid);
int wait_sem(int semid, int index);

int createshm(const char* path, int id, unsigned int size);
int openshm(const char* path, int id, unsigned int size);
int destroyshm(int shmid);

int createmsgqueue(const char* path, int id);
int openmsgqueue(const char* path, int id);

#endif  // COMMON_SEMFUN_H
