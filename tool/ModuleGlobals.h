// The module's global objects, constructed before main in this order and destroyed at exit in
// reverse: g_McuCom goes last and closes a port left open.
#ifndef TOOL_MODULEGLOBALS_H
#define TOOL_MODULEGLOBALS_H

#include "ack/DataPackList.h"
#include "serial/SerialFun.h"

extern CComTransmit g_McuCom;
extern WaitCmdList m_waitCmdList;
extern DataPackList m_ackList;   // acknowledgements received; WriteData collects from it
extern DataPackList m_dealList;  // every other frame received, for the application to deal with

#endif  // TOOL_MODULEGLOBALS_H
