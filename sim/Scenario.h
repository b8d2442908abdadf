// SPDX-License-Identifier: MIT
// A scenario: the MCU as a board program knows it, written in a YAML file beside the tests.
//
//   state:                  named values requests change and answers report
//     disks: {value: 0x1f, bytes: 4}      (bytes 1 to 8, big-endian; order: little for the
//     mode: 0                              other way; a bare number is one byte)
//   commands:               what the MCU does with a request, by code
//     0x0006:
//       set: {disks: {offset: 4}}         state taken from the request's payload
//       answer: {result: 0, payload: [disks], delay_ms: 2}
//       fault: {drop: 0.1, corrupt: 0, duplicate: 0, late_ms: 0}
//     0x0303: {answer: none}
//     0x0007: {answers: [{result: 0}, {result: 1}, none]}   in turn; the last one repeats
//     0x0002: {answer: {result: 0, again_ms: [40]}}   a copy of the answer 40 ms after the request
//   frames:                 frames the MCU sends of its own accord
//     - {code: 0x0019, every_ms: 1000, payload: [mode, disks]}
//     - {code: 0x0020, at_ms: 500}
//     - {code: 0x0021, after: 0x0006, delay_ms: 50, payload: "0102"}
//     - {code: 0x0019, after_request: 3, delay_ms: 5}   once, after the run's 3rd request
//   expect:                 checked when the run ends
//     - {request: 0x0006, payload: "00ff00ff0000001f", within_ms: 2000}
//     - {never: 0x0404}
//   line:                   the served line lost on purpose (mcusim --serve pty[:PATH])
//     hangup_after: 100     hung up after this many requests,
//     hangup_ms: 500        and back this long after (1000 by default)
//
// A payload is a string of hex pairs, or a list of bytes (0 to 255) and state names (the
// state's bytes), at most 1024 bytes as laid out (1022 in an answer, after its serial and
// result bytes). A code the scenario does not name is answered as without one; a code named
// twice (6 and 0x0006) is refused. Every mistake in the file is refused before anything runs,
// with the file, the line and the reason; so is a path that is no file, or a file over 1 MiB.
// Requests are the frames whose flag asks for an answer. Times count from the start of the run,
// or, on a served line, from the first byte the program sends.
#ifndef SIM_SCENARIO_H
#define SIM_SCENARIO_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

struct ScenarioState {
    uint64_t value;
    int bytes;  // 1 to 8
    bool littleEndian;
};

// One byte, or a state's bytes, of a payload the scenario lays out.
struct PayloadPart {
    bool isState;
    unsigned char byte;
    std::string state;
};

struct ScenarioAnswer {
    bool none;  // no answer at all
    unsigned char result;
    std::vector<PayloadPart> payload;
    double delayMs;
    std::vector<double> againMs;  // copies of the answer, each this long after the request
};

struct ScenarioCommand {
    std::map<std::string, int> sets;      // state name -> payload offset it is taken from
    std::vector<ScenarioAnswer> answers;  // in turn; the last repeats
    double drop, corrupt, duplicate;
    double lateMs;
    int line;  // where the file names the code
};

struct ScenarioFrame {
    unsigned short code;
    unsigned char flag;
    std::vector<PayloadPart> payload;
    double everyMs;  // > 0: periodic
    double atMs;     // >= 0: once, this long after the start
    int after;       // >= 0: this long (delayMs) after each request of this code
    double delayMs;
    long afterRequest;  // > 0: once, delayMs after the run's afterRequest-th request
};

struct ScenarioExpectation {
    bool never;  // no request of the code may come
    unsigned short code;
    bool anyPayload;
    std::string payload;
    double withinMs;  // 0: any time before the end
    int line;
};

struct Scenario {
    std::string path;
    std::map<std::string, ScenarioState> state;
    std::map<unsigned short, ScenarioCommand> commands;
    std::vector<ScenarioFrame> frames;
    std::vector<ScenarioExpectation> expectations;
    int hangupAfter = 0;  // line: the served line hangs up after this many requests (0: never)
    int hangupMs = 1000;  // and comes back this long after
};

// The largest scenario file read: a file is parsed whole in memory, and a scenario has no
// use for more (a long recording past it is refused, not read for minutes).
const size_t kScenarioMaxBytes = 1 << 20;

// Reads and checks the file: true, or false with "PATH:LINE: reason" in *error. In
// sim/ScenarioFile.cpp, built where yaml-cpp is at hand (HDDPOWER_SCENARIO_FILES).
bool LoadScenario(const std::string& path, Scenario* scenario, std::string* error);

// The bytes a payload lays out, with the state as it is now.
std::string LayOutPayload(const std::vector<PayloadPart>& parts,
                          const std::map<std::string, ScenarioState>& state);

// Payload bytes as a scenario file writes them: two lower-case hex digits each, no blanks.
std::string PayloadHex(const std::string& bytes);

#endif  // SIM_SCENARIO_H
