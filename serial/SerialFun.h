// SPDX-License-Identifier: MIT
// Serial port transport: one CComTransmit owns one serial device.
//
// OpenCom opens the device read-write and configures it in three steps (speed, character
// format, raw mode); CloseCom gives it back. The raw mode comes last and undoes part of the
// second step: it sets 8 data bits without parity and VMIN 1, VTIME 0, whatever the character
// format asked (the stop bits and input parity checking stay), and switches off flow control
// (RTS/CTS and XON/XOFF), which the MCU's line does not have. Reads and writes wait a bounded time
// for the device with poll(): ReadCom and ReadLine read a line through a stdio stream over the
// descriptor (unbuffered, so a line already arrived keeps the device readable), ReadComEx
// and ReadBinCom read raw bytes (ReadComEx never blocks past its wait, whoever else reads the
// device), WriteCom writes once and never retries.
// Every failure is -1 (null for ReadLine), but ReadOrLost's, which say why as a negative errno.
// Opening and closing exclude every read and write in
// progress (a lock the reads and writes share), so another thread's call on a port being
// closed fails instead of using a descriptor closed under it.
#ifndef SERIAL_SERIALFUN_H
#define SERIAL_SERIALFUN_H

#include <pthread.h>
#include <stddef.h>
#include <stdio.h>

#include <atomic>

#include "common/LinkLog.h"

// Settings of one port; a plain record copied whole.
struct TerminalInfo {
    unsigned int baudRate;   // bits per second, looked up in speed_atr
    unsigned char dataBits;  // 5 to 8
    char parity;             // 0/'N'/'n' none, 1/'O'/'o' odd, 2/'E'/'e' even, 'S'/'s' space
    unsigned char stopBits;  // 1 or 2
    int stickParity;         // non-zero sets CMSPAR
    char devName[52];        // NUL-terminated device path
    int reserved1;           // the four reserved values travel along; nothing reads them
    int reserved2;
    int reserved3;
    int reserved4;
};

// Other code of the board shares this record: its layout is fixed.
static_assert(offsetof(TerminalInfo, stickParity) == 8, "stickParity at offset 8");
static_assert(offsetof(TerminalInfo, devName) == 12, "devName at offset 12");
static_assert(offsetof(TerminalInfo, reserved1) == 64, "devName holds 52 characters");
static_assert(sizeof(TerminalInfo) == 80, "TerminalInfo is 80 bytes");

namespace mcucom {

// One entry of the speed table: the platform's speed code and the baud rate it stands for.
struct SpeedCode {
    unsigned int code;
    unsigned int baudRate;
};

const int SPEED_TABLE_SIZE = 11;

}  // namespace mcucom

extern const mcucom::SpeedCode speed_atr[mcucom::SPEED_TABLE_SIZE];

class CComTransmit {
  public:
    CComTransmit();
    ~CComTransmit();

    CComTransmit(const CComTransmit&) = delete;
    CComTransmit& operator=(const CComTransmit&) = delete;

    // A hook OpenCom calls with the settings it opens, empty: the fixed interface has it for
    // programs that trace their ports.
    void TraceComPar(TerminalInfo* info);
    int OpenCom(TerminalInfo* info);
    int CloseCom();

    int SetComSpeed(int fd, unsigned int baudRate);
    int SetComParity(int fd, int dataBits, int stopBits, int parity, int stickParity);
    int SetComRawMode(int fd);
    int IOFlush();

    int ReadCom(char* buf, int size, int* len, int timeoutSec);
    char* ReadLine(char* buf, int size);
    int ReadComEx(char* buf, int size, int* len, int timeoutSec, int timeoutUsec);
    int ReadBinCom(char* buf, int size, int* len, int unused);
    int WriteCom(char* buf, int count, int timeoutSec);

    // Raw bytes as ReadComEx reads them, telling a quiet line from a lost one: the count read,
    // 0 when none came within timeoutUs (or another reader took them, or wakeFd, when not -1,
    // became readable first), -EBADF when the port is closed, or another negative errno when
    // the line is gone (hung up, its device removed: EIO, ENXIO, ENODEV).
    int ReadOrLost(char* buf, int size, int timeoutUs, int wakeFd = -1);

    // Whether the port is open (and not being closed).
    bool IsOpen();

    // Where the port's lines go ("Open COM ...", "Com Port Err: ..."): the standard streams
    // unless a link's log is given. Set before the port is used from other threads.
    void SetLog(mcucom::LinkLog* log) { m_log = log; }

  private:
    struct SharedUse {
        explicit SharedUse(CComTransmit* port);
        ~SharedUse();
        SharedUse(const SharedUse&) = delete;
        SharedUse& operator=(const SharedUse&) = delete;
        int fd;
        FILE* fp;
        bool opened;

      private:
        pthread_rwlock_t* m_lock;
    };

    bool WaitReady(int fd, bool forWrite, int timeoutSec, int timeoutUsec);
    int RawReadDescriptor();
    int ReleaseDescriptor();
    mcucom::LinkLog& Log();

    int m_fd;
    FILE* m_fp;
    bool m_opened;
    TerminalInfo m_info;
    int m_rawFd;  // non-blocking descriptor of the same device, for raw reads; -1 until used
    mcucom::LinkLog* m_log;
    // Reads and writes hold it shared, opening and closing alone: a port closed while another
    // thread writes or reads makes that call fail, never use a descriptor closed under it.
    // While a close waits for the lock, calls that come fail at once instead of keeping it.
    pthread_rwlock_t m_use;
    std::atomic<bool> m_closing;
};

#endif  // SERIAL_SERIALFUN_H
