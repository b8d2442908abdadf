// SPDX-License-Identifier: MIT
#include "sim/McuSimulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "common/Clock.h"
#include "common/CmdTable.h"
#include "common/ComFrame.h"
#include "receiver/FrameStreamScanner.h"
#include "sim/TrafficReport.h"

namespace {

const int kStopPollMs = 10;  // the longest the thread sleeps before it looks at Stop()
const size_t kReadChunk = 4096;
const unsigned char kAnswerFlag = 0x01;
const size_t kLineQueueMax = 1 << 20;  // bytes the board side has not read yet
const int kFinalReadsMax = 256;        // chunks read after the command has ended
const double kFinishSecondsMax = 0.5;  // the longest a stop waits for a begun item to end
const double kIdleFlushSeconds = mcucom::FRAME_STREAM_QUIET_US / 1e6;
// A paced line hands its bytes to the board side in bursts of up to this many, each once the
// wire has carried it, as a UART's driver does when its receive FIFO reaches its threshold.
const size_t kPacedBurst = 8;
// A paced line's thread wakes this long before a byte falls due and then watches the clock:
// a timer wakes a thread some tens of microseconds late, a good part of a byte's 87 us.
const double kPacedSpinSeconds = 100e-6;

DecodedItem AsItem(const std::string& bytes) {
    DecodedItem item;
    item.kind = DecodedItem::kFrame;
    item.bytes.assign(bytes.begin(), bytes.end());
    item.offset = 0;
    item.head = mcucom::kFrameNoHead;
    return item;
}

}  // namespace

std::string BuildMcuFrame(unsigned char serial, unsigned char flag, unsigned short cmd,
                          const std::string& payload) {
    std::string frame(payload.size() + mcucom::FRAME_MIN_SIZE, '\0');
    mcucom::LayOutFrame(reinterpret_cast<unsigned char*>(&frame[0]), serial, flag, cmd,
                        reinterpret_cast<const unsigned char*>(payload.data()),
                        static_cast<int>(payload.size()));
    return frame;
}

SimOptions::SimOptions()
    : answer(true),
      delayMs(0),
      result(0),
      resultSeq(false),
      noiseMax(0),
      falseHeads(false),
      split(false),
      corrupt(0),
      lateEvery(0),
      lateMs(500),
      drop(0),
      duplicate(0),
      unaskedCode(-1),
      unaskedEveryMs(200),
      unaskedLen(2),
      hangupAfter(0),
      hangupMs(1000),
      seed(1),
      keepReceived(100000),
      baud(0),
      player(NULL),
      recorder(NULL) {}

McuSimulator::McuSimulator(int masterFd, LogSink log, const SimOptions& options)
    : m_master(masterFd),
      m_log(std::move(log)),
      m_options(options),
      m_lineBytes(0),
      m_lineBlocked(false),
      m_lastByteAt(0),
      m_byteSeconds(options.baud > 0 ? 10.0 / options.baud : 0),
      m_rxFreeAt(0),
      m_txFreeAt(0),
      m_random(options.seed != 0 ? options.seed : 1),
      m_serial(0),
      m_answersScheduled(0),
      m_nextUnasked(0),
      m_player(options.player),
      m_recorder(options.recorder) {
    memset(&m_stats, 0, sizeof m_stats);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

McuSimulator::~McuSimulator() {
    Stop();
}

bool McuSimulator::Start() {
    if (m_thread.running()) {
        return false;
    }
    m_nextUnasked = mcucom::MonotonicSeconds() + m_options.unaskedEveryMs / 1000.0;
    return m_thread.Start([this] { Run(); });
}

void McuSimulator::Stop() {
    if (!m_thread.running()) {
        return;
    }
    m_thread.Stop();
    FinishItemOnTheWire();
    for (int i = 0; i < kFinalReadsMax && ReadOnce(0.0); ++i) {
    }
    DeliverArrived(m_rxFreeAt);  // the wire's last bytes, wherever they were
    std::vector<DecodedItem> items;
    m_decoder.Flush(&items);
    Handle(items);
}

std::vector<DecodedItem> McuSimulator::Received() {
    MutexLockGuard guard(m_mutex);
    return std::vector<DecodedItem>(m_received.begin(), m_received.end());
}

SimStats McuSimulator::stats() {
    MutexLockGuard guard(m_mutex);
    return m_stats;
}

void McuSimulator::Count(unsigned long SimStats::*counter) {
    MutexLockGuard guard(m_mutex);
    ++(m_stats.*counter);
}

void McuSimulator::Run() {
    // A paced line wakes this thread once a byte or so: the kernel's default slack of 50 us on
    // each sleep would add up to a good part of a byte's time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!m_thread.stopping()) {
        const double now = mcucom::MonotonicSeconds();
        DeliverArrived(now);
        ScheduleUnasked(now);
        ScheduleScenarioFrames(now);
        MoveDueToLine(now);
        WriteLine(now);
        if (!ReadOnce(SleepBeforeNextEvent(mcucom::MonotonicSeconds()))) {
            FlushIfQuiet(mcucom::MonotonicSeconds());
        }
    }
}

// When the next byte goes to the board side: an answer or piece falls due, or the line's
// front item has its next burst on the wire; never later than `limit`.
double McuSimulator::NextWriteAt(double limit) const {
    double next = limit;
    for (size_t i = 0; i < m_outgoing.size(); ++i) {
        next = m_outgoing[i].due < next ? m_outgoing[i].due : next;
    }
    if (!m_line.empty() && !m_lineBlocked) {
        const Outgoing& front = m_line.front();
        const double ready =
            m_byteSeconds > 0
                ? NextByteStart(front) + static_cast<double>(BurstBytes(front)) * m_byteSeconds
                : front.nextPieceAt;
        next = ready < next ? ready : next;
    }
    return next;
}

// When anything else happens: a byte reaches the MCU, the next unasked frame, or the moment a
// held frame is given up; never later than `limit`.
double McuSimulator::NextOtherEventAt(double limit) const {
    double next = limit;
    if (!m_arriving.empty() && m_arriving.front().at < next) {
        next = m_arriving.front().at;
    }
    const double frameAt = m_player ? m_player->NextFrameAt() : 0;
    if (frameAt > 0 && frameAt < next) {
        next = frameAt;
    }
    if (m_options.unaskedCode >= 0 && m_nextUnasked < next) {
        next = m_nextUnasked;
    }
    if (m_decoder.pending() > 0 && m_lastByteAt + kIdleFlushSeconds < next) {
        next = m_lastByteAt + kIdleFlushSeconds;
    }
    return next;
}

// How long to wait for bytes before the next event, never longer than kStopPollMs, so that
// Stop() is seen. On a paced line the thread wakes a little before a write falls due and
// watches the clock from there; the bytes reaching the MCU need no such care, as each carries
// its own time.
double McuSimulator::SleepBeforeNextEvent(double now) const {
    const double limit = now + kStopPollMs / 1000.0;
    double writeAt = NextWriteAt(limit);
    if (m_byteSeconds > 0 && writeAt < limit) {
        writeAt = writeAt - kPacedSpinSeconds > now ? writeAt - kPacedSpinSeconds : now;
    }
    const double otherAt = NextOtherEventAt(limit);
    const double next = writeAt < otherAt ? writeAt : otherAt;
    return next > now ? next - now : 0;
}

// One wait for bytes from the board side (and, while the line is full, for room on it);
// true when bytes were read.
bool McuSimulator::ReadOnce(double waitSeconds) {
    struct pollfd pfd;
    pfd.fd = m_master;
    pfd.events = static_cast<short>(POLLIN | (m_lineBlocked ? POLLOUT : 0));
    pfd.revents = 0;
    struct timespec wait;
    wait.tv_sec = static_cast<time_t>(waitSeconds);
    wait.tv_nsec = static_cast<long>((waitSeconds - static_cast<double>(wait.tv_sec)) * 1e9);
    const int ready = ppoll(&pfd, 1, &wait, NULL);
    if (ready > 0 && (pfd.revents & POLLIN) == 0 && (pfd.revents & POLLOUT) == 0) {
        nanosleep(&wait, NULL);  // hung up: nothing to wait for
    }
    if (ready <= 0 || (pfd.revents & POLLIN) == 0) {
        return false;
    }
    unsigned char chunk[kReadChunk];
    const ssize_t got = read(m_master, chunk, sizeof chunk);
    if (got <= 0) {
        return false;
    }
    Receive(chunk, static_cast<size_t>(got), mcucom::MonotonicSeconds());
    return true;
}

// What the board side wrote crosses the wire: at once unpaced, else each byte one byte time
// after the one before, from when it was written (read here). The dump draws each byte where
// the wire carries it.
void McuSimulator::Receive(const unsigned char* bytes, size_t count, double readAt) {
    // On a served line the scenario's times count from the program's first byte.
    if (m_player != NULL && !m_player->started()) {
        m_player->StartAt(readAt);
    }
    if (m_recorder != NULL && !m_recorder->started()) {
        m_recorder->StartAt(readAt);
    }
    if (m_byteSeconds == 0) {
        m_lastByteAt = readAt;
        if (m_observer) {
            m_observer(kHostToMcu, bytes, count, readAt);
        }
        std::vector<DecodedItem> items;
        m_decoder.Feed(bytes, count, &items);
        Handle(items);
        return;
    }
    const double start = m_rxFreeAt > readAt ? m_rxFreeAt : readAt;
    if (m_observer) {
        m_observer(kHostToMcu, bytes, count, start);
    }
    for (size_t i = 0; i < count; ++i) {
        m_arriving.push_back(
            Arriving{bytes[i], start + static_cast<double>(i + 1) * m_byteSeconds});
    }
    m_rxFreeAt = start + static_cast<double>(count) * m_byteSeconds;
}

// The bytes the wire has delivered by now reach the MCU's decoder.
void McuSimulator::DeliverArrived(double now) {
    std::vector<unsigned char> delivered;
    while (!m_arriving.empty() && m_arriving.front().at <= now) {
        delivered.push_back(m_arriving.front().byte);
        m_lastByteAt = m_arriving.front().at;
        m_arriving.pop_front();
    }
    if (!delivered.empty()) {
        std::vector<DecodedItem> items;
        m_decoder.Feed(delivered.data(), delivered.size(), &items);
        Handle(items);
    }
}

// A frame head whose frame has not come whole is given up once the line is quiet, as the
// module's receiver does.
void McuSimulator::FlushIfQuiet(double now) {
    if (m_decoder.pending() > 0 && now - m_lastByteAt >= kIdleFlushSeconds) {
        std::vector<DecodedItem> items;
        m_decoder.Flush(&items);
        Handle(items);
    }
}

void McuSimulator::Handle(const std::vector<DecodedItem>& items) {
    for (size_t i = 0; i < items.size(); ++i) {
        const DecodedItem& item = items[i];
        Log("received " + DescribeItem(item));
        {
            MutexLockGuard guard(m_mutex);
            if (m_options.keepReceived > 0) {
                if (m_received.size() >= m_options.keepReceived) {
                    m_received.pop_front();
                }
                m_received.push_back(item);
            }
            if (item.kind == DecodedItem::kFrame) {
                ++m_stats.framesReceived;
            }
        }
        if (item.kind != DecodedItem::kFrame) {
            continue;
        }
        const double at = m_byteSeconds > 0 ? m_lastByteAt : mcucom::MonotonicSeconds();
        if (m_player) {
            m_player->Request(item.bytes.data(), item.bytes.size(), at);
            m_player->FramesAfter(item.bytes.data(), at);
        }
        if (m_recorder && mcucom::FrameAckBit(item.bytes[5]) != 0) {
            m_recorder->Request(item.bytes.data(), item.bytes.size(), at);
        }
        if (mcucom::FrameAckBit(item.bytes[5]) != 0 && m_options.answer) {
            ScheduleAnswer(item);
        }
    }
}

// What the MCU answers with: as the scenario says for a code it names (the options' faults
// still apply, the larger of the two), else as the options say.
AnswerPlan McuSimulator::PlanAnswer(unsigned short code) {
    AnswerPlan plan;
    plan.none = false;
    // In sequence mode the n-th frame acknowledged carries n modulo 256, dropped answers
    // included, so that a script can tell each command's own answer from any other.
    plan.result =
        m_options.resultSeq ? static_cast<unsigned char>(m_answersScheduled) : m_options.result;
    plan.delayMs = m_options.delayMs;
    plan.drop = plan.corrupt = plan.duplicate = plan.lateMs = 0;
    if (m_player && m_player->Answers(code)) {
        plan = m_player->NextAnswer(code);
    }
    plan.drop = plan.drop > m_options.drop ? plan.drop : m_options.drop;
    plan.corrupt = plan.corrupt > m_options.corrupt ? plan.corrupt : m_options.corrupt;
    plan.duplicate = plan.duplicate > m_options.duplicate ? plan.duplicate : m_options.duplicate;
    if (m_options.lateEvery > 0 && m_answersScheduled % m_options.lateEvery == 0) {
        plan.lateMs = plan.lateMs > m_options.lateMs ? plan.lateMs : m_options.lateMs;
    }
    return plan;
}

void McuSimulator::ScheduleAnswer(const DecodedItem& frame) {
    ++m_answersScheduled;
    const AnswerPlan plan = PlanAnswer(mcucom::FrameCmdCode(frame.bytes.data()));
    if (plan.none) {
        Log("no answer to serial " + std::to_string(frame.bytes[4]) + " (the scenario's)");
        return;
    }
    if (plan.drop > 0 && Chance() < plan.drop) {
        Log("dropped the answer to serial " + std::to_string(frame.bytes[4]));
        Count(&SimStats::answersDropped);
        return;
    }
    const std::string payload =
        std::string{static_cast<char>(frame.bytes[4]), static_cast<char>(plan.result)} + plan.extra;
    Outgoing out;
    out.kind = Outgoing::kAnswer;
    // Paced, the answer starts from when the request's last byte reached the MCU, however
    // late this thread woke to see it.
    const double requestAt = m_byteSeconds > 0 ? m_lastByteAt : mcucom::MonotonicSeconds();
    out.due = requestAt + plan.delayMs / 1000.0;
    out.bytes =
        BuildMcuFrame(++m_serial, kAnswerFlag, mcucom::FrameCmdCode(frame.bytes.data()), payload);
    out.splittable = m_options.split;
    char what[64];
    snprintf(what, sizeof what, "\n  acknowledges serial %u, result 0x%02x", frame.bytes[4],
             plan.result);
    out.note = what;
    if (plan.lateMs > 0) {
        out.due += plan.lateMs / 1000.0;
        out.note += " (late)";
    }
    if (plan.corrupt > 0 && Chance() < plan.corrupt) {
        const size_t at = Random() % 2 == 0 ? out.bytes.size() - 3 : out.bytes.size() - 1;
        out.bytes[at] = static_cast<char>(out.bytes[at] ^ 0x5A);
        out.note += at == out.bytes.size() - 3 ? " (checksum corrupted)" : " (tail corrupted)";
        out.damaged = true;
        Count(&SimStats::answersCorrupted);
    }
    const std::string noise = Noise();
    if (!noise.empty()) {
        Outgoing before = out;
        before.kind = Outgoing::kNoise;
        before.bytes = noise;
        before.note = "";
        before.splittable = false;
        Schedule(before);
    }
    Schedule(out);
    for (size_t i = 0; i < plan.againMs.size(); ++i) {
        Outgoing copy = out;
        copy.due = requestAt + plan.againMs[i] / 1000.0;
        copy.note += " (again)";
        Schedule(copy);
    }
    if (plan.duplicate > 0 && Chance() < plan.duplicate) {
        out.note += " (duplicate)";
        Schedule(out);
    }
}

// The frames the scenario has the MCU send of its own accord, as they fall due.
void McuSimulator::ScheduleScenarioFrames(double now) {
    if (!m_player) {
        return;
    }
    std::vector<DueFrame> due;
    m_player->DueFrames(now, &due);
    for (const DueFrame& frame : due) {
        Outgoing out;
        out.kind = Outgoing::kUnasked;
        out.due = frame.due;
        out.bytes = BuildMcuFrame(++m_serial, frame.flag, frame.code, frame.payload);
        out.note = " (the scenario's)";
        out.splittable = m_options.split;
        Schedule(out);
        Count(&SimStats::unaskedSent);
    }
}

void McuSimulator::ScheduleUnasked(double now) {
    if (m_options.unaskedCode < 0 || now < m_nextUnasked) {
        return;
    }
    // Keeps the cadence: the next one is a period after this one was due, unless the thread
    // has fallen a whole period behind.
    const double period = m_options.unaskedEveryMs / 1000.0;
    m_nextUnasked = m_nextUnasked + period > now ? m_nextUnasked + period : now + period;
    Outgoing out;
    out.kind = Outgoing::kUnasked;
    out.due = now;
    std::string payload(static_cast<size_t>(m_options.unaskedLen), '\0');
    for (char& byte : payload) {
        byte = static_cast<char>(Random());
    }
    out.bytes = BuildMcuFrame(++m_serial, kAnswerFlag,
                              static_cast<unsigned short>(m_options.unaskedCode), payload);
    out.note = " (unasked)";
    out.splittable = m_options.split;
    Schedule(out);
    Count(&SimStats::unaskedSent);
}

void McuSimulator::Schedule(const Outgoing& out) {
    m_outgoing.push_back(out);
}

// What is due goes to the line in the order it was scheduled. A line whose reader has
// stopped reading holds at most kLineQueueMax bytes; past that, as on a real line whose
// receiver overflows, what the MCU sends is lost.
void McuSimulator::MoveDueToLine(double now) {
    std::vector<Outgoing> later;
    for (size_t i = 0; i < m_outgoing.size(); ++i) {
        Outgoing& out = m_outgoing[i];
        if (out.due > now) {
            later.push_back(out);
        } else if (m_lineBytes + out.bytes.size() > kLineQueueMax) {
            Log("line full: not sent " + DescribeItem(AsItem(out.bytes)) + out.note);
            Count(&SimStats::lineFullDrops);
        } else {
            m_lineBytes += out.bytes.size();
            m_line.push_back(out);
            if (m_byteSeconds > 0 && out.splittable) {
                m_line.back().nextPieceBytes = 1 + Random() % out.bytes.size();
            }
        }
    }
    m_outgoing.swap(later);
}

// Writes without blocking, one item after another; a split item goes in pieces a little
// apart. On a full line the rest waits for room.
// When the simulator stops, the item the line has begun goes out whole, as a UART sends the
// rest of a frame it has begun: a trace never ends inside a frame the MCU sent. Its pieces, if
// it was split, go without their pauses; the wait is bounded, for a board side that no longer
// reads.
void McuSimulator::FinishItemOnTheWire() {
    if (m_line.empty() || m_line.front().written == 0) {
        return;
    }
    Outgoing& begun = m_line.front();
    begun.splittable = false;
    begun.nextPieceAt = 0;
    begun.nextPieceBytes = 0;
    const double giveUpAt = mcucom::MonotonicSeconds() + kFinishSecondsMax;
    while (!m_line.empty() && m_line.front().written > 0 && !m_lineBlocked) {
        const double now = mcucom::MonotonicSeconds();
        if (now > giveUpAt) {
            return;
        }
        if (m_byteSeconds == 0) {
            WriteLine(now, true);
        } else if (!WritePaced(&m_line.front(), now)) {
            const double pause = m_byteSeconds;
            struct timespec wait = {0, static_cast<long>(pause * 1e9)};
            nanosleep(&wait, NULL);
        }
    }
}

void McuSimulator::WriteLine(double now, bool frontOnly) {
    while (!m_line.empty()) {
        Outgoing& out = m_line.front();
        if (out.nextPieceAt > now) {
            return;
        }
        if (m_byteSeconds > 0) {
            if (!WritePaced(&out, now)) {
                return;
            }
            continue;
        }
        const size_t left = out.bytes.size() - out.written;
        const size_t piece = out.splittable && left > 1 ? 1 + Random() % left : left;
        const ssize_t n = write(m_master, out.bytes.data() + out.written, piece);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        m_lineBlocked = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (m_lineBlocked) {
            return;
        }
        if (n > 0) {
            if (m_observer) {
                m_observer(kMcuToHost,
                           reinterpret_cast<const unsigned char*>(out.bytes.data()) + out.written,
                           static_cast<size_t>(n), mcucom::MonotonicSeconds());
            }
            out.written += static_cast<size_t>(n);
            if (out.written < out.bytes.size()) {
                out.nextPieceAt = out.splittable ? now + (Random() % 2000) / 1e6 : now;
                continue;
            }
            LogSent(out);
        }
        // Written whole, or a line that refuses writes for good: either way, done with it.
        m_lineBytes -= out.bytes.size();
        m_line.pop_front();
        if (frontOnly) {
            return;
        }
    }
}

// How many of the item's bytes go to the board together: up to a UART's receive threshold, as
// its driver hands them on, or what is left of the item (or of its piece).
size_t McuSimulator::BurstBytes(const Outgoing& out) const {
    size_t count = out.bytes.size() - out.written;
    if (out.splittable && out.nextPieceBytes > 0 && out.nextPieceBytes < count) {
        count = out.nextPieceBytes;
    }
    return count < kPacedBurst ? count : kPacedBurst;
}

// Where the next byte of the item may start on the wire: once the wire is free, and not
// before the item (or its next piece) is due.
double McuSimulator::NextByteStart(const Outgoing& out) const {
    const double ready = out.nextPieceAt > out.due ? out.nextPieceAt : out.due;
    return m_txFreeAt > ready ? m_txFreeAt : ready;
}

// A paced line: the bytes whose wire time has ended by now are written, each arriving at the
// board as the UART would deliver it. False when the item must wait (for its time, or for
// room on a full line); true when it is done with or a piece has gone.
bool McuSimulator::WritePaced(Outgoing* out, double now) {
    const double start = NextByteStart(*out);
    const size_t due = now < start ? 0 : static_cast<size_t>((now - start) / m_byteSeconds);
    const size_t whole = BurstBytes(*out);
    if (due < whole) {
        return false;
    }
    const size_t left = out->bytes.size() - out->written;
    size_t count = due < left ? due : left;
    if (out->splittable && out->nextPieceBytes > 0 && out->nextPieceBytes < count) {
        count = out->nextPieceBytes;
    }
    ssize_t n;
    do {
        n = write(m_master, out->bytes.data() + out->written, count);
    } while (n < 0 && errno == EINTR);
    m_lineBlocked = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    if (m_lineBlocked) {
        return false;
    }
    if (n > 0) {
        if (m_observer) {
            m_observer(kMcuToHost,
                       reinterpret_cast<const unsigned char*>(out->bytes.data()) + out->written,
                       static_cast<size_t>(n), start);
        }
        out->written += static_cast<size_t>(n);
        m_txFreeAt = start + static_cast<double>(n) * m_byteSeconds;
        if (out->written < out->bytes.size()) {
            if (out->splittable && out->nextPieceBytes > 0 &&
                static_cast<size_t>(n) >= out->nextPieceBytes) {
                // A piece ends: the next comes a little later, as from an MCU that stalls.
                out->nextPieceAt = m_txFreeAt + (Random() % 2000) / 1e6;
                out->nextPieceBytes = 1 + Random() % (out->bytes.size() - out->written);
            } else if (out->nextPieceBytes > 0) {
                out->nextPieceBytes -= static_cast<size_t>(n);
            }
            return true;
        }
        LogSent(*out);
    }
    // Written whole, or a line that refuses writes for good: either way, done with it.
    m_lineBytes -= out->bytes.size();
    m_line.pop_front();
    return true;
}

void McuSimulator::LogSent(const Outgoing& out) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(out.bytes.data());
    if (out.kind == Outgoing::kNoise) {
        Log("sent " + std::to_string(out.bytes.size()) +
            " bytes of noise: " + HexBytes(p, out.bytes.size()));
        return;
    }
    Log("sent " + DescribeItem(AsItem(out.bytes)) + out.note);
    if (out.kind == Outgoing::kAnswer) {
        Count(&SimStats::answersSent);
    }
    if (m_recorder && !out.damaged) {
        m_recorder->Sent(p, out.bytes.size(), out.due);
    }
}

// Random bytes without 0x75, so that a head appears only where false heads are asked for.
std::string McuSimulator::Noise() {
    if (m_options.noiseMax <= 0) {
        return std::string();
    }
    const unsigned count = Random() % (static_cast<unsigned>(m_options.noiseMax) + 1);
    std::string noise;
    for (unsigned i = 0; i < count; ++i) {
        unsigned char byte = static_cast<unsigned char>(Random());
        noise += static_cast<char>(byte == mcucom::FRAME_MARK_FIRST ? 0x76 : byte);
    }
    if (m_options.falseHeads && count > 0) {
        // A head with a len above 1028, and a head with a plausible len but no frame behind.
        const size_t at = Random() % (noise.size() + 1);
        noise.insert(at, Random() % 2 == 0 ? std::string("\x75\xaa\xff\xf0", 4)
                                           : std::string("\x75\xaa\x00\x30", 4));
    }
    return noise;
}

unsigned McuSimulator::Random() {
    // xorshift32: reproducible for a given seed, independent of the C library.
    m_random ^= m_random << 13;
    m_random ^= m_random >> 17;
    m_random ^= m_random << 5;
    return m_random;
}

double McuSimulator::Chance() {
    return (Random() % 1000000) / 1000000.0;
}

void McuSimulator::Log(const std::string& text) {
    if (m_log) {
        m_log(text);
    }
}
