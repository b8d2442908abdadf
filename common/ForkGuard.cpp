// SPDX-License-Identifier: MIT
#include "common/ForkGuard.h"

#include <pthread.h>
#include <stddef.h>

namespace mcucom {

// The guards in the order they were made. Its lock is statically initialised, so a guard made
// by a global object's constructor, before main, finds it ready. The lock is held from the
// prepare hooks to the end of the fork, so no guard comes or goes in between.
struct ForkGuardRegistry {
    static pthread_mutex_t lock;
    static pthread_once_t installed;
    static ForkGuard* first;
    static ForkGuard* last;

    static void Install() { pthread_atfork(&Prepare, &Parent, &Child); }

    static void Prepare() {
        pthread_mutex_lock(&lock);
        for (ForkGuard* g = first; g != NULL; g = g->m_next) {
            Run(g->m_hooks.prepare, g);
        }
    }
    static void Parent() {
        for (ForkGuard* g = last; g != NULL; g = g->m_prev) {
            Run(g->m_hooks.parent, g);
        }
        pthread_mutex_unlock(&lock);
    }
    static void Child() {
        for (ForkGuard* g = last; g != NULL; g = g->m_prev) {
            Run(g->m_hooks.child, g);
        }
        pthread_mutex_unlock(&lock);
    }
    static void Run(ForkGuard::Hook hook, ForkGuard* g) {
        if (hook != NULL) {
            hook(g->m_owner);
        }
    }
};

pthread_mutex_t ForkGuardRegistry::lock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t ForkGuardRegistry::installed = PTHREAD_ONCE_INIT;
ForkGuard* ForkGuardRegistry::first = NULL;
ForkGuard* ForkGuardRegistry::last = NULL;

ForkGuard::ForkGuard(void* owner, const Hooks& hooks)
    : m_owner(owner), m_hooks(hooks), m_prev(NULL), m_next(NULL) {
    pthread_once(&ForkGuardRegistry::installed, &ForkGuardRegistry::Install);
    pthread_mutex_lock(&ForkGuardRegistry::lock);
    m_prev = ForkGuardRegistry::last;
    if (m_prev != NULL) {
        m_prev->m_next = this;
    } else {
        ForkGuardRegistry::first = this;
    }
    ForkGuardRegistry::last = this;
    pthread_mutex_unlock(&ForkGuardRegistry::lock);
}

ForkGuard::~ForkGuard() {
    pthread_mutex_lock(&ForkGuardRegistry::lock);
    (m_prev != NULL ? m_prev->m_next : ForkGuardRegistry::first) = m_next;
    (m_next != NULL ? m_next->m_prev : ForkGuardRegistry::last) = m_prev;
    pthread_mutex_unlock(&ForkGuardRegistry::lock);
}

}  // namespace mcucom
