// SPDX-License-Identifier: MIT
#include "bringup/RoundTripTimes.h"

#include <stddef.h>

namespace {

const int kExactBits = 11;  // below 2^11 us every microsecond has its bucket
const int kSubBits = 10;    // above, 2^10 buckets per power of two
const int kTopBit = 31;     // up to 2^31 us, 35 minutes: past the longest time-out
const long long kExactLimit = 1LL << kExactBits;

int HighestBit(unsigned long long value) {
    int bit = 0;
    while (value >> (bit + 1)) {
        ++bit;
    }
    return bit;
}

size_t BucketOf(long long us) {
    if (us < kExactLimit) {
        return static_cast<size_t>(us);
    }
    const int high = HighestBit(static_cast<unsigned long long>(us));
    const long long sub = (us >> (high - kSubBits)) & ((1LL << kSubBits) - 1);
    return static_cast<size_t>(kExactLimit +
                               (static_cast<long long>(high - kExactBits) << kSubBits) + sub);
}

long LowestIn(size_t bucket) {
    const long long b = static_cast<long long>(bucket);
    if (b < kExactLimit) {
        return static_cast<long>(b);
    }
    const int high = static_cast<int>((b - kExactLimit) >> kSubBits) + kExactBits;
    const long long sub = (b - kExactLimit) & ((1LL << kSubBits) - 1);
    return static_cast<long>((1LL << high) + (sub << (high - kSubBits)));
}

}  // namespace

RoundTripTimes::RoundTripTimes()
    : m_counts(BucketOf((1LL << kTopBit) - 1) + 1, 0), m_total(0), m_max(0) {}

void RoundTripTimes::Add(long microseconds) {
    long long us = microseconds < 0 ? 0 : microseconds;
    if (us >= (1LL << kTopBit)) {
        us = (1LL << kTopBit) - 1;
    }
    ++m_counts[BucketOf(us)];
    ++m_total;
    if (microseconds > m_max) {
        m_max = microseconds;
    }
}

long RoundTripTimes::Percentile(int percent) const {
    if (m_total == 0) {
        return 0;
    }
    if (percent >= 100) {
        return m_max;
    }
    // The rank-th smallest time, counted from 1, as a sorted list would give it.
    unsigned long long rank = (m_total * static_cast<unsigned long long>(percent) + 99) / 100;
    if (rank == 0) {
        rank = 1;
    }
    unsigned long long seen = 0;
    for (size_t bucket = 0; bucket < m_counts.size(); ++bucket) {
        seen += m_counts[bucket];
        if (seen >= rank) {
            return LowestIn(bucket);
        }
    }
    return m_max;
}
