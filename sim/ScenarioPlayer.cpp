// SPDX-License-Identifier: MIT
#include "sim/ScenarioPlayer.h"

#include <stdio.h>

#include "common/ComFrame.h"

namespace {

std::string Describe(const ScenarioExpectation& e) {
    char code[8];
    snprintf(code, sizeof code, "%04x", e.code);
    std::string what = (e.never ? "no request " : "a request ") + std::string(code);
    if (!e.anyPayload) {
        what += " with payload " + PayloadHex(e.payload);
    }
    if (e.withinMs > 0) {
        char within[48];
        snprintf(within, sizeof within, " within %g ms", e.withinMs);
        what += within;
    }
    return what;
}

}  // namespace

ScenarioPlayer::ScenarioPlayer(const Scenario& scenario, double startSeconds)
    : m_scenario(scenario), m_state(scenario.state), m_start(-1), m_requests(0) {
    m_nextAt.assign(m_scenario.frames.size(), -1);
    m_tracked.assign(m_scenario.expectations.size(), Tracked{-1, 0});
    if (startSeconds >= 0) {
        StartAt(startSeconds);
    }
}

void ScenarioPlayer::StartAt(double startSeconds) {
    m_start = startSeconds;
    for (size_t i = 0; i < m_scenario.frames.size(); ++i) {
        const ScenarioFrame& frame = m_scenario.frames[i];
        m_nextAt[i] = frame.everyMs > 0 ? startSeconds + frame.everyMs / 1000.0
                      : frame.atMs >= 0 ? startSeconds + frame.atMs / 1000.0
                                        : -1;
    }
}

void ScenarioPlayer::Request(const unsigned char* frame, size_t length, double at) {
    const unsigned short code = mcucom::FrameCmdCode(frame);
    const unsigned char* payload = frame + mcucom::FRAME_HEADER_SIZE;
    const size_t payloadLen = length > mcucom::FRAME_MIN_SIZE ? length - mcucom::FRAME_MIN_SIZE : 0;
    for (size_t i = 0; i < m_scenario.expectations.size(); ++i) {
        const ScenarioExpectation& e = m_scenario.expectations[i];
        if (e.code == code &&
            (e.anyPayload ||
             e.payload == std::string(reinterpret_cast<const char*>(payload), payloadLen))) {
            Tracked& tracked = m_tracked[i];
            tracked.firstAt = tracked.count == 0 ? at : tracked.firstAt;
            ++tracked.count;
        }
    }

    const std::map<unsigned short, ScenarioCommand>::const_iterator command =
        m_scenario.commands.find(code);
    if (command == m_scenario.commands.end()) {
        return;
    }
    for (const auto& set : command->second.sets) {
        ScenarioState& state = m_state[set.first];
        if (static_cast<size_t>(set.second) + static_cast<size_t>(state.bytes) > payloadLen) {
            continue;  // a payload too short to hold the value leaves the state as it was
        }
        uint64_t value = 0;
        for (int i = 0; i < state.bytes; ++i) {
            const unsigned char byte =
                payload[set.second + (state.littleEndian ? state.bytes - 1 - i : i)];
            value = (value << 8) | byte;
        }
        state.value = value;
    }
}

bool ScenarioPlayer::Answers(unsigned short code) const {
    const std::map<unsigned short, ScenarioCommand>::const_iterator command =
        m_scenario.commands.find(code);
    return command != m_scenario.commands.end() && !command->second.answers.empty();
}

AnswerPlan ScenarioPlayer::NextAnswer(unsigned short code) {
    const ScenarioCommand& command = m_scenario.commands.at(code);
    size_t& given = m_answered[code];
    const ScenarioAnswer& answer =
        command.answers[given < command.answers.size() ? given : command.answers.size() - 1];
    ++given;
    AnswerPlan plan;
    plan.none = answer.none;
    plan.result = answer.result;
    plan.extra = LayOutPayload(answer.payload, m_state);
    plan.delayMs = answer.delayMs;
    plan.drop = command.drop;
    plan.corrupt = command.corrupt;
    plan.duplicate = command.duplicate;
    plan.lateMs = command.lateMs;
    plan.againMs = answer.againMs;
    return plan;
}

void ScenarioPlayer::FramesAfter(const unsigned char* frame, double requestAt) {
    const unsigned short code = mcucom::FrameCmdCode(frame);
    const bool request = mcucom::FrameAckBit(frame[5]) != 0;
    m_requests += request ? 1 : 0;
    for (const ScenarioFrame& after : m_scenario.frames) {
        if (request && after.afterRequest == m_requests) {
            m_pending.push_back(DueFrame{after.code, after.flag,
                                         LayOutPayload(after.payload, m_state),
                                         requestAt + after.delayMs / 1000.0});
        }
    }
    for (const ScenarioFrame& frame : m_scenario.frames) {
        if (frame.after == code) {
            m_pending.push_back(DueFrame{frame.code, frame.flag, std::string(),
                                         requestAt + frame.delayMs / 1000.0});
            m_pending.back().payload = LayOutPayload(frame.payload, m_state);
        }
    }
}

void ScenarioPlayer::DueFrames(double now, std::vector<DueFrame>* due) {
    for (size_t i = 0; i < m_scenario.frames.size(); ++i) {
        const ScenarioFrame& frame = m_scenario.frames[i];
        if (m_nextAt[i] < 0 || m_nextAt[i] > now) {
            continue;
        }
        due->push_back(
            DueFrame{frame.code, frame.flag, LayOutPayload(frame.payload, m_state), m_nextAt[i]});
        // Keeps the cadence, unless the thread has fallen a whole period behind.
        const double period = frame.everyMs / 1000.0;
        m_nextAt[i] = frame.everyMs <= 0           ? -1
                      : m_nextAt[i] + period > now ? m_nextAt[i] + period
                                                   : now + period;
    }
    std::vector<DueFrame> later;
    for (const DueFrame& frame : m_pending) {
        (frame.due <= now ? *due : later).push_back(frame);
    }
    m_pending.swap(later);
}

double ScenarioPlayer::NextFrameAt() const {
    double next = 0;
    for (double at : m_nextAt) {
        next = at >= 0 && (next == 0 || at < next) ? at : next;
    }
    for (const DueFrame& frame : m_pending) {
        next = next == 0 || frame.due < next ? frame.due : next;
    }
    return next;
}

std::vector<UnmetExpectation> ScenarioPlayer::Verdict(double endSeconds) const {
    std::vector<UnmetExpectation> unmet;
    for (size_t i = 0; i < m_scenario.expectations.size(); ++i) {
        const ScenarioExpectation& e = m_scenario.expectations[i];
        const Tracked& tracked = m_tracked[i];
        const double limit = e.withinMs > 0 ? m_start + e.withinMs / 1000.0 : endSeconds;
        bool met;
        std::string what = Describe(e);
        if (e.never) {
            met = tracked.count == 0 || tracked.firstAt > limit;
            if (!met) {
                what += ": " + std::to_string(tracked.count) + " came";
            }
        } else {
            met = tracked.count > 0 && tracked.firstAt <= limit;
            if (!met && tracked.count > 0) {
                char when[64];
                snprintf(when, sizeof when, ": the first came after %.0f ms",
                         (tracked.firstAt - m_start) * 1000);
                what += when;
            } else if (!met) {
                what += ": none came";
            }
        }
        if (!met) {
            unmet.push_back(UnmetExpectation{what, e.line});
        }
    }
    return unmet;
}
