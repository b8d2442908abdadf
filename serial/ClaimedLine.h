// SPDX-License-Identifier: MIT
// A serial line taken for one program, the way serial tools take one: opened without waiting
// for carrier and without becoming the controlling terminal, an advisory lock on it (flock,
// which other serial tools take and respect), its settings saved, and, once the program has
// made its own opens of it, the terminal's exclusive mode (the kernel then refuses any other
// open but root's). Released, it leaves exclusive mode, gets its settings back and is closed,
// which drops the lock. Shared, it takes neither lock nor exclusive mode. Anything that is no
// terminal (a file, a pipe) is only opened and closed. Its descriptor blocks, once open.
#ifndef SERIAL_CLAIMEDLINE_H
#define SERIAL_CLAIMEDLINE_H

#include <fcntl.h>
#include <termios.h>

namespace mcucom {

class ClaimedLine {
  public:
    ClaimedLine();
    ~ClaimedLine();

    ClaimedLine(const ClaimedLine&) = delete;
    ClaimedLine& operator=(const ClaimedLine&) = delete;

    // 0 when taken; otherwise a negative errno: -EBUSY when another program holds the line (its
    // lock, or its exclusive mode: HeldInExclusiveMode tells which), or why the open failed.
    // `accessMode` is open()'s: O_RDWR, or O_RDONLY for a line that is only watched.
    int Take(const char* path, bool share, int accessMode = O_RDWR);
    // Exclusive mode, unless shared; call it once every open of the program's is made.
    void Exclude();
    // Leaves exclusive mode, puts the settings back (unless told to keep the line's present
    // ones) and closes. Also done on destruction.
    void Release(bool restoreSettings = true);

    int fd() const { return m_fd; }
    bool terminal() const { return m_saved; }

  private:
    int m_fd;
    bool m_shared;
    bool m_saved;
    bool m_exclusive;
    struct termios m_settings;
};

}  // namespace mcucom

#endif  // SERIAL_CLAIMEDLINE_H
