#include "tool/ModuleReceiver.h"

#include "tool/ModuleGlobals.h"

// The globals are named with :: because the receiver's members of the same names hide them here.
ModuleReceiver::ModuleReceiver()
    : McuReceiver(::g_McuCom, ::m_waitCmdList, ::m_ackList, ::m_dealList) {}
