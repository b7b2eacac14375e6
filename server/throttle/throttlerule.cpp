#include "server/throttle/throttlerule.h"

#include <algorithm>

qint64 ThrottleRule::delayAfter(int strikes, int free) const
{
    if (strikes < free)
        return 0;
    // Past 30 doublings any first delay is beyond every longest one.
    return std::min(m_policy.firstDelayMs << std::min(strikes - free, 30), m_policy.maxDelayMs);
}

Admission ThrottleRule::admit(FailureCount &everywhere, FailureCount &here, qint64 now) const
{
    // Every client together first: a login under attack gives failing clients less.
    everywhere.strikes = forgotten(everywhere, now) ? 1 : everywhere.strikes + 1;
    everywhere.lastSeen = now;
    const int free = everywhere.strikes > m_policy.attackFailures ? 1 : m_policy.freeFailures;

    if (forgotten(here, now))
        here = {};
    here.lastSeen = now;
    const qint64 delay = delayAfter(here.strikes, free);
    // Delayed attempts are spaced one delay apart, so parallel guesses gain nothing.
    const qint64 start = delay == 0 ? now : std::max(now, here.nextSlot) + delay;
    if (start - now > m_policy.maxDelayMs) // left as it was: a refusal earns no later slot
        return {-1, int(std::max<qint64>(1, (here.nextSlot - now + 999) / 1000))};
    ++here.strikes;
    if (delay > 0)
        here.nextSlot = start;
    return {start, 0};
}

void ThrottleRule::accepted(FailureCount &everywhere, FailureCount &here)
{
    everywhere.strikes = std::max(0, everywhere.strikes - 1);
    here = {};
}

void ThrottleRule::cancelled(FailureCount &everywhere, FailureCount &here)
{
    everywhere.strikes = std::max(0, everywhere.strikes - 1);
    here.strikes = std::max(0, here.strikes - 1);
}
