// SPDX-License-Identifier: MIT
// The fixed interface's send path: the default link's (link/McuLink).
#include "link/SendPath.h"

#include "link/McuLink.h"

__UserCmdData::__UserCmdData() : cmd(), serialNum(0), dataLen(0), data(NULL) {}

int WriteData(char* frame, unsigned short size, __ComFrameData* reply, unsigned int timeo) {
    return mcucom::McuLink::Default().WriteData(frame, size, reply, timeo);
}

int sendCmdData(__UserCmdData* request, __ComFrameData* reply, unsigned int timeo) {
    return mcucom::McuLink::Default().SendCmdData(request, reply, timeo);
}
