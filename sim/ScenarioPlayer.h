// SPDX-License-Identifier: MIT
// A scenario played by the simulated MCU: the state the requests change, the answer each
// request of a named code gets in turn, the frames the MCU sends of its own accord when they
// are due, and the expectations, followed as the requests come and judged when the run ends.
// Used by the simulator's thread alone; the verdict is read once the simulator has stopped.
#ifndef SIM_SCENARIOPLAYER_H
#define SIM_SCENARIOPLAYER_H

#include <map>
#include <string>
#include <vector>

#include "sim/Scenario.h"

// What the MCU answers a request with: the simulator's options make one for every code, a
// scenario for the codes it names.
struct AnswerPlan {
    bool none;
    unsigned char result;
    std::string extra;  // payload after the acknowledged serial number and the result
    double delayMs;
    double drop, corrupt, duplicate;
    double lateMs;                // > 0: the answer comes this much later
    std::vector<double> againMs;  // copies of the answer, each this long after the request
};

struct DueFrame {
    unsigned short code;
    unsigned char flag;
    std::string payload;
    double due;  // monotonic seconds
};

// An expectation the run did not meet, in words, with the line of the file that asks it.
struct UnmetExpectation {
    std::string what;
    int line;
};

class ScenarioPlayer {
  public:
    // Times count from startSeconds; from StartAt's, for a start below 0 (a served line,
    // whose times count from the program's first byte).
    ScenarioPlayer(const Scenario& scenario, double startSeconds);
    void StartAt(double startSeconds);
    bool started() const { return m_start >= 0; }

    // A request came: its payload changes the state, and the expectations take note.
    void Request(const unsigned char* frame, size_t length, double at);
    // Whether the scenario says how requests of this code are answered.
    bool Answers(unsigned short code) const;
    // The next answer to a request of a code the scenario names.
    AnswerPlan NextAnswer(unsigned short code);
    // Frames due by now, each once. The frames that follow a frame received (after each of its
    // code, or after the run's n-th request) are due from the time given.
    void DueFrames(double now, std::vector<DueFrame>* due);
    void FramesAfter(const unsigned char* frame, double requestAt);
    double NextFrameAt() const;  // 0: none pending

    // The expectations the run did not meet, judged at its end.
    std::vector<UnmetExpectation> Verdict(double endSeconds) const;
    const Scenario& scenario() const { return m_scenario; }

  private:
    struct Tracked {
        double firstAt;  // < 0: none yet
        int count;
    };

    Scenario m_scenario;
    std::map<std::string, ScenarioState> m_state;
    std::map<unsigned short, size_t> m_answered;  // answers given so far, per code
    double m_start;
    long m_requests;                  // requests so far: frames whose flag asks for an answer
    std::vector<double> m_nextAt;     // per frame of the scenario: when it is next due (< 0: never)
    std::vector<DueFrame> m_pending;  // frames after requests, not yet due
    std::vector<Tracked> m_tracked;   // per expectation
};

#endif  // SIM_SCENARIOPLAYER_H
