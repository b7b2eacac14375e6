#pragma once

#include <QHash>
#include <QtGlobal>

// How failed sign-ins for one login slow down the next ones.
struct ThrottlePolicy
{
    int freeFailures = 5;          // failures (and attempts under way) before any delay
    qint64 firstDelayMs = 1000;    // doubling with every failure after that
    qint64 maxDelayMs = 60000;     // the longest an attempt waits; beyond it: busy
    qint64 forgetAfterMs = 15 * 60 * 1000;
    int maxTracked = 100000;       // logins remembered at once
};

// Failed sign-ins per login, in the memory of one server process. Attempts
// under way count as failures until they end, so parallel guesses gain
// nothing; delayed attempts for one login are spaced one delay apart.
class SignInThrottle
{
public:
    explicit SignInThrottle(const ThrottlePolicy &policy = {})
        : m_policy(policy)
    {}

    // When an attempt for login arriving at now (ms, any monotonic clock)
    // may be checked: now, a later time, or -1 when it would wait longer
    // than maxDelayMs. Every attempt admitted must be ended by finished() or cancelled().
    qint64 admit(qint64 login, qint64 now);
    void finished(qint64 login, bool accepted, qint64 now);
    // An admitted attempt that was never checked.
    void cancelled(qint64 login);
    // Whole seconds until the login takes attempts again without refusing them.
    int retryAfterSeconds(qint64 login, qint64 now) const;
    qsizetype tracked() const { return m_entries.size(); }
    void clear() { m_entries.clear(); }

private:
    struct Entry
    {
        int failures = 0;
        int inFlight = 0;
        qint64 nextSlot = 0;
        qint64 last = 0;
    };
    void prune(qint64 now);

    ThrottlePolicy m_policy;
    QHash<qint64, Entry> m_entries;
};
