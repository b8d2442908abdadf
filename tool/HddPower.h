// The command module: the hard-disk power requests of the tool, the MCU command table and
// serial numbers, the frame helpers, the command send path and the module's global objects.
//
// A request reaches the MCU in two encodings, in this order: the 16-byte ASCII power line
// (HddPowerOptASCII) and the binary command 6 (HddPowerOptHEX -> AlarmOutPowerCtl ->
// sendCmdData). sendCmdData frames any command of the table; an acknowledged command goes
// through WriteData, which registers it in m_waitCmdList, writes it, waits for the
// acknowledgement and collects it from m_ackList. WriteToMcuPort is the one write path to the
// MCU. The receiving half (feeding m_ackList and waking waiters) belongs to a receiver thread.
#ifndef TOOL_HDDPOWER_H
#define TOOL_HDDPOWER_H

#include <atomic>

#include "ack/DataPackList.h"
#include "common/ComFrame.h"
#include "serial/SerialFun.h"
#include "tool/SendResults.h"

// MCU command codes. The frame carries the low 16 bits; lookups compare all 32.
enum COM_CMD_3520D_TYPE : unsigned int {
    CMD_0002 = 0x0002,
    CMD_0003 = 0x0003,
    CMD_0004 = 0x0004,  // its acknowledgement matches any waiting command 4, whatever serial
    CMD_0005 = 0x0005,
    CMD_ALARM_OUT_POWER = 0x0006,  // alarm-output (hard-disk) power control, 8-byte payload
    CMD_0007 = 0x0007,
    CMD_0008 = 0x0008,  // printed after sending
    CMD_0009 = 0x0009,
    CMD_000F = 0x000F,
    CMD_0010 = 0x0010,
    CMD_0011 = 0x0011,
    CMD_0016 = 0x0016,
    CMD_0017 = 0x0017,
    CMD_0019 = 0x0019,
    CMD_001C = 0x001C,
    CMD_0021 = 0x0021,  // printed after sending
    CMD_0082 = 0x0082,
    CMD_0083 = 0x0083,
    CMD_0303 = 0x0303,
    CMD_0304 = 0x0304,
    CMD_0306 = 0x0306,
    CMD_0309 = 0x0309,
    CMD_031C = 0x031C,
    CMD_031E = 0x031E,
    CMD_0320 = 0x0320,
    CMD_0321 = 0x0321,
    CMD_0322 = 0x0322,
    CMD_0330 = 0x0330,
    CMD_0332 = 0x0332,
    CMD_0335 = 0x0335,
    CMD_0404 = 0x0404,
};

// One entry of the command table.
struct __CmdFlagItem {
    COM_CMD_3520D_TYPE cmd;
    unsigned char flag;
};

const int CMD_TABLE_SIZE = 31;
extern const __CmdFlagItem m_cmdFlag[CMD_TABLE_SIZE];

unsigned char GetCmdFlag(COM_CMD_3520D_TYPE cmd);

// The next frame serial number: 1 to 255, then 1 again; 0 is never handed out, since a
// request's serial number 0 means "none given yet". One counter for the whole process; the
// step is atomic so that concurrent senders never draw the same number in one round.
inline unsigned char GetSerialNum() {
    static std::atomic<unsigned char> m_serialNum(0);
    unsigned char current = m_serialNum.load();
    unsigned char next;
    do {
        next = static_cast<unsigned char>(current + 1);
        if (next == 0) {
            next = 1;
        }
    } while (!m_serialNum.compare_exchange_weak(current, next));
    return next;
}

// Frame helpers.
int XorCheckSum(unsigned char* buf, int nbytes);
unsigned short cmdData2Frame(char* frame);

// A caller's command request.
struct __UserCmdData {
    __UserCmdData();

    COM_CMD_3520D_TYPE cmd;
    unsigned char serialNum;  // 0 asks for the next serial number; holds the one used on return
    unsigned short dataLen;
    unsigned char* data;  // payload in wire byte order
};

const int SEND_FRAME_BUF_SIZE = 2048;
const int SEND_MAX_PAYLOAD = SEND_FRAME_BUF_SIZE - FRAME_MIN_SIZE;  // 2037
const unsigned int SEND_DEFAULT_TIMEO_MS = 100;

int sendCmdData(__UserCmdData* request, __ComFrameData* reply, unsigned int timeo);
int WriteData(char* frame, unsigned short size, __ComFrameData* reply, unsigned int timeo);

// The payload of command 6, filled in host byte order; AlarmOutPowerCtl sends it big-endian.
struct __AlarmOutPwrCtl {
    unsigned short maskA;
    unsigned short maskB;
    unsigned int powerBits;
};
static_assert(sizeof(__AlarmOutPwrCtl) == 8, "the command 6 payload is 8 bytes");

int AlarmOutPowerCtl(__AlarmOutPwrCtl* ctl, unsigned int timeo);
int HddPowerOptHEX(int on);
int HddPowerOptASCII(int on);
int CaculateCrcValue(char* buf, int n);

int EnableHardWareHddPower(int hex);
int DisableHardWareHddPower(int hex);

// The MCU port's fixed settings (115200 baud, 8N1, no stick parity, reserved values 0, 1000,
// 0, 1000) for the device given; McuComModuleInit opens "/dev/ttyAMA2" with them.
TerminalInfo McuPortSettings(const char* devName);
int McuComModuleInit();
int McuComModuleDestory();
int WriteToMcuPort(char* buf, int count);

// The module's global objects, constructed in this order and destroyed in reverse.
extern CComTransmit g_McuCom;
extern WaitCmdList m_waitCmdList;
extern DataPackList m_ackList;
extern DataPackList m_dealList;

#endif  // TOOL_HDDPOWER_H
