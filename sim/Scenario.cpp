// SPDX-License-Identifier: MIT
#include "sim/Scenario.h"

#include <stdio.h>

std::string LayOutPayload(const std::vector<PayloadPart>& parts,
                          const std::map<std::string, ScenarioState>& state) {
    std::string bytes;
    for (const PayloadPart& part : parts) {
        if (!part.isState) {
            bytes += static_cast<char>(part.byte);
            continue;
        }
        const ScenarioState& value = state.at(part.state);
        for (int i = 0; i < value.bytes; ++i) {
            const int shift = 8 * (value.littleEndian ? i : value.bytes - 1 - i);
            bytes += static_cast<char>((value.value >> shift) & 0xFF);
        }
    }
    return bytes;
}

std::string PayloadHex(const std::string& bytes) {
    std::string text;
    char two[3];
    for (unsigned char byte : bytes) {
        snprintf(two, sizeof two, "%02x", byte);
        text += two;
    }
    return text;
}
