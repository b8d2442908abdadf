// SPDX-License-Identifier: MIT
// A descriptor made readable on purpose, for poll(): a thread that waits on a quiet line is
// woken by it when it is asked to stop, and a link's event descriptor is readable through it
// while events are queued. Rung, it stays readable until drained. Both ends are close-on-exec
// and never block.
#ifndef COMMON_WAKEPIPE_H
#define COMMON_WAKEPIPE_H

namespace mcucom {

class WakePipe {
  public:
    WakePipe();
    ~WakePipe();

    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    // The end to poll for reading; -1 when no pipe could be made (waits then last their time).
    int fd() const { return m_ends[0]; }
    void Ring();
    void Drain();

  private:
    int m_ends[2];
};

}  // namespace mcucom

#endif  // COMMON_WAKEPIPE_H
