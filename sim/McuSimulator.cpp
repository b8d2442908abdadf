#include "sim/McuSimulator.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "common/ComFrame.h"
#include "sim/TrafficReport.h"
#include "tool/HddPower.h"

namespace {

const int kIdlePollMs = 10;
const size_t kReadChunk = 4096;
const unsigned char kAnswerFlag = 0x01;

DecodedItem AsItem(const std::string& bytes) {
    DecodedItem item;
    item.kind = DecodedItem::kFrame;
    item.bytes.assign(bytes.begin(), bytes.end());
    return item;
}

bool IsIntact(const DecodedItem& frame) {
    const unsigned char* p = frame.bytes.data();
    const int len = FrameLenField(p);
    return FrameXor(p + 2, len + 2) == p[len + 4];
}

}  // namespace

std::string BuildMcuFrame(unsigned char serial, unsigned char flag, unsigned short cmd,
                          const std::string& payload) {
    std::string frame(payload.size() + FRAME_MIN_SIZE, '\0');
    const int len = static_cast<int>(payload.size()) + FRAME_MIN_LEN_FIELD;
    frame[2] = static_cast<char>(len >> 8);
    frame[3] = static_cast<char>(len & 0xFF);
    frame[4] = static_cast<char>(serial);
    frame[5] = static_cast<char>(flag);
    frame[6] = static_cast<char>(cmd >> 8);
    frame[7] = static_cast<char>(cmd & 0xFF);
    frame.replace(FRAME_HEADER_SIZE, payload.size(), payload);
    cmdData2Frame(&frame[0]);
    return frame;
}

double MonotonicSeconds() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
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
      seed(1) {}

McuSimulator::McuSimulator(int masterFd, LogSink log, const SimOptions& options)
    : m_master(masterFd),
      m_log(std::move(log)),
      m_options(options),
      m_thread(),
      m_running(false),
      m_stop(false),
      m_random(options.seed != 0 ? options.seed : 1),
      m_serial(0),
      m_answersScheduled(0),
      m_nextUnasked(0) {
    memset(&m_stats, 0, sizeof m_stats);
}

McuSimulator::~McuSimulator() {
    Stop();
}

bool McuSimulator::Start() {
    m_stop = false;
    m_nextUnasked = MonotonicSeconds() + m_options.unaskedEveryMs / 1000.0;
    m_running = pthread_create(&m_thread, NULL, &McuSimulator::ThreadMain, this) == 0;
    return m_running;
}

void McuSimulator::Stop() {
    if (!m_running) {
        return;
    }
    m_stop = true;
    pthread_join(m_thread, NULL);
    m_running = false;
    while (ReadOnce(0)) {
    }
    std::vector<DecodedItem> items;
    m_decoder.Finish(&items);
    Handle(items);
}

std::vector<DecodedItem> McuSimulator::Received() {
    MutexLockGuard guard(m_mutex);
    return m_received;
}

SimStats McuSimulator::stats() {
    MutexLockGuard guard(m_mutex);
    return m_stats;
}

void* McuSimulator::ThreadMain(void* self) {
    static_cast<McuSimulator*>(self)->Run();
    return NULL;
}

void McuSimulator::Run() {
    while (!m_stop) {
        const double now = MonotonicSeconds();
        ScheduleUnasked(now);
        SendDue(now);
        ReadOnce(MillisToNextEvent(MonotonicSeconds()));
    }
}

int McuSimulator::MillisToNextEvent(double now) const {
    double next = now + kIdlePollMs / 1000.0;
    for (size_t i = 0; i < m_outgoing.size(); ++i) {
        if (m_outgoing[i].due < next) {
            next = m_outgoing[i].due;
        }
    }
    const int ms = static_cast<int>((next - now) * 1000.0 + 0.999);
    return ms < 0 ? 0 : ms;
}

// One wait for bytes from the board side; true when some were read.
bool McuSimulator::ReadOnce(int waitMs) {
    struct pollfd pfd;
    pfd.fd = m_master;
    pfd.events = POLLIN;
    pfd.revents = 0;
    if (poll(&pfd, 1, waitMs) <= 0 || (pfd.revents & POLLIN) == 0) {
        return false;
    }
    unsigned char chunk[kReadChunk];
    const ssize_t got = read(m_master, chunk, sizeof chunk);
    if (got <= 0) {
        return false;
    }
    std::vector<DecodedItem> items;
    m_decoder.Feed(chunk, static_cast<size_t>(got), &items);
    Handle(items);
    return true;
}

void McuSimulator::Handle(const std::vector<DecodedItem>& items) {
    for (size_t i = 0; i < items.size(); ++i) {
        const DecodedItem& item = items[i];
        Log("received " + DescribeItem(item));
        {
            MutexLockGuard guard(m_mutex);
            m_received.push_back(item);
            if (item.kind == DecodedItem::kFrame) {
                ++m_stats.framesReceived;
            }
        }
        // A frame whose checksum is wrong is what the MCU would ignore.
        if (item.kind == DecodedItem::kFrame && (item.bytes[5] & FRAME_ACK_BIT) != 0 &&
            IsIntact(item) && m_options.answer) {
            ScheduleAnswer(item);
        }
    }
}

void McuSimulator::ScheduleAnswer(const DecodedItem& frame) {
    ++m_answersScheduled;
    if (m_options.drop > 0 && Chance() < m_options.drop) {
        Log("dropped the answer to serial " + std::to_string(frame.bytes[4]));
        MutexLockGuard guard(m_mutex);
        ++m_stats.answersDropped;
        return;
    }
    const unsigned short cmd = static_cast<unsigned short>((frame.bytes[6] << 8) | frame.bytes[7]);
    // In sequence mode the n-th frame acknowledged carries n modulo 256, dropped answers
    // included, so that a script can tell each command's own answer from any other.
    const unsigned char result =
        m_options.resultSeq ? static_cast<unsigned char>(m_answersScheduled) : m_options.result;
    const std::string payload{static_cast<char>(frame.bytes[4]), static_cast<char>(result)};
    Outgoing out;
    out.kind = Outgoing::kAnswer;
    out.due = MonotonicSeconds() + m_options.delayMs / 1000.0;
    out.bytes = BuildMcuFrame(++m_serial, kAnswerFlag, cmd, payload);
    out.splittable = m_options.split;
    char what[64];
    snprintf(what, sizeof what, "\n  acknowledges serial %u, result 0x%02x", frame.bytes[4],
             result);
    out.note = what;
    if (m_options.lateEvery > 0 && m_answersScheduled % m_options.lateEvery == 0) {
        out.due += m_options.lateMs / 1000.0;
        out.note += " (late)";
    }
    if (m_options.corrupt > 0 && Chance() < m_options.corrupt) {
        const size_t at = Random() % 2 == 0 ? out.bytes.size() - 3 : out.bytes.size() - 1;
        out.bytes[at] = static_cast<char>(out.bytes[at] ^ 0x5A);
        out.note += at == out.bytes.size() - 3 ? " (checksum corrupted)" : " (tail corrupted)";
        MutexLockGuard guard(m_mutex);
        ++m_stats.answersCorrupted;
    }
    const std::string noise = Noise();
    if (!noise.empty()) {
        Outgoing before = out;
        before.kind = Outgoing::kNoise;
        before.bytes = noise;
        before.note = "";
        before.splittable = false;
        m_outgoing.push_back(before);
    }
    m_outgoing.push_back(out);
    if (m_options.duplicate > 0 && Chance() < m_options.duplicate) {
        out.note += " (duplicate)";
        m_outgoing.push_back(out);
    }
}

void McuSimulator::ScheduleUnasked(double now) {
    if (m_options.unaskedCode < 0 || now < m_nextUnasked) {
        return;
    }
    m_nextUnasked = now + m_options.unaskedEveryMs / 1000.0;
    Outgoing out;
    out.kind = Outgoing::kUnasked;
    out.due = now;
    out.bytes =
        BuildMcuFrame(++m_serial, kAnswerFlag, static_cast<unsigned short>(m_options.unaskedCode),
                      std::string{static_cast<char>(Random()), static_cast<char>(Random())});
    out.note = " (unasked)";
    out.splittable = m_options.split;
    m_outgoing.push_back(out);
    MutexLockGuard guard(m_mutex);
    ++m_stats.unaskedSent;
}

// Sends what is due, in the order it was scheduled.
void McuSimulator::SendDue(double now) {
    std::vector<Outgoing> later;
    for (size_t i = 0; i < m_outgoing.size(); ++i) {
        if (m_outgoing[i].due <= now) {
            Write(m_outgoing[i]);
        } else {
            later.push_back(m_outgoing[i]);
        }
    }
    m_outgoing.swap(later);
}

void McuSimulator::Write(const Outgoing& out) {
    size_t at = 0;
    while (at < out.bytes.size()) {
        size_t piece = out.bytes.size() - at;
        if (out.splittable && piece > 1) {
            piece = 1 + Random() % piece;
        }
        const ssize_t n = write(m_master, out.bytes.data() + at, piece);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        at += static_cast<size_t>(n);
        if (out.splittable && at < out.bytes.size()) {
            usleep(Random() % 2000);  // well inside any receiver's idle time-out
        }
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(out.bytes.data());
    if (out.kind == Outgoing::kNoise) {
        Log("sent " + std::to_string(out.bytes.size()) +
            " bytes of noise: " + HexBytes(p, out.bytes.size()));
        return;
    }
    Log("sent " + DescribeItem(AsItem(out.bytes)) + out.note);
    if (out.kind == Outgoing::kAnswer) {
        MutexLockGuard guard(m_mutex);
        ++m_stats.answersSent;
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
        noise += static_cast<char>(byte == FRAME_MARK_FIRST ? 0x76 : byte);
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
