// SPDX-License-Identifier: MIT
// The module's globals: the default link's objects (link/McuLink), which is made by whichever
// of them is reached first, before main or after, and kept to the end of the process.
#include "link/ModuleGlobals.h"

#include "link/McuLink.h"

CComTransmit& g_McuCom = mcucom::McuLink::Default().port();
WaitCmdList& m_waitCmdList = mcucom::McuLink::Default().waitList();
DataPackList& m_ackList = mcucom::McuLink::Default().ackList();
DataPackList& m_dealList = mcucom::McuLink::Default().dealList();
