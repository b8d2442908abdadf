// SPDX-License-Identifier: MIT
// Round-trip times of a soak, in constant memory however many commands it sends: a
// histogram whose buckets are one microsecond wide below 2048 us, and above split each power
// of two into 1024 buckets, so a percentile is exact below 2048 us and at most 0.1 % low
// above (the bucket's lowest value). The largest time is kept exactly.
#ifndef BRINGUP_ROUNDTRIPTIMES_H
#define BRINGUP_ROUNDTRIPTIMES_H

#include <stdint.h>

#include <vector>

class RoundTripTimes {
  public:
    RoundTripTimes();

    void Add(long microseconds);
    // The smallest time that at least percent % of the times do not exceed (0 when none).
    long Percentile(int percent) const;
    long Max() const { return m_max; }

  private:
    std::vector<uint32_t> m_counts;
    unsigned long long m_total;
    long m_max;
};

#endif  // BRINGUP_ROUNDTRIPTIMES_H
