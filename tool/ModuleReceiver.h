// SPDX-License-Identifier: MIT
// A receiver wired to the module's own port and lists: g_McuCom, m_waitCmdList, m_ackList and
// m_dealList. Start it once the port is open; stop it before the port closes.
#ifndef TOOL_MODULERECEIVER_H
#define TOOL_MODULERECEIVER_H

#include "ack/McuReceiver.h"

namespace mcucom {

class ModuleReceiver : public McuReceiver {
  public:
    ModuleReceiver();
};

}  // namespace mcucom

#endif  // TOOL_MODULERECEIVER_H
