// The simulator's decoder and the mcusim program around the real tool.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/StreamDecoder.h"
#include "sim/TrafficReport.h"
#include "tests/support/ToolRun.h"

namespace {

const std::string kOnLine("#x0000001CDEB8\r\n");
const std::string kOnFrame(
    "\x75\xaa\x00\x0c\x01\x41\x00\x06\x00\xff\x00\xff\x00\x00\x00\x1f\x55\x75\xaa", 19);
const std::string kAck("\x75\xaa\x00\x06\x00\x00\x00\x06\x10\x00\x10\x75\xaa", 13);

std::vector<DecodedItem> DecodeInPieces(const std::string& stream, size_t split) {
    StreamDecoder decoder;
    std::vector<DecodedItem> items;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(stream.data());
    decoder.Feed(p, split, &items);
    decoder.Feed(p + split, stream.size() - split, &items);
    decoder.Flush(&items);
    return items;
}

std::string Bytes(const DecodedItem& item) {
    return std::string(item.bytes.begin(), item.bytes.end());
}

TEST(StreamDecoder, SplitsLinesFramesAndNoiseWhereverTheReadsAreCut) {
    const std::string noise("\x01\x02\x75\x03", 4);
    const std::string stream = kOnLine + noise + kOnFrame + kAck;
    for (size_t split = 0; split <= stream.size(); ++split) {
        const std::vector<DecodedItem> items = DecodeInPieces(stream, split);
        ASSERT_GE(items.size(), 4u) << "split " << split;
        EXPECT_EQ(DecodedItem::kAsciiLine, items[0].kind);
        EXPECT_EQ(kOnLine, Bytes(items[0]));
        std::string gathered;
        size_t k = 1;
        for (; k < items.size() && items[k].kind == DecodedItem::kNoise; ++k) {
            gathered += Bytes(items[k]);
        }
        EXPECT_EQ(noise, gathered) << "split " << split;
        ASSERT_EQ(k + 2, items.size()) << "split " << split;
        EXPECT_EQ(kOnFrame, Bytes(items[k]));
        EXPECT_EQ(kAck, Bytes(items[k + 1]));
    }
}

TEST(StreamDecoder, HeadWithAWrongTailIsNoiseAndTheNextFrameIsFound) {
    std::string broken = kAck;
    broken[12] = '\x00';
    const std::vector<DecodedItem> items = DecodeInPieces(broken + kAck, 0);
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ(DecodedItem::kNoise, items[0].kind);
    EXPECT_EQ(broken, Bytes(items[0]));
    EXPECT_EQ(kAck, Bytes(items[1]));
}

// Four stray bytes make a false head whose len (0x30) spans two power lines and a request,
// whose tail ends it exactly: taken whole despite its checksum, it would swallow them all.
// Shorter traffic behind it must come out too once the line is quiet.
TEST(StreamDecoder, StrayHeadBytesNeverSwallowGoodTraffic) {
    const std::string stray("\x75\xaa\x00\x30", 4);
    for (const std::string& traffic : {kOnLine + kOnLine + kOnFrame, kOnLine + kOnFrame}) {
        const std::vector<DecodedItem> items = DecodeInPieces(stray + traffic, 3);
        ASSERT_EQ(traffic.size() == 51 ? 4u : 3u, items.size());
        EXPECT_EQ(DecodedItem::kNoise, items[0].kind);
        EXPECT_EQ(stray, Bytes(items[0]));
        EXPECT_EQ(kOnLine, Bytes(items[1]));
        EXPECT_EQ(kOnFrame, Bytes(items.back()));
    }
}

TEST(TrafficReport, NamesTheCommandSixFieldsAndAWrongChecksum) {
    std::vector<DecodedItem> items = DecodeInPieces(kOnFrame, 0);
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ(
        "frame: len 12, serial 1, flag 0x41 (ackBit 1), cmd 0x0006 CMD_ALARM_OUT_POWER, payload "
        "00 ff 00 ff 00 00 00 1f\n"
        "  maskA 0x00ff, maskB 0x00ff, powerBits 0x0000001f: power on\n"
        "  checksum 55 ok, tail ok",
        DescribeItem(items[0]));
    std::string damaged = kAck;
    damaged[10] = '\x11';
    items = DecodeInPieces(damaged, 0);
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ(
        "13 bytes of noise (holds a frame head whose checksum is wrong)\n"
        "  75 aa 00 06 00 00 00 06 10 00 11 75 aa",
        DescribeItem(items[0]));
}

TEST(McusimProgram, RunsTheToolAndReportsBothEncodingsAndTheLine) {
    std::vector<std::string> argv = {McuSimPath(), "--"};
    const std::vector<std::string> tool = HddPowerCommand();
    argv.insert(argv.end(), tool.begin(), tool.end());
    argv.push_back("on");
    const ToolResult r = RunBuiltProgram(argv);
    EXPECT_EQ(0, r.exitCode) << r.err;
    const char* expected[] = {
        "mcusim: received ascii line \"#x0000001CDEB8\" CR LF: power on (digit '1'), checksum B8 "
        "ok (sum of 12 bytes 0x2B8)\n",
        "mcusim: received frame: len 12, serial 1, flag 0x41 (ackBit 1), cmd 0x0006 "
        "CMD_ALARM_OUT_POWER, payload 00 ff 00 ff 00 00 00 1f\n",
        "mcusim:   maskA 0x00ff, maskB 0x00ff, powerBits 0x0000001f: power on\n",
        "mcusim: line settings: 115200 baud in, 115200 baud out, 8 data bits, no parity, 1 stop "
        "bit, raw, INPCK on, VMIN 1, VTIME 0\n",
        "Open COM  /dev/ttyAMA2 OK! \n## hdd power on \n## ackBit is 0x1 \n",
    };
    for (const char* text : expected) {
        const size_t found = r.out.find(text);
        EXPECT_NE(std::string::npos, found) << text << "\nin:\n" << r.out;
    }
    EXPECT_NE(std::string::npos, r.err.find("Err [AlarmOutPowerCtl():475] send data error(-4)"));
}

TEST(McusimProgram, DecodesACapturedStreamOffline) {
    char path[] = "/tmp/capture.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string capture = kOnLine + std::string("\x01\x02", 2) + kAck;
    ASSERT_EQ(static_cast<ssize_t>(capture.size()), write(fd, capture.data(), capture.size()));
    close(fd);
    const ToolResult r = RunBuiltProgram({McuSimPath(), "--decode", path});
    unlink(path);
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(
        "mcusim: 0.000 ms: ascii line \"#x0000001CDEB8\" CR LF: power on (digit '1'), checksum B8 "
        "ok (sum "
        "of 12 bytes 0x2B8)\n"
        "mcusim: 0.000 ms: 2 bytes of noise\n"
        "mcusim:   01 02\n"
        "mcusim: 0.000 ms: frame: len 6, serial 0, flag 0x00 (ackBit 0), cmd 0x0006 "
        "CMD_ALARM_OUT_POWER, "
        "payload 10 00\n"
        "mcusim:   checksum 10 ok, tail ok\n",
        r.out);
    EXPECT_EQ("", r.err);
}

TEST(McusimProgram, ExitsWithTheCommandsStatusAndExplainsMisuse) {
    EXPECT_EQ(3, RunBuiltProgram({McuSimPath(), "sh", "-c", "exit 3"}).exitCode);
    const ToolResult usage = RunBuiltProgram({McuSimPath()});
    EXPECT_EQ(2, usage.exitCode);
    EXPECT_EQ(0u, usage.err.find("Usage: mcusim [OPTIONS] [--] COMMAND [ARGS...]\n"));
    const ToolResult missing = RunBuiltProgram({McuSimPath(), "/nonexistent/command"});
    EXPECT_EQ(125, missing.exitCode);
    EXPECT_EQ(0u, missing.err.find("mcusim: cannot run the command: "));
}

}  // namespace
