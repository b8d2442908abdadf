// Opens the module's MCU port (g_McuCom) on a pseudo-terminal for the length of a test.
#ifndef TESTS_SUPPORT_MCUPORT_H
#define TESTS_SUPPORT_MCUPORT_H

#include <string.h>

#include "tests/support/CaptureOutput.h"
#include "tests/support/PtyLine.h"
#include "tool/HddPower.h"

class McuPort {
  public:
    McuPort() : m_opened(false) {
        if (!m_line.ok()) {
            return;
        }
        TerminalInfo info = McuPortSettings(m_line.slavePath().c_str());
        CaptureOutput quiet;
        m_opened = g_McuCom.OpenCom(&info) == 0;
    }
    ~McuPort() {
        if (m_opened) {
            g_McuCom.CloseCom();
        }
    }
    bool ok() const { return m_opened; }
    PtyLine& line() { return m_line; }

  private:
    PtyLine m_line;
    bool m_opened;
};

#endif  // TESTS_SUPPORT_MCUPORT_H
