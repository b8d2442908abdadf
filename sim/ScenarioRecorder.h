// SPDX-License-Identifier: MIT
// Writes what a line carried as a scenario that answers the same way, in terms of the requests
// the MCU saw rather than the serial numbers of one run: for each code, the answers its
// requests got, in turn (none for a request nobody answered), each with how long after the
// request it came, and when copies of it came again; and the frames the MCU sent of its own
// accord, each after the run's request it followed (or, before any, at its time from the
// start). A program that starts from another serial number gets the same answers, copies,
// late answers and frames back. Fed with the frames in time order, from the simulator as it
// serves, or from a decoded capture of a real line, where a frame with the ackBit is a request
// and a frame of its code that acknowledges a request's serial number answers it (the first
// time) or copies its answer (after).
#ifndef SIM_SCENARIORECORDER_H
#define SIM_SCENARIORECORDER_H

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

class ScenarioRecorder {
  public:
    // Times count from startSeconds; from StartAt's, for a start below 0 (a served line).
    explicit ScenarioRecorder(double startSeconds);
    void StartAt(double startSeconds) { m_start = startSeconds; }
    bool started() const { return m_start >= 0; }

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
        unsigned char result;
        std::string extra;
        double delayMs;
        std::vector<double> againMs;
    };
    struct SeenRequest {
        unsigned char serial;
        double at;
        bool answered;
        Answer answer;
    };
    struct Own {
        unsigned short code;
        unsigned char flag;
        std::string payload;
        unsigned long afterRequest;  // 0: before any request, at atMs from the start
        double atMs;                 // from the start, or from the request it followed
    };

    bool AnswersARequest(const unsigned char* frame, size_t length, double at);
    void WriteAnswer(FILE* out, const SeenRequest& request) const;
    void WriteOwn(FILE* out, const Own& frame) const;

    double m_start;
    std::map<unsigned short, std::vector<SeenRequest>> m_requests;  // by code, in order
    std::vector<Own> m_frames;
    unsigned long m_requestCount;
    double m_lastRequestAt;
    bool m_timed;
};

#endif  // SIM_SCENARIORECORDER_H
