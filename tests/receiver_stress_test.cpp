// Eight senders, each with its own acknowledged code, a thousand commands each, through the
// receiver and the simulator: every call gets its own acknowledgement and nothing hangs.
#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "tests/support/CaptureOutput.h"
#include "tests/support/Frames.h"
#include "tests/support/SimulatedMcu.h"
#include "tool/HddPower.h"

namespace {

const int kSenders = 8;
const int kCommandsEach = 1000;
const unsigned kCodes[kSenders] = {2, 3, 6, 7, 9, 0x0303, 0x0330, 0x0404};

struct Sender {
    unsigned code;
    int ownAcknowledgements;
    int failures;
};

void* Send(void* arg) {
    Sender* sender = static_cast<Sender*>(arg);
    for (int i = 0; i < kCommandsEach; ++i) {
        unsigned char payload[2] = {static_cast<unsigned char>(i),
                                    static_cast<unsigned char>(i >> 8)};
        __UserCmdData request;
        request.cmd = static_cast<COM_CMD_3520D_TYPE>(sender->code);
        request.dataLen = 2;
        request.data = payload;
        FrameBuffer reply;
        const int result = sendCmdData(&request, reply.frame(), 10000);
        const unsigned cmd = (static_cast<unsigned char>(reply.data[6]) << 8) |
                             static_cast<unsigned char>(reply.data[7]);
        if (result == 13 && cmd == sender->code &&
            static_cast<unsigned char>(reply.data[8]) == request.serialNum) {
            ++sender->ownAcknowledgements;
        } else {
            ++sender->failures;
        }
    }
    return nullptr;
}

TEST(ReceiverStress, EverySenderGetsEveryOneOfItsAcknowledgements) {
    SimulatedMcu mcu;
    ASSERT_TRUE(mcu.ok());
    Sender senders[kSenders];
    pthread_t threads[kSenders];
    {
        CaptureOutput quiet;  // 8,000 round trips of the send path's own lines
        for (int i = 0; i < kSenders; ++i) {
            senders[i] = {kCodes[i], 0, 0};
            pthread_create(&threads[i], nullptr, Send, &senders[i]);
        }
        for (pthread_t& thread : threads) {
            pthread_join(thread, nullptr);
        }
    }
    for (const Sender& sender : senders) {
        EXPECT_EQ(kCommandsEach, sender.ownAcknowledgements) << "code " << sender.code;
        EXPECT_EQ(0, sender.failures) << "code " << sender.code;
    }
    EXPECT_EQ(0, m_waitCmdList.GetDataListSize());
    EXPECT_EQ(0, m_ackList.GetDataListSize());
    EXPECT_EQ(static_cast<unsigned long>(kSenders * kCommandsEach),
              mcu.receiver().stats().acknowledgements);
}

}  // namespace
