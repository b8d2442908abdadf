// SPDX-License-Identifier: MIT
#include "serial/SerialFun.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "common/Clock.h"
#include "common/FixedLog.h"
#include "serial/PortResults.h"

const mcucom::SpeedCode speed_atr[mcucom::SPEED_TABLE_SIZE] = {
    {B300, 300},     {B600, 600},       {B1200, 1200},     {B2400, 2400},
    {B4800, 4800},   {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

namespace {

// A rate missing from the table maps to code 0 (B0), which is then applied like any other.
speed_t SpeedCodeFor(unsigned int baudRate) {
    for (int i = 0; i < mcucom::SPEED_TABLE_SIZE; ++i) {
        if (speed_atr[i].baudRate == baudRate) {
            return speed_atr[i].code;
        }
    }
    return 0;
}

bool SetCharacterSize(struct termios* tio, int dataBits) {
    tio->c_cflag &= ~CSIZE;
    switch (dataBits) {
        case 5:
            tio->c_cflag |= CS5;
            return true;
        case 6:
            tio->c_cflag |= CS6;
            return true;
        case 7:
            tio->c_cflag |= CS7;
            return true;
        case 8:
            tio->c_cflag |= CS8;
            return true;
        default:
            return false;
    }
}

bool SetParityMode(struct termios* tio, int parity) {
    switch (parity) {
        case 0:
        case 'N':
        case 'n':
            tio->c_cflag &= ~PARENB;
            tio->c_iflag &= ~INPCK;
            return true;
        case 1:
        case 'O':
        case 'o':
            tio->c_cflag |= (PARODD | PARENB);
            tio->c_iflag |= INPCK;
            return true;
        case 2:
        case 'E':
        case 'e':
            tio->c_cflag |= PARENB;
            tio->c_cflag &= ~PARODD;
            tio->c_iflag |= INPCK;
            return true;
        case 'S':
        case 's':
            tio->c_cflag &= ~PARENB;
            tio->c_cflag &= ~CSTOPB;
            return true;
        default:
            return false;
    }
}

bool SetStopBits(struct termios* tio, int stopBits) {
    switch (stopBits) {
        case 1:
            tio->c_cflag &= ~CSTOPB;
            return true;
        case 2:
            tio->c_cflag |= CSTOPB;
            return true;
        default:
            return false;
    }
}

// Applies the settings at once, and fails when the line did not take the character size,
// the parity or the receiver switch asked for: a line that ignores them (a pseudo-terminal
// keeps 8 bits without parity) would carry another framing than the one the caller opened
// it with. Some C libraries check this in tcsetattr and others do not; checking here gives
// the same result on every board.
int ApplySettings(int fd, const struct termios& wanted) {
    if (tcsetattr(fd, TCSANOW, &wanted) != 0) {
        return -1;
    }
    struct termios taken;
    if (tcgetattr(fd, &taken) != 0) {
        return 0;
    }
    const tcflag_t checked = PARENB | CREAD;
    const bool sizeTaken =
        (wanted.c_cflag & CSIZE) == 0 || (wanted.c_cflag & CSIZE) == (taken.c_cflag & CSIZE);
    if ((wanted.c_cflag & checked) != (taken.c_cflag & checked) || !sizeTaken) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

// Holds the port's use lock alone for a scope: opening and closing.
class AloneLock {
  public:
    explicit AloneLock(pthread_rwlock_t* lock) : m_lock(lock) { pthread_rwlock_wrlock(m_lock); }
    ~AloneLock() { pthread_rwlock_unlock(m_lock); }

    AloneLock(const AloneLock&) = delete;
    AloneLock& operator=(const AloneLock&) = delete;

  private:
    pthread_rwlock_t* m_lock;
};

// Makes the raw-read descriptor once, whichever of the readers sharing the port comes first.
pthread_mutex_t g_rawOpenLock = PTHREAD_MUTEX_INITIALIZER;

// The errors of a read that say the line itself is gone, not merely quiet.
bool LineGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

}  // namespace

CComTransmit::CComTransmit()
    : m_fd(-1), m_fp(NULL), m_opened(false), m_rawFd(-1), m_log(NULL), m_closing(false) {
    memset(&m_info, 0, sizeof m_info);
    pthread_rwlock_init(&m_use, NULL);
}

CComTransmit::~CComTransmit() {
    if (m_opened) {
        CloseCom();
    }
    pthread_rwlock_destroy(&m_use);
}

// The port as a read or write finds it: its descriptors while it holds the use lock shared,
// or a closed port when a close is waiting for the lock (the call then fails at once).
CComTransmit::SharedUse::SharedUse(CComTransmit* port)
    : fd(-1), fp(NULL), opened(false), m_lock(NULL) {
    if (port->m_closing) {
        return;
    }
    m_lock = &port->m_use;
    pthread_rwlock_rdlock(m_lock);
    fd = port->m_fd;
    fp = port->m_fp;
    opened = port->m_opened;
}

CComTransmit::SharedUse::~SharedUse() {
    if (m_lock != NULL) {
        pthread_rwlock_unlock(m_lock);
    }
}

mcucom::LinkLog& CComTransmit::Log() {
    static mcucom::LinkLog standardStreams;
    return m_log != NULL ? *m_log : standardStreams;
}

void CComTransmit::TraceComPar(TerminalInfo* /*info*/) {}

int CComTransmit::OpenCom(TerminalInfo* info) {
    TraceComPar(info);
    AloneLock alone(&m_use);
    if (m_opened || info == NULL) {
        return mcucom::PORT_FAIL;
    }
    // Never the program's controlling terminal (an MCU byte could then raise a signal, a
    // hang-up would send SIGHUP), never inherited by a program the caller starts (it could
    // write to the MCU after the caller closed the port), and never a wait for carrier: on a line
    // without CLOCAL a blocking open waits until carrier comes, for ever on a board whose carrier
    // input is not driven. The port is blocking again once open; its reads and writes keep their
    // own waits.
    m_fd = open(info->devName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        m_fd = -1;
        return mcucom::PORT_FAIL;
    }
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
    m_fp = fdopen(m_fd, "r+b");
    if (m_fp == NULL) {
        close(m_fd);
        m_fd = -1;
        return mcucom::PORT_FAIL;
    }
    // Unbuffered, so that a line that came together with the one read stays in the device
    // and keeps it readable: a stdio buffer would hide it from the readiness wait.
    setvbuf(m_fp, NULL, _IONBF, 0);
    // A line left out of raw mode would carry the driver's echo and line editing: the open
    // fails rather than say so.
    if (SetComSpeed(m_fd, info->baudRate) < 0 ||
        SetComParity(m_fd, info->dataBits, info->stopBits, info->parity, info->stickParity) < 0 ||
        SetComRawMode(m_fd) < 0) {
        // fclose releases the stream and closes the descriptor under it, once.
        fclose(m_fp);
        m_fd = -1;
        m_fp = NULL;
        return mcucom::PORT_FAIL;
    }
    m_info = *info;
    m_opened = true;
    Log().Print(mcucom::kLogInfo, stdout, TEXT_PORT_OPENED, info->devName);
    return 0;
}

// Releases the stream and closes the descriptor exactly once. A descriptor of 0 is never
// closed (the port's close rule: descriptor 0 belongs to standard input); its stream is still
// given back, the descriptor kept under it.
int CComTransmit::ReleaseDescriptor() {
    if (m_fd > 0) {
        return fclose(m_fp) == 0 ? 0 : mcucom::PORT_FAIL;
    }
    const int keep = dup(m_fd);
    fclose(m_fp);
    if (keep >= 0) {
        dup2(keep, m_fd);
        close(keep);
    }
    return 0;
}

int CComTransmit::CloseCom() {
    m_closing = true;
    AloneLock alone(&m_use);
    m_closing = false;
    if (!m_opened) {
        return mcucom::PORT_FAIL;
    }
    if (m_rawFd >= 0) {
        close(m_rawFd);
        m_rawFd = -1;
    }
    if (ReleaseDescriptor() != 0) {
        Log().Puts(mcucom::kLogError, TEXT_PORT_CLOSE_FAILED);
    }
    m_fd = -1;
    m_fp = NULL;
    m_opened = false;
    return 0;
}

int CComTransmit::SetComSpeed(int fd, unsigned int baudRate) {
    const speed_t code = SpeedCodeFor(baudRate);
    struct termios tio;
    memset(&tio, 0, sizeof tio);
    tcgetattr(fd, &tio);
    if (cfsetispeed(&tio, code) < 0 || cfsetospeed(&tio, code) < 0 || ApplySettings(fd, tio) < 0) {
        return mcucom::PORT_FAIL;
    }
    tcflush(fd, TCIOFLUSH);
    return 0;
}

int CComTransmit::SetComParity(int fd, int dataBits, int stopBits, int parity, int stickParity) {
    struct termios tio;
    if (tcgetattr(fd, &tio) < 0) {
        return mcucom::PORT_FAIL;
    }
    if (!SetCharacterSize(&tio, dataBits) || !SetParityMode(&tio, parity) ||
        !SetStopBits(&tio, stopBits)) {
        return mcucom::PORT_FAIL;
    }
    if (stickParity != 0) {
        tio.c_cflag |= CMSPAR;
    } else {
        tio.c_cflag &= ~CMSPAR;
    }
    // Input parity checking is switched on for every parity but the lower-case 'n'; boards in
    // the field run with this setting, so it is kept as it is.
    if (parity != 'n') {
        tio.c_iflag |= INPCK;
    }
    tio.c_cc[VTIME] = 10;
    tio.c_cc[VMIN] = 0;
    tcflush(fd, TCIFLUSH);
    return ApplySettings(fd, tio) != 0 ? mcucom::PORT_FAIL : 0;
}

int CComTransmit::SetComRawMode(int fd) {
    struct termios tio;
    if (tcgetattr(fd, &tio) < 0) {
        return mcucom::PORT_FAIL;
    }
    cfmakeraw(&tio);
    // No flow control either, whatever the line had: the MCU's line has no handshake wires
    // to wait on (a write would stall until its time-out where CTS is not driven), and the
    // XON/XOFF bytes the driver would send are not requests.
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (ApplySettings(fd, tio) < 0) {
        return mcucom::PORT_FAIL;
    }
    tcflush(fd, TCIOFLUSH);
    return 0;
}

int CComTransmit::IOFlush() {
    SharedUse use(this);
    if (use.fd > 0) {
        tcflush(use.fd, TCIOFLUSH);
    }
    return 0;
}

// Waits for a descriptor of the port to become readable or writable, with poll(), which takes
// any descriptor number (select() cannot watch one past FD_SETSIZE, which a program with many
// files open reaches). A closed port fails at once. A signal caught meanwhile does not end the
// wait: it goes on for what is left of the time.
bool CComTransmit::WaitReady(int fd, bool forWrite, int timeoutSec, int timeoutUsec) {
    if (fd < 0) {
        return false;
    }
    const long long timeoutUs = timeoutSec * 1000000LL + timeoutUsec;
    struct pollfd pfd = {fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    return mcucom::PollWithin(&pfd, 1, timeoutUs) > 0;
}

// The descriptor raw reads use: a second, non-blocking open of the same device, made on the
// first raw read. Another process reading the device (the recorder's server may hold it too)
// can take the bytes that made it readable; a blocking read would then wait for the next
// bytes, for ever on a quiet line. Its own open leaves the port's descriptor, which writers
// share, blocking. Where it cannot be made, the port's descriptor is used.
int CComTransmit::RawReadDescriptor() {
    pthread_mutex_lock(&g_rawOpenLock);
    if (m_rawFd < 0 && m_fd >= 0) {
        char self[32];
        snprintf(self, sizeof self, "/proc/self/fd/%d", m_fd);
        const int flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
        m_rawFd = open(self, flags);
        if (m_rawFd < 0) {
            m_rawFd = open(m_info.devName, flags);
        }
    }
    const int fd = m_rawFd >= 0 ? m_rawFd : m_fd;
    pthread_mutex_unlock(&g_rawOpenLock);
    return fd;
}

int CComTransmit::ReadCom(char* buf, int size, int* len, int timeoutSec) {
    SharedUse use(this);
    if (!WaitReady(use.fd, false, timeoutSec, 0)) {
        *len = 0;
        return mcucom::PORT_FAIL;
    }
    // The result of fgets is not looked at: at the end of the stream the buffer keeps the
    // string it held, so callers pass it cleared. An end or error an earlier read met (a line
    // whose settings let a read return nothing) is forgotten first: stdio keeps it, and would
    // otherwise end every later read at once, with the line's bytes left unread.
    clearerr(use.fp);
    fgets(buf, size, use.fp);
    *len = static_cast<int>(strlen(buf));
    return 0;
}

char* CComTransmit::ReadLine(char* buf, int size) {
    SharedUse use(this);
    if (use.fp == NULL) {
        Log().PrintFixed(mcucom::kLogError, stdout, mcucom::LOG_NO_LINE_STREAM, TEXT_NO_LINE_STREAM,
                         static_cast<void*>(use.fp));
        return NULL;
    }
    clearerr(use.fp);
    return fgets(buf, size, use.fp);
}

int CComTransmit::ReadComEx(char* buf, int size, int* len, int timeoutSec, int timeoutUsec) {
    SharedUse use(this);
    const int fd = use.opened ? RawReadDescriptor() : -1;
    if (!WaitReady(fd, false, timeoutSec, timeoutUsec)) {
        return mcucom::PORT_FAIL;
    }
    const ssize_t count = read(fd, buf, static_cast<size_t>(size));
    *len = static_cast<int>(count);
    return count < 0 ? mcucom::PORT_FAIL : 0;
}

int CComTransmit::ReadBinCom(char* buf, int size, int* len, int /*unused*/) {
    SharedUse use(this);
    if (use.fd < 0) {
        Log().Print(mcucom::kLogError, stdout, TEXT_PORT_ERROR, use.fd);
        return mcucom::PORT_FAIL;
    }
    const ssize_t count = read(use.fd, buf, static_cast<size_t>(size));
    *len = static_cast<int>(count);
    return count > 0 ? 0 : mcucom::PORT_FAIL;
}

int CComTransmit::WriteCom(char* buf, int count, int timeoutSec) {
    SharedUse use(this);
    if (use.fd < 0) {
        Log().Print(mcucom::kLogError, stdout, TEXT_PORT_ERROR, use.fd);
        return mcucom::PORT_FAIL;
    }
    if (!WaitReady(use.fd, true, timeoutSec, 0)) {
        return mcucom::PORT_FAIL;
    }
    // A signal that came before any byte went out is no failure of the line: write again.
    ssize_t written;
    do {
        written = write(use.fd, buf, static_cast<size_t>(count));
    } while (written < 0 && errno == EINTR);
    return static_cast<int>(written);
}

int CComTransmit::ReadOrLost(char* buf, int size, int timeoutUs, int wakeFd) {
    SharedUse use(this);
    if (!use.opened) {
        return -EBADF;
    }
    const int fd = RawReadDescriptor();
    struct pollfd pfds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int ready = mcucom::PollWithin(pfds, wakeFd >= 0 ? 2 : 1, timeoutUs);
    const struct pollfd& pfd = pfds[0];
    if (ready <= 0 || pfd.revents == 0) {
        return 0;
    }
    const ssize_t count = read(fd, buf, static_cast<size_t>(size));
    if (count > 0) {
        return static_cast<int>(count);
    }
    // A hang-up shows as the end of the stream, or as an error; bytes another reader took
    // (EAGAIN) are no loss, nor is an end without a hang-up (a line whose settings let a read
    // return nothing).
    const int error = count < 0 ? errno : 0;
    if ((count < 0 && LineGone(error)) || (pfd.revents & (POLLHUP | POLLERR)) != 0) {
        return -(error != 0 && LineGone(error) ? error : EIO);
    }
    return 0;
}

bool CComTransmit::IsOpen() {
    SharedUse use(this);
    return use.opened;
}
