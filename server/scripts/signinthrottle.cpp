#include "server/scripts/signinthrottle.h"

#include <algorithm>

SignInThrottle::SignInThrottle(const ThrottlePolicy &policy, AccountStore *store)
    : m_policy(policy)
    , m_store(store && !store->isReadOnly() ? store : nullptr)
{}

qint64 SignInThrottle::admit(qint64 login, const QString &source, qint64 now, int *retryAfterSeconds)
{
    qint64 at = now, nextSlot = 0;
    if (m_store) {
        // A database that cannot count lets the attempt through: the account's
        // hash is read from it too, so no guess is checked meanwhile.
        if (m_store->admitSignIn(login, source, m_policy, now, &at, &nextSlot) != AccountStore::Result::Ok)
            return now;
    } else {
        auto it = m_entries.find({login, source});
        if (it == m_entries.end()) {
            if (m_entries.size() >= m_policy.maxTracked)
                prune(now);
            // Still full: a flood of new logins, which are new anyway.
            if (m_entries.size() >= m_policy.maxTracked)
                return now;
            it = m_entries.insert({login, source}, {});
        }
        Entry &entry = *it;
        if (now - entry.last > m_policy.forgetAfterMs)
            entry = {};
        entry.last = now;
        if (entry.strikes >= m_policy.freeFailures) {
            const int doublings = std::min(entry.strikes - m_policy.freeFailures, 30);
            const qint64 delay = std::min(m_policy.firstDelayMs << doublings, m_policy.maxDelayMs);
            at = std::max(now, entry.nextSlot) + delay;
            if (at - now > m_policy.maxDelayMs)
                at = -1;
            else
                entry.nextSlot = at;
        }
        entry.strikes += at >= 0;
        nextSlot = entry.nextSlot;
    }
    if (at < 0)
        *retryAfterSeconds = int(std::max<qint64>(1, (nextSlot - now + 999) / 1000));
    return at;
}

void SignInThrottle::finished(qint64 login, const QString &source, bool accepted, qint64 now)
{
    if (!accepted) {
        // Counted when it came in.
        if (!m_store)
            m_entries[{login, source}].last = now;
        return;
    }
    if (m_store)
        m_store->endSignIn(login, source, true);
    else
        m_entries.remove({login, source});
}

void SignInThrottle::cancelled(qint64 login, const QString &source)
{
    if (m_store) {
        m_store->endSignIn(login, source, false);
        return;
    }
    const auto it = m_entries.find({login, source});
    if (it != m_entries.end())
        it->strikes = std::max(0, it->strikes - 1);
}

void SignInThrottle::prune(qint64 now)
{
    if (m_store) {
        m_store->forgetSignIns(now - m_policy.forgetAfterMs);
        return;
    }
    m_entries.removeIf([&](const QHash<Key, Entry>::iterator it) { return now - it->last > m_policy.forgetAfterMs; });
}
