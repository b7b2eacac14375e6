#pragma once

#include "server/accounts/accountstore.h"
#include "server/throttle/throttlerule.h"

#include <QHash>
#include <QPair>
#include <QString>

#include <functional>

// The count of failed sign-ins a server goes by (see ThrottleRule): the one in
// the account database, shared by every server on it and kept across restarts.
// Counts the database would not take (read-only, full, failing) are kept in
// this server's memory and go in with the next change that it takes, so that
// guesses are slowed all the same: the count fails closed. A read-only server
// counts in memory alone. Used on the store's thread only.
class SignInCounts
{
public:
    // say: one line when the database stops taking the count, one when it takes it again.
    SignInCounts(const ThrottlePolicy &policy, bool shared, std::function<void(const QString &)> say);

    // An attempt by source at login arriving at now, counted at once: Unavailable
    // (nothing counted: the caller waits for the database), or Ok with when it may
    // be checked. Every attempt admitted is ended by ended().
    AccountStore::Result admit(AccountStore &store, qint64 login, const QString &source, qint64 now, Admission *admission);
    // The attempt was accepted, or never checked; a refusal stays counted.
    void ended(AccountStore &store, qint64 login, const QString &source, bool accepted);
    // Counts quiet for longer than the policy's forgetting time go.
    void prune(AccountStore &store, qint64 now);

private:
    using Key = QPair<qint64, QString>;
    using Change = std::function<void(FailureCount &everywhere, FailureCount &here)>;
    AccountStore::Result change(AccountStore &store, qint64 login, const QString &source, const Change &change);
    void keep(const Key &key, const FailureCount &count);
    void forget(qint64 now);
    bool written(AccountStore &store, AccountStore::Result result);

    ThrottleRule m_rule;
    const bool m_shared;
    bool m_degraded = false;
    std::function<void(const QString &)> m_say;
    QHash<Key, FailureCount> m_memory; // what the database has not taken
};
