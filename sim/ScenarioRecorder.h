// SPDX-License-Identifier: MIT
// Writes what a line carried as a scenario that answers the same way: for each code, the
// answers its requests got, in turn (none for a request nobody answered), with how long after
// the request each came; and the frames the MCU sent of its own accord, at their times. Fed
// with the frames in time order, from the simulator as it serves, or from a decoded capture
// of a real line, where a frame with the ackBit is a request and a frame of its code that
// acknowledges its serial number is its answer.
#ifndef SIM_SCENARIORECORDER_H
#define SIM_SCENARIORECORDER_H

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

class ScenarioRecorder {
  public:
    explicit ScenarioRecorder(double startSeconds);

    // A request the MCU received whole at `at` (monotonic seconds).
    void Request(const unsigned char* frame, size_t length, double at);
    // A frame the MCU sent, starting at `at`: an answer, or a frame of its own.
    void Sent(const unsigned char* frame, size_t length, double at);
    // Either, by the frame's ackBit: for a capture, whose frames come from both sides. A
    // request is timed by its last byte (when the MCU had it whole), a sent frame by its first.
    void Frame(const unsigned char* frame, size_t length, double firstByteAt, double lastByteAt);
    // The times given are not the line's (a recording read from a file or a pipe): the answers
    // are written without delays, and the MCU's own frames as a commented list, in their
    // order, for the reader to time.
    void TimesUnknown() { m_timed = false; }

    // The scenario, with a first line saying where it came from.
    void Write(FILE* out, const std::string& source);

  private:
    struct Answer {
        bool none;
        unsigned char result;
        std::string extra;
        double delayMs;
    };
    struct Pending {
        unsigned char serial;
        double at;
    };
    struct Own {
        unsigned short code;
        unsigned char flag;
        std::string payload;
        double atMs;
    };

    double m_start;
    std::map<unsigned short, std::vector<Answer>> m_answers;
    std::map<unsigned short, Pending> m_pending;
    std::vector<Own> m_frames;
    unsigned long m_requests;
    bool m_timed;
};

#endif  // SIM_SCENARIORECORDER_H
