// SPDX-License-Identifier: MIT
#include "tool/ModuleGlobals.h"

namespace {

struct ModuleObjects {
    CComTransmit port;
    WaitCmdList waitList;
    DataPackList ackList;
    DataPackList dealList;
};

// Made by the first caller, before main or after, whichever global is reached first; kept
// to the end of the process.
ModuleObjects& Objects() {
    static ModuleObjects* const objects = new ModuleObjects;
    return *objects;
}

}  // namespace

CComTransmit& g_McuCom = Objects().port;
WaitCmdList& m_waitCmdList = Objects().waitList;
DataPackList& m_ackList = Objects().ackList;
DataPackList& m_dealList = Objects().dealList;
