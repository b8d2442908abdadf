// SPDX-License-Identifier: MIT
#include "sim/Scenario.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "common/CmdTable.h"
#include "common/ComFrame.h"

#include <yaml-cpp/yaml.h>

namespace {

// A refusal of the file, at the node that is wrong.
struct Refusal : std::runtime_error {
    Refusal(const YAML::Node& node, const std::string& why)
        : std::runtime_error(why), line(node.Mark().line + 1) {}
    int line;
};

void OnlyKeys(const YAML::Node& map, const std::set<std::string>& known, const char* what) {
    if (!map.IsMap()) {
        throw Refusal(map, std::string(what) + " must be a map");
    }
    for (YAML::const_iterator it = map.begin(); it != map.end(); ++it) {
        const std::string key = it->first.Scalar();
        if (known.count(key) == 0) {
            throw Refusal(it->first, "unknown key '" + key + "' in " + what);
        }
    }
}

long long Integer(const YAML::Node& node, long long low, long long high, const std::string& what) {
    long long value = 0;
    if (!node.IsScalar() || !YAML::convert<long long>::decode(node, value) || value < low ||
        value > high) {
        throw Refusal(node, what + " must be a whole number from " + std::to_string(low) + " to " +
                                std::to_string(high));
    }
    return value;
}

// A bound as a person writes it: 0.5, 1, 600000.
std::string NumberText(double value) {
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

double Number(const YAML::Node& node, double low, double high, const std::string& what) {
    double value = 0;
    if (!node.IsScalar() || !YAML::convert<double>::decode(node, value) || !(value >= low) ||
        !(value <= high)) {
        throw Refusal(
            node, what + " must be a number from " + NumberText(low) + " to " + NumberText(high));
    }
    return value;
}

unsigned short Code(const YAML::Node& node) {
    return static_cast<unsigned short>(Integer(node, 1, 0xFFFF, "a command code"));
}

std::string CodeText(unsigned short code);

// The code of a request the board sends: one of the command table's (the MCU's own frames may
// carry any code).
unsigned short RequestCode(const YAML::Node& node) {
    const unsigned short code = Code(node);
    if (GetCmdFlag(static_cast<COM_CMD_3520D_TYPE>(code)) == 0) {
        throw Refusal(node, "command " + CodeText(code) +
                                " is not in the command table (mcusend --list prints it)");
    }
    return code;
}

std::string CodeText(unsigned short code) {
    char text[8];
    snprintf(text, sizeof text, "%04x", code);
    return text;
}

bool IsHexPairs(const std::string& text) {
    if (text.size() % 2 != 0) {
        return false;
    }
    for (char c : text) {
        if (!isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::string HexBytes(const YAML::Node& node, const std::string& what) {
    const std::string text = node.IsScalar() ? node.Scalar() : std::string("?");
    if (!IsHexPairs(text)) {
        throw Refusal(node, what + " must be pairs of hex digits");
    }
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

class Reader {
  public:
    explicit Reader(Scenario* scenario) : m_s(scenario) {}

    void Read(const YAML::Node& root) {
        if (root.IsNull()) {
            return;
        }
        OnlyKeys(root, {"state", "commands", "frames", "expect", "line"}, "the scenario");
        if (root["state"]) {
            ReadState(root["state"]);
        }
        if (root["commands"]) {
            ReadCommands(root["commands"]);
        }
        if (root["frames"]) {
            ReadFrames(root["frames"]);
        }
        if (root["expect"]) {
            ReadExpectations(root["expect"]);
        }
        if (root["line"]) {
            ReadLine(root["line"]);
        }
    }

  private:
    void ReadState(const YAML::Node& node) {
        if (!node.IsMap()) {
            throw Refusal(node, "state must be a map of names to values");
        }
        for (YAML::const_iterator it = node.begin(); it != node.end(); ++it) {
            const std::string name = it->first.Scalar();
            if (name.empty() || !isalpha(static_cast<unsigned char>(name[0])) || IsHexPairs(name)) {
                throw Refusal(it->first,
                              "a state's name must start with a letter and not read "
                              "as hex bytes: '" +
                                  name + "'");
            }
            ScenarioState state = {0, 1, false};
            const YAML::Node value = it->second;  // a copy: "->" yields a temporary
            if (value.IsMap()) {
                OnlyKeys(value, {"value", "bytes", "order"}, "a state");
                state.bytes =
                    value["bytes"] ? static_cast<int>(Integer(value["bytes"], 1, 8, "bytes")) : 1;
                if (value["order"]) {
                    const std::string order = value["order"].Scalar();
                    if (order != "big" && order != "little") {
                        throw Refusal(value["order"], "order must be big or little");
                    }
                    state.littleEndian = order == "little";
                }
                if (value["value"]) {
                    state.value = static_cast<uint64_t>(
                        Integer(value["value"], 0, 0x7FFFFFFFFFFFFFFFLL, "a state's value"));
                }
            } else {
                state.value = static_cast<uint64_t>(Integer(value, 0, 255, "a one-byte state"));
            }
            m_s->state[name] = state;
        }
    }

    std::vector<PayloadPart> Payload(const YAML::Node& node) {
        std::vector<PayloadPart> parts;
        if (node.IsScalar()) {
            for (char byte : HexBytes(node, "a payload")) {
                parts.push_back(PayloadPart{false, static_cast<unsigned char>(byte), ""});
            }
            return parts;
        }
        if (!node.IsSequence()) {
            throw Refusal(node, "a payload is hex pairs, or a list of bytes and state names");
        }
        for (const YAML::Node& item : node) {
            long long byte = 0;
            if (item.IsScalar() && YAML::convert<long long>::decode(item, byte)) {
                parts.push_back(PayloadPart{
                    false, static_cast<unsigned char>(Integer(item, 0, 255, "a payload byte")),
                    ""});
            } else if (item.IsScalar() && m_s->state.count(item.Scalar()) != 0) {
                parts.push_back(PayloadPart{true, 0, item.Scalar()});
            } else {
                throw Refusal(item, "'" + (item.IsScalar() ? item.Scalar() : std::string("?")) +
                                        "' is neither a byte nor a state the scenario names");
            }
        }
        return parts;
    }

    // A payload's bytes once laid out, refused when no reader would take the frame: an
    // answer's serial and result bytes come before its own.
    void FitsAFrame(const YAML::Node& node, const std::vector<PayloadPart>& parts, int before) {
        size_t bytes = static_cast<size_t>(before);
        for (const PayloadPart& part : parts) {
            bytes += part.isState ? static_cast<size_t>(m_s->state[part.state].bytes) : 1;
        }
        if (bytes > static_cast<size_t>(mcucom::FRAME_MAX_PAYLOAD)) {
            throw Refusal(node, "a payload of " + std::to_string(bytes - before) +
                                    " bytes: a frame carries at most " +
                                    std::to_string(mcucom::FRAME_MAX_PAYLOAD - before) +
                                    (before > 0 ? " after an answer's serial and result" : ""));
        }
    }

    ScenarioAnswer Answer(const YAML::Node& node) {
        ScenarioAnswer answer = {false, 0, {}, 0, {}};
        if (node.IsScalar() && node.Scalar() == "none") {
            answer.none = true;
            return answer;
        }
        OnlyKeys(node, {"result", "payload", "delay_ms", "again_ms"}, "an answer");
        if (node["result"]) {
            answer.result = static_cast<unsigned char>(Integer(node["result"], 0, 255, "result"));
        }
        if (node["payload"]) {
            answer.payload = Payload(node["payload"]);
            FitsAFrame(node["payload"], answer.payload, mcucom::ANSWER_RESULT_AT + 1);
        }
        if (node["delay_ms"]) {
            answer.delayMs = Number(node["delay_ms"], 0, 600000, "delay_ms");
        }
        const YAML::Node again = node["again_ms"];
        if (again && again.IsSequence()) {
            for (const YAML::Node& copy : again) {
                answer.againMs.push_back(Number(copy, 0, 600000, "again_ms"));
            }
        } else if (again) {
            answer.againMs.push_back(Number(again, 0, 600000, "again_ms"));
        }
        return answer;
    }

    void ReadCommands(const YAML::Node& node) {
        if (!node.IsMap()) {
            throw Refusal(node, "commands must be a map of codes to what the MCU does");
        }
        for (YAML::const_iterator it = node.begin(); it != node.end(); ++it) {
            const unsigned short code = RequestCode(it->first);
            if (m_s->commands.count(code) != 0) {
                throw Refusal(it->first, "command " + CodeText(code) + " is named twice (line " +
                                             std::to_string(m_s->commands[code].line) + ")");
            }
            const YAML::Node body = it->second;  // a copy: "->" yields a temporary
            OnlyKeys(body, {"set", "answer", "answers", "fault"}, "a command");
            ScenarioCommand command;
            command.drop = command.corrupt = command.duplicate = command.lateMs = 0;
            command.line = it->first.Mark().line + 1;
            if (body["answer"] && body["answers"]) {
                throw Refusal(body["answers"], "a command has answer or answers, not both");
            }
            if (body["answer"]) {
                command.answers.push_back(Answer(body["answer"]));
            }
            if (body["answers"]) {
                if (!body["answers"].IsSequence() || body["answers"].size() == 0) {
                    throw Refusal(body["answers"], "answers must be a list of answers");
                }
                for (const YAML::Node& answer : body["answers"]) {
                    command.answers.push_back(Answer(answer));
                }
            }
            if (body["set"]) {
                ReadSets(body["set"], &command);
            }
            if (body["fault"]) {
                const YAML::Node& fault = body["fault"];
                OnlyKeys(fault, {"drop", "corrupt", "duplicate", "late_ms"}, "a fault");
                command.drop = fault["drop"] ? Number(fault["drop"], 0, 1, "drop") : 0;
                command.corrupt = fault["corrupt"] ? Number(fault["corrupt"], 0, 1, "corrupt") : 0;
                command.duplicate =
                    fault["duplicate"] ? Number(fault["duplicate"], 0, 1, "duplicate") : 0;
                command.lateMs =
                    fault["late_ms"] ? Number(fault["late_ms"], 0, 600000, "late_ms") : 0;
            }
            m_s->commands[code] = command;
        }
    }

    void ReadSets(const YAML::Node& node, ScenarioCommand* command) {
        if (!node.IsMap()) {
            throw Refusal(node, "set must map state names to {offset: N}");
        }
        for (YAML::const_iterator it = node.begin(); it != node.end(); ++it) {
            const std::string name = it->first.Scalar();
            if (m_s->state.count(name) == 0) {
                throw Refusal(it->first, "set names '" + name + "', a state the scenario lacks");
            }
            OnlyKeys(it->second, {"offset"}, "a set");
            if (!it->second["offset"]) {
                throw Refusal(it->second, "a set needs the payload offset its value comes from");
            }
            command->sets[name] =
                static_cast<int>(Integer(it->second["offset"], 0, 1023, "offset"));
        }
    }

    void ReadFrames(const YAML::Node& node) {
        if (!node.IsSequence()) {
            throw Refusal(node, "frames must be a list");
        }
        for (const YAML::Node& item : node) {
            OnlyKeys(item,
                     {"code", "flag", "payload", "every_ms", "at_ms", "after", "after_request",
                      "delay_ms"},
                     "a frame");
            if (!item["code"]) {
                throw Refusal(item, "a frame needs its code");
            }
            ScenarioFrame frame = {Code(item["code"]), 0x01, {}, 0, -1, -1, 0, 0};
            if (item["flag"]) {
                frame.flag = static_cast<unsigned char>(Integer(item["flag"], 0, 255, "flag"));
            }
            if (item["payload"]) {
                frame.payload = Payload(item["payload"]);
                FitsAFrame(item["payload"], frame.payload, 0);
            }
            const int whens = (item["every_ms"] ? 1 : 0) + (item["at_ms"] ? 1 : 0) +
                              (item["after"] ? 1 : 0) + (item["after_request"] ? 1 : 0);
            if (whens != 1) {
                throw Refusal(item,
                              "a frame comes every_ms, at_ms or after a request: one of them");
            }
            if (item["after_request"]) {
                frame.afterRequest = static_cast<long>(
                    Integer(item["after_request"], 1, 1000000000, "after_request"));
            }
            if (item["every_ms"]) {
                frame.everyMs = Number(item["every_ms"], 1, 600000, "every_ms");
            }
            if (item["at_ms"]) {
                frame.atMs = Number(item["at_ms"], 0, 86400000, "at_ms");
            }
            if (item["after"]) {
                frame.after = RequestCode(item["after"]);
            }
            if (item["delay_ms"]) {
                frame.delayMs = Number(item["delay_ms"], 0, 600000, "delay_ms");
            }
            m_s->frames.push_back(frame);
        }
    }

    void ReadLine(const YAML::Node& node) {
        OnlyKeys(node, {"hangup_after", "hangup_ms"}, "line");
        if (!node["hangup_after"]) {
            throw Refusal(node, "line needs hangup_after, the requests before the line hangs up");
        }
        m_s->hangupAfter =
            static_cast<int>(Integer(node["hangup_after"], 1, 1000000, "hangup_after"));
        if (node["hangup_ms"]) {
            m_s->hangupMs = static_cast<int>(Integer(node["hangup_ms"], 0, 600000, "hangup_ms"));
        }
    }

    void ReadExpectations(const YAML::Node& node) {
        if (!node.IsSequence()) {
            throw Refusal(node, "expect must be a list");
        }
        for (const YAML::Node& item : node) {
            OnlyKeys(item, {"request", "never", "payload", "within_ms"}, "an expectation");
            ScenarioExpectation expectation = {false, 0, true, "", 0, item.Mark().line + 1};
            if ((item["request"] ? 1 : 0) + (item["never"] ? 1 : 0) != 1) {
                throw Refusal(item, "an expectation is a request or a never");
            }
            expectation.never = static_cast<bool>(item["never"]);
            expectation.code = RequestCode(expectation.never ? item["never"] : item["request"]);
            if (item["payload"]) {
                expectation.anyPayload = false;
                expectation.payload = HexBytes(item["payload"], "an expected payload");
            }
            if (item["within_ms"]) {
                expectation.withinMs = Number(item["within_ms"], 0, 86400000, "within_ms");
            }
            m_s->expectations.push_back(expectation);
        }
    }

    Scenario* m_s;
};

}  // namespace

// The file's text: a regular file that can be read, of at most kScenarioMaxBytes.
bool ReadScenarioText(const std::string& path, std::string* text, std::string* error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = path + ": cannot be read: " + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + ": is not a file";
        return false;
    }
    if (st.st_size > static_cast<off_t>(kScenarioMaxBytes)) {
        *error = path + ": is larger than a scenario may be (" + std::to_string(kScenarioMaxBytes) +
                 " bytes)";
        return false;
    }
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream read;
    read << in.rdbuf();
    if (!in.good() && !in.eof()) {
        *error = path + ": cannot be read";
        return false;
    }
    *text = read.str();
    return true;
}

bool LoadScenario(const std::string& path, Scenario* scenario, std::string* error) {
    std::string text;
    if (!ReadScenarioText(path, &text, error)) {
        return false;
    }
    Scenario read;
    read.path = path;
    try {
        Reader(&read).Read(YAML::Load(text));
    } catch (const Refusal& refusal) {
        *error = path + ":" + std::to_string(refusal.line) + ": " + refusal.what();
        return false;
    } catch (const YAML::Exception& wrong) {
        *error = path + ":" + std::to_string(wrong.mark.line + 1) + ": " + wrong.msg;
        return false;
    }
    *scenario = read;
    return true;
}
