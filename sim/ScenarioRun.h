// SPDX-License-Identifier: MIT
// A run of mcusim with its scenario files: the scenario played (--scenario), what the line
// carried recorded as a scenario (--record), and the expectations judged when the run ends,
// each unmet one said, and written as a JUnit XML report (--junit).
#ifndef SIM_SCENARIORUN_H
#define SIM_SCENARIORUN_H

#include <memory>
#include <string>
#include <vector>

#include "sim/McuSimulator.h"
#include "sim/OutputFile.h"
#include "sim/Scenario.h"
#include "sim/ScenarioPlayer.h"
#include "sim/ScenarioRecorder.h"

struct ScenarioFiles {
    ScenarioFiles() : scenario(NULL), record(NULL), junit(NULL) {}
    const char* scenario;
    const char* record;
    const char* junit;
};

// mcusim's statuses that a scenario run gives.
const int kSimUsageStatus = 2;        // a scenario that cannot be read, options that clash
const int kSimSetupStatus = 125;      // a file that cannot be opened for writing
const int kSimWriteFailedStatus = 1;  // a recording or report that could not be written
const int kSimUnmetStatus = 6;  // the run went well, but the scenario's expectations were not met

class ScenarioRun {
  public:
    // 0, or after saying why, the status of a scenario that cannot be read or a file that
    // cannot be written. Times count from `start`: the run's, 0 for a capture, whose times
    // count from its first byte, or below 0 for a served line, whose times count from the
    // program's first byte. The player and the recorder go into the options (the
    // recorder also into *recorder).
    int Prepare(const ScenarioFiles& files, double start, SimOptions* options,
                ScenarioRecorder** recorder);

    // The run's status: the expectations judged and the files written, when the run took
    // place (ran); a file that could not be written fails a run that went well.
    int Finish(int status, const std::string& source, bool ran = true);

  private:
    bool WriteJunit(const std::vector<UnmetExpectation>& unmet);

    ScenarioFiles m_files;
    Scenario m_scenario;
    std::unique_ptr<ScenarioPlayer> m_player;
    std::unique_ptr<ScenarioRecorder> m_recorder;
    OutputFile m_record;
    OutputFile m_junit;
    bool m_capture = false;
};

#endif  // SIM_SCENARIORUN_H
