// SPDX-License-Identifier: MIT
#include "link/ModuleReceiver.h"

#include "link/McuLink.h"

namespace mcucom {

// The default link's objects, reached through the link: a receiver made before main must not
// depend on the order in which the globals that name them are set.
ModuleReceiver::ModuleReceiver()
    : McuReceiver(McuLink::Default().port(), McuLink::Default().waitList(),
                  McuLink::Default().ackList(), McuLink::Default().dealList()) {}

}  // namespace mcucom
