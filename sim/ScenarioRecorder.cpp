// SPDX-License-Identifier: MIT
#include "sim/ScenarioRecorder.h"

#include <arpa/inet.h>

#include "common/AckMatch.h"
#include "common/ComFrame.h"
#include "sim/Scenario.h"

namespace {

std::string PayloadOf(const unsigned char* frame, size_t length) {
    return length > static_cast<size_t>(mcucom::FRAME_MIN_SIZE)
               ? std::string(reinterpret_cast<const char*>(frame) + mcucom::FRAME_HEADER_SIZE,
                             length - mcucom::FRAME_MIN_SIZE)
               : std::string();
}

}  // namespace

ScenarioRecorder::ScenarioRecorder(double startSeconds)
    : m_start(startSeconds), m_requests(0), m_timed(true) {}

void ScenarioRecorder::Request(const unsigned char* frame, size_t length, double at) {
    (void)length;
    const unsigned short code = mcucom::FrameCmdCode(frame);
    ++m_requests;
    // A request still waiting when the next of its code comes was never answered.
    if (m_pending.count(code) != 0) {
        m_answers[code].push_back(Answer{true, 0, std::string(), 0});
    }
    m_pending[code] = Pending{frame[4], at};
}

void ScenarioRecorder::Sent(const unsigned char* frame, size_t length, double at) {
    const unsigned short code = mcucom::FrameCmdCode(frame);
    const std::string payload = PayloadOf(frame, length);
    const std::map<unsigned short, Pending>::iterator pending = m_pending.find(code);
    if (pending != m_pending.end() &&
        mcucom::FrameAnswers(reinterpret_cast<const __ComFrameData*>(frame), htons(code),
                             pending->second.serial)) {
        const double delayMs = (at - pending->second.at) * 1000;
        const size_t rest = mcucom::ANSWER_RESULT_AT + 1;
        m_answers[code].push_back(
            Answer{false, mcucom::FrameAnswerResult(frame),
                   payload.size() > rest ? payload.substr(rest) : std::string(),
                   delayMs > 0 ? delayMs : 0});
        m_pending.erase(pending);
        return;
    }
    m_frames.push_back(Own{code, frame[5], payload, (at - m_start) * 1000});
}

void ScenarioRecorder::Frame(const unsigned char* frame, size_t length, double firstByteAt,
                             double lastByteAt) {
    if (mcucom::FrameAckBit(frame[5]) != 0) {
        Request(frame, length, lastByteAt);
    } else {
        Sent(frame, length, firstByteAt);
    }
}

void ScenarioRecorder::Write(FILE* out, const std::string& source) {
    for (const auto& pending : m_pending) {
        m_answers[pending.first].push_back(Answer{true, 0, std::string(), 0});
    }
    m_pending.clear();
    fprintf(out, "# Recorded by mcusim from %s: %lu requests, %lu frames of the MCU's own.\n",
            source.c_str(), m_requests, static_cast<unsigned long>(m_frames.size()));
    fprintf(out,
            "# Replayed, each code's requests get these answers in turn, the last repeated.\n");
    if (!m_timed) {
        fprintf(out,
                "# From a recording, whose bytes carry no times: the answers come without "
                "delay.\n");
    }
    if (!m_answers.empty()) {
        fprintf(out, "commands:\n");
    }
    for (const auto& code : m_answers) {
        fprintf(out, "  0x%04x:\n    answers:\n", code.first);
        for (const Answer& answer : code.second) {
            if (answer.none) {
                fprintf(out, "      - none\n");
            } else if (m_timed) {
                fprintf(out, "      - {result: 0x%02x, payload: \"%s\", delay_ms: %.3f}\n",
                        answer.result, PayloadHex(answer.extra).c_str(), answer.delayMs);
            } else {
                fprintf(out, "      - {result: 0x%02x, payload: \"%s\"}\n", answer.result,
                        PayloadHex(answer.extra).c_str());
            }
        }
    }
    if (!m_frames.empty()) {
        fprintf(out, m_timed
                         ? "frames:\n"
                         : "# The MCU's own frames, in the order they came; give each its time:\n"
                           "# frames:\n");
    }
    for (const Own& frame : m_frames) {
        fprintf(out,
                "%s  - {code: 0x%04x, flag: 0x%02x, payload: \"%s\", at_ms: ", m_timed ? "" : "#",
                frame.code, frame.flag, PayloadHex(frame.payload).c_str());
        if (m_timed) {
            fprintf(out, "%.3f}\n", frame.atMs);
        } else {
            fprintf(out, "?}\n");
        }
    }
}
