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
    : m_start(startSeconds), m_requestCount(0), m_lastRequestAt(0), m_timed(true) {}

void ScenarioRecorder::Request(const unsigned char* frame, size_t length, double at) {
    (void)length;
    ++m_requestCount;
    m_lastRequestAt = at;
    m_requests[mcucom::FrameCmdCode(frame)].push_back(SeenRequest{frame[4], at, false, Answer()});
}

// The newest request of the frame's code that the frame acknowledges gets it as its answer, or,
// answered already, as a copy of its answer.
bool ScenarioRecorder::AnswersARequest(const unsigned char* frame, size_t length, double at) {
    const unsigned short code = mcucom::FrameCmdCode(frame);
    const std::map<unsigned short, std::vector<SeenRequest>>::iterator found =
        m_requests.find(code);
    if (found == m_requests.end()) {
        return false;
    }
    std::vector<SeenRequest>& requests = found->second;
    for (std::vector<SeenRequest>::reverse_iterator it = requests.rbegin(); it != requests.rend();
         ++it) {
        if (!mcucom::FrameAnswers(reinterpret_cast<const __ComFrameData*>(frame), htons(code),
                                  it->serial)) {
            continue;
        }
        const double afterMs = at > it->at ? (at - it->at) * 1000 : 0;
        if (it->answered) {
            it->answer.againMs.push_back(afterMs);
            return true;
        }
        const std::string payload = PayloadOf(frame, length);
        const size_t rest = mcucom::ANSWER_RESULT_AT + 1;
        it->answered = true;
        it->answer.result = mcucom::FrameAnswerResult(frame);
        it->answer.extra = payload.size() > rest ? payload.substr(rest) : std::string();
        it->answer.delayMs = afterMs;
        return true;
    }
    return false;
}

void ScenarioRecorder::Sent(const unsigned char* frame, size_t length, double at) {
    if (AnswersARequest(frame, length, at)) {
        return;
    }
    const double from = m_requestCount > 0 ? m_lastRequestAt : m_start;
    m_frames.push_back(Own{mcucom::FrameCmdCode(frame), frame[5], PayloadOf(frame, length),
                           m_requestCount, at > from ? (at - from) * 1000 : 0});
}

void ScenarioRecorder::Frame(const unsigned char* frame, size_t length, double firstByteAt,
                             double lastByteAt) {
    if (mcucom::FrameAckBit(frame[5]) != 0) {
        Request(frame, length, lastByteAt);
    } else {
        Sent(frame, length, firstByteAt);
    }
}

void ScenarioRecorder::WriteAnswer(FILE* out, const SeenRequest& request) const {
    const Answer& answer = request.answer;
    if (!request.answered) {
        fprintf(out, "      - none\n");
        return;
    }
    fprintf(out, "      - {result: 0x%02x, payload: \"%s\"", answer.result,
            PayloadHex(answer.extra).c_str());
    if (m_timed) {
        fprintf(out, ", delay_ms: %.3f", answer.delayMs);
    }
    for (size_t i = 0; i < answer.againMs.size(); ++i) {
        fprintf(out, i == 0 ? ", again_ms: [%.3f" : ", %.3f", m_timed ? answer.againMs[i] : 0.0);
    }
    fprintf(out, "%s}\n", answer.againMs.empty() ? "" : "]");
}

void ScenarioRecorder::WriteOwn(FILE* out, const Own& frame) const {
    fprintf(out, "  - {code: 0x%04x, flag: 0x%02x, payload: \"%s\", ", frame.code, frame.flag,
            PayloadHex(frame.payload).c_str());
    if (frame.afterRequest > 0 && m_timed) {
        fprintf(out, "after_request: %lu, delay_ms: %.3f}\n", frame.afterRequest, frame.atMs);
    } else if (frame.afterRequest > 0) {
        fprintf(out, "after_request: %lu}\n", frame.afterRequest);
    } else {
        fprintf(out, "at_ms: %.3f}\n", m_timed ? frame.atMs : 0.0);
    }
}

void ScenarioRecorder::Write(FILE* out, const std::string& source) {
    fprintf(out, "# Recorded by mcusim from %s: %lu requests, %lu frames of the MCU's own.\n",
            source.c_str(), m_requestCount, static_cast<unsigned long>(m_frames.size()));
    fprintf(out,
            "# Replayed, each code's requests get these answers in turn, the last repeated, and "
            "the\n# MCU's own frames follow the requests they followed, whatever the serial "
            "numbers.\n");
    if (!m_timed) {
        fprintf(out,
                "# From a recording, whose bytes carry no times: the answers and their copies "
                "come\n# without delay, the MCU's own frames right after the request they "
                "followed.\n");
    }
    if (!m_requests.empty()) {
        fprintf(out, "commands:\n");
    }
    for (const auto& code : m_requests) {
        fprintf(out, "  0x%04x:\n    answers:\n", code.first);
        for (const SeenRequest& request : code.second) {
            WriteAnswer(out, request);
        }
    }
    if (!m_frames.empty()) {
        fprintf(out, "frames:\n");
    }
    for (const Own& frame : m_frames) {
        WriteOwn(out, frame);
    }
}
