// SPDX-License-Identifier: MIT
#include "sim/ScenarioRun.h"

#include <stdio.h>

#include "common/Clock.h"

namespace {

std::string XmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '&'   ? "&amp;"
               : c == '<' ? "&lt;"
               : c == '>' ? "&gt;"
               : c == '"' ? "&quot;"
                          : std::string(1, c);
    }
    return out;
}

// The scenario file read, where this mcusim reads them (it was built with yaml-cpp).
bool ReadScenario(const char* path, Scenario* scenario, std::string* error) {
#ifdef HDDPOWER_SCENARIO_FILES
    return LoadScenario(path, scenario, error);
#else
    (void)scenario;
    *error = std::string(path) +
             ": this mcusim reads no scenario files (it was built without "
             "yaml-cpp)";
    return false;
#endif
}

}  // namespace

int ScenarioRun::Prepare(const ScenarioFiles& files, double start, SimOptions* options,
                         ScenarioRecorder** recorder) {
    m_files = files;
    m_capture = start == 0;
    if (files.scenario != NULL) {
        std::string error;
        if (!ReadScenario(files.scenario, &m_scenario, &error)) {
            fprintf(stderr, "mcusim: %s\n", error.c_str());
            return kSimUsageStatus;
        }
        m_player.reset(new ScenarioPlayer(m_scenario, start));
        options->player = m_player.get();
        if (m_scenario.hangupAfter > 0 && options->hangupAfter == 0) {
            options->hangupAfter = m_scenario.hangupAfter;
            options->hangupMs = m_scenario.hangupMs;
        }
    } else if (files.junit != NULL) {
        fprintf(stderr, "mcusim: --junit reports a scenario's expectations: give --scenario\n");
        return kSimUsageStatus;
    }
    if ((files.record != NULL && !m_record.Open(files.record)) ||
        (files.junit != NULL && !m_junit.Open(files.junit))) {
        m_record.Abandon();
        return kSimSetupStatus;
    }
    if (files.record != NULL) {
        m_recorder.reset(new ScenarioRecorder(start));
        options->recorder = m_recorder.get();
        *recorder = m_recorder.get();
    }
    return 0;
}

int ScenarioRun::Finish(int status, const std::string& source, bool ran) {
    if (!ran) {
        m_record.Abandon();
        m_junit.Abandon();
        return status;
    }
    bool written = true;
    if (m_recorder) {
        written = m_record.Write([this, &source](FILE* out) { m_recorder->Write(out, source); });
    }
    if (m_player) {
        // A capture's requests are all before its end, whenever that was.
        const std::vector<UnmetExpectation> unmet =
            m_player->Verdict(m_capture ? 1e300 : mcucom::MonotonicSeconds());
        for (const UnmetExpectation& u : unmet) {
            fprintf(stderr, "mcusim: expectation not met: %s:%d: %s\n", m_files.scenario, u.line,
                    u.what.c_str());
        }
        written = (m_files.junit == NULL || WriteJunit(unmet)) && written;
        status = status == 0 && !unmet.empty() ? kSimUnmetStatus : status;
    }
    return status == 0 && !written ? kSimWriteFailedStatus : status;
}

bool ScenarioRun::WriteJunit(const std::vector<UnmetExpectation>& unmet) {
    return m_junit.Write([this, &unmet](FILE* out) {
        const std::vector<ScenarioExpectation>& all = m_scenario.expectations;
        fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n");
        fprintf(out, "  <testsuite name=\"%s\" tests=\"%lu\" failures=\"%lu\">\n",
                XmlText(std::string("mcusim scenario ") + m_files.scenario).c_str(),
                static_cast<unsigned long>(all.size()), static_cast<unsigned long>(unmet.size()));
        for (const ScenarioExpectation& e : all) {
            const UnmetExpectation* failed = NULL;
            for (const UnmetExpectation& u : unmet) {
                failed = u.line == e.line ? &u : failed;
            }
            fprintf(out, "    <testcase classname=\"scenario\" name=\"%s:%d\"",
                    XmlText(m_files.scenario).c_str(), e.line);
            if (failed == NULL) {
                fprintf(out, "/>\n");
            } else {
                fprintf(out, ">\n      <failure message=\"%s\"/>\n    </testcase>\n",
                        XmlText(failed->what).c_str());
            }
        }
        fprintf(out, "  </testsuite>\n</testsuites>\n");
    });
}
