// The module's global objects. Defined together, in this order, so that they are constructed
// in it and destroyed in reverse at exit: g_McuCom goes last and closes a port left open.
#include "tool/ModuleGlobals.h"

CComTransmit g_McuCom;
WaitCmdList m_waitCmdList;
DataPackList m_ackList;
DataPackList m_dealList;
