// SPDX-License-Identifier: MIT
// The module's global objects: the MCU port and the three lists every send and the receiver use.
//
// They are made on first use, in this order (port, wait list, acknowledgement list, deal
// list), and never destroyed: a thread still sending when the program calls exit() would
// otherwise run into a list destroyed under it. The kernel closes a port left open when the
// program ends. Each name refers to its object for the life of the program, from before main.
#ifndef LINK_MODULEGLOBALS_H
#define LINK_MODULEGLOBALS_H

#include "ack/DataPackList.h"
#include "serial/SerialFun.h"

extern CComTransmit& g_McuCom;
extern WaitCmdList& m_waitCmdList;
extern DataPackList& m_ackList;   // acknowledgements received; WriteData collects from it
extern DataPackList& m_dealList;  // every other frame received, for the application to deal with

#endif  // LINK_MODULEGLOBALS_H
