#include "server/scripts/signinthrottle.h"

#include <algorithm>

qint64 SignInThrottle::admit(qint64 login, qint64 now)
{
    auto it = m_entries.find(login);
    if (it == m_entries.end()) {
        if (m_entries.size() >= m_policy.maxTracked)
            prune(now);
        // Still full: a flood of distinct logins; each of them is new anyway.
        if (m_entries.size() >= m_policy.maxTracked)
            return now;
        it = m_entries.insert(login, {});
    }
    Entry &entry = *it;
    entry.last = now;
    const int strikes = entry.failures + entry.inFlight;
    if (strikes < m_policy.freeFailures) {
        ++entry.inFlight;
        return now;
    }
    const int doublings = std::min(strikes - m_policy.freeFailures, 30);
    const qint64 delay = std::min(m_policy.firstDelayMs << doublings, m_policy.maxDelayMs);
    const qint64 start = std::max(now, entry.nextSlot) + delay;
    if (start - now > m_policy.maxDelayMs)
        return -1;
    entry.nextSlot = start;
    ++entry.inFlight;
    return start;
}

void SignInThrottle::finished(qint64 login, bool accepted, qint64 now)
{
    if (accepted) {
        m_entries.remove(login);
        return;
    }
    auto it = m_entries.find(login);
    if (it == m_entries.end()) {
        if (m_entries.size() >= m_policy.maxTracked)
            return;
        it = m_entries.insert(login, {});
    }
    it->inFlight = std::max(0, it->inFlight - 1);
    ++it->failures;
    it->last = now;
}

void SignInThrottle::cancelled(qint64 login)
{
    const auto it = m_entries.find(login);
    if (it != m_entries.end())
        it->inFlight = std::max(0, it->inFlight - 1);
}

int SignInThrottle::retryAfterSeconds(qint64 login, qint64 now) const
{
    const auto it = m_entries.constFind(login);
    const qint64 wait = it == m_entries.cend() ? 0 : it->nextSlot - now;
    return int(std::max<qint64>(1, (wait + 999) / 1000));
}

void SignInThrottle::prune(qint64 now)
{
    m_entries.removeIf([&](const QHash<qint64, Entry>::iterator it) {
        return it->inFlight == 0 && now - it->last > m_policy.forgetAfterMs;
    });
}
