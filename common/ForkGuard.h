// SPDX-License-Identifier: MIT
// Keeping the module usable in a child process made by fork() while other threads run.
//
// fork() copies the memory of every thread but runs only the one that called it: a lock another
// thread held at that moment stays locked in the child for ever, and a list it was changing is
// left half changed. An object that owns such state registers a guard: just before fork() its
// prepare hook takes its locks (so nothing is half done), after fork() the parent's hook gives
// them back, and the child's hook gives them back too and forgets what only the parent's other
// threads had (their waits, their running threads). Guards run in the order they were made,
// and in reverse after the fork, so no two hooks ever wait on each other.
#ifndef COMMON_FORKGUARD_H
#define COMMON_FORKGUARD_H

namespace mcucom {

class ForkGuard {
  public:
    typedef void (*Hook)(void* owner);
    struct Hooks {
        Hook prepare;  // in the parent, before fork: take the owner's locks
        Hook parent;   // in the parent, after fork: give them back
        Hook child;    // in the child: give them back, forget the parent's other threads
    };

    // Registers the hooks for `owner` until the guard is destroyed. Any hook may be null.
    ForkGuard(void* owner, const Hooks& hooks);
    ~ForkGuard();

    ForkGuard(const ForkGuard&) = delete;
    ForkGuard& operator=(const ForkGuard&) = delete;

  private:
    friend struct ForkGuardRegistry;

    void* m_owner;
    Hooks m_hooks;
    ForkGuard* m_prev;
    ForkGuard* m_next;
};

}  // namespace mcucom

#endif  // COMMON_FORKGUARD_H
