// SPDX-License-Identifier: MIT
#include "tool/ModuleReceiver.h"

#include "tool/McuLink.h"

namespace mcucom {

// The default link's objects, reached through the link: a receiver made before main must not
// depend on the order in which the globals that name them are set.
ModuleReceiver::ModuleReceiver()
    : McuReceiver(mcucom::McuLink::Default().port(), mcucom::McuLink::Default().waitList(),
                  mcucom::McuLink::Default().ackList(), mcucom::McuLink::Default().dealList()) {}

}  // namespace mcucom
