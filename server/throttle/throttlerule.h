#pragma once

#include <QtGlobal>

// How failed sign-ins slow down the next ones, counted per login and client
// (an address, or an IPv6 network: see clientkey.h): a client gets
// freeFailures at a login, then each attempt waits firstDelayMs, doubling with
// every failure, up to maxDelayMs; beyond that it is refused. Once a login has
// had attackFailures from every client together, a client that has failed at
// it gets one free attempt only. Counts are forgotten after forgetAfterMs
// without an attempt.
struct ThrottlePolicy
{
    int freeFailures = 5;          // failures (and attempts under way) before any delay
    qint64 firstDelayMs = 1000;    // doubling with every failure after that
    qint64 maxDelayMs = 60000;     // the longest an attempt waits; beyond it: busy
    qint64 forgetAfterMs = 15 * 60 * 1000;
    int attackFailures = 20;       // at one login from every client, within the forgetting time
    int maxTracked = 100000;       // counts a server keeps in its own memory
};

// One count as it is kept, in memory or in a row of the database. Attempts
// under way count as failures until they end.
struct FailureCount
{
    int strikes = 0;
    qint64 nextSlot = 0; // when the client's next attempt may be checked at the earliest
    qint64 lastSeen = 0; // the last attempt's arrival; times in ms since the epoch
};

// When an attempt may be checked, and the counts it leaves.
struct Admission
{
    qint64 at = 0;              // now, later, or -1: refused
    int retryAfterSeconds = 0;  // refused: until the client's attempts are taken again
};

// The rule of ThrottlePolicy, the one place it is written: the database's
// counts and a server's own memory both go through it.
class ThrottleRule
{
public:
    explicit ThrottleRule(const ThrottlePolicy &policy)
        : m_policy(policy)
    {}

    // An attempt arriving at now: counted in the login's count over every
    // client (everywhere) and in this client's (here), which it changes.
    Admission admit(FailureCount &everywhere, FailureCount &here, qint64 now) const;
    // An admitted attempt that ended accepted (its client's count starts
    // again) or was never checked (it no longer counts).
    static void accepted(FailureCount &everywhere, FailureCount &here);
    static void cancelled(FailureCount &everywhere, FailureCount &here);
    // The wait earned by strikes with free attempts free.
    qint64 delayAfter(int strikes, int free) const;
    bool forgotten(const FailureCount &count, qint64 now) const { return now - count.lastSeen > m_policy.forgetAfterMs; }
    const ThrottlePolicy &policy() const { return m_policy; }

private:
    ThrottlePolicy m_policy;
};
