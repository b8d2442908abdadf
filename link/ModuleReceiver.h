// SPDX-License-Identifier: MIT
// A receiver wired to the module's own port and lists: g_McuCom, m_waitCmdList, m_ackList and
// m_dealList. Start it once the port is open; stop it before the port closes.
#ifndef LINK_MODULERECEIVER_H
#define LINK_MODULERECEIVER_H

#include "receiver/McuReceiver.h"

namespace mcucom {

class ModuleReceiver : public McuReceiver {
  public:
    ModuleReceiver();
};

}  // namespace mcucom

#endif  // LINK_MODULERECEIVER_H
