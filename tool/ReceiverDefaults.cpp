// The receiver's default wiring: the module's own port and lists (the members of the same
// names are the receiver's references to them).
#include "ack/McuReceiver.h"
#include "tool/HddPower.h"

McuReceiver::McuReceiver() : McuReceiver(::g_McuCom, ::m_waitCmdList, ::m_ackList, ::m_dealList) {}
