// The process-wide serial-number counter: this program owns its process, so the first number
// it draws is the first of the process.
#include <pthread.h>

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "tool/HddPower.h"

namespace {

void* DrawNumbers(void* out) {
    std::vector<int>* numbers = static_cast<std::vector<int>*>(out);
    for (int i = 0; i < 127; ++i) {
        numbers->push_back(GetSerialNum());
    }
    return nullptr;
}

TEST(SerialNumbers, RunFromOneTo255ThenOneAgainAndNeverZero) {
    for (int expected = 1; expected <= 255; ++expected) {
        ASSERT_EQ(expected, GetSerialNum());
    }
    EXPECT_EQ(1, GetSerialNum());
    EXPECT_EQ(2, GetSerialNum());
    for (int i = 0; i < 3 * 256; ++i) {
        ASSERT_NE(0, GetSerialNum());
    }
}

TEST(SerialNumbers, TwoConcurrentSendersNeverDrawTheSameNumberInOneRound) {
    for (int round = 0; round < 200; ++round) {
        std::vector<int> a, b;
        a.reserve(127);
        b.reserve(127);
        pthread_t ta, tb;
        ASSERT_EQ(0, pthread_create(&ta, nullptr, DrawNumbers, &a));
        ASSERT_EQ(0, pthread_create(&tb, nullptr, DrawNumbers, &b));
        pthread_join(ta, nullptr);
        pthread_join(tb, nullptr);
        std::set<int> seen(a.begin(), a.end());
        seen.insert(b.begin(), b.end());
        ASSERT_EQ(254u, seen.size()) << "round " << round;  // 254 draws, all different
        ASSERT_EQ(0u, seen.count(0));
    }
}

}  // namespace
