#include "server/throttle/signincounts.h"

namespace {

const QString Everywhere = QStringLiteral("*");

// The later and larger of two counts of one key: the database's, and what it did not take.
void merge(FailureCount &count, const FailureCount &kept)
{
    count.strikes = std::max(count.strikes, kept.strikes);
    count.nextSlot = std::max(count.nextSlot, kept.nextSlot);
    count.lastSeen = std::max(count.lastSeen, kept.lastSeen);
}

} // namespace

SignInCounts::SignInCounts(const ThrottlePolicy &policy, bool shared, std::function<void(const QString &)> say)
    : m_rule(policy)
    , m_shared(shared)
    , m_say(std::move(say))
{}

bool SignInCounts::written(AccountStore &store, AccountStore::Result result)
{
    const bool ok = result == AccountStore::Result::Ok;
    if (ok == m_degraded) {
        m_degraded = !ok;
        m_say(ok ? QStringLiteral("the count of failed sign-ins is written to the database again")
                 : QStringLiteral("the count of failed sign-ins cannot be written to the database (%1): "
                                  "kept in this server's memory meanwhile")
                       .arg(store.errorString()));
    }
    return ok;
}

void SignInCounts::keep(const Key &key, const FailureCount &count)
{
    if (!m_memory.contains(key) && m_memory.size() >= m_rule.policy().maxTracked)
        forget(count.lastSeen);
    // Still full: a flood of other keys, none of them with more than it sends.
    if (m_memory.contains(key) || m_memory.size() < m_rule.policy().maxTracked)
        m_memory.insert(key, count);
}

AccountStore::Result SignInCounts::change(AccountStore &store, qint64 login, const QString &source, const Change &change)
{
    const Key everywhereKey{login, Everywhere}, hereKey{login, source};
    FailureCount everywhere, here;
    bool changed = false;
    const auto merged = [&](FailureCount &storedEverywhere, FailureCount &storedHere) {
        merge(storedEverywhere, m_memory.value(everywhereKey));
        merge(storedHere, m_memory.value(hereKey));
        change(storedEverywhere, storedHere);
        everywhere = storedEverywhere;
        here = storedHere;
        changed = true;
    };
    if (m_shared) {
        const AccountStore::Result result = store.changeSignInCounts(login, source, merged);
        if (result == AccountStore::Result::Unavailable)
            return result;
        if (written(store, result)) {
            m_memory.remove(everywhereKey);
            m_memory.remove(hereKey);
            return result;
        }
    }
    if (!changed) { // nothing read of the database: what this server knows
        FailureCount fresh, freshHere;
        merged(fresh, freshHere);
    }
    keep(everywhereKey, everywhere);
    keep(hereKey, here);
    return AccountStore::Result::Ok;
}

AccountStore::Result SignInCounts::admit(AccountStore &store, qint64 login, const QString &source, qint64 now,
                                         Admission *admission)
{
    return change(store, login, source, [&](FailureCount &everywhere, FailureCount &here) {
        *admission = m_rule.admit(everywhere, here, now);
    });
}

void SignInCounts::ended(AccountStore &store, qint64 login, const QString &source, bool accepted)
{
    change(store, login, source, [accepted](FailureCount &everywhere, FailureCount &here) {
        accepted ? ThrottleRule::accepted(everywhere, here) : ThrottleRule::cancelled(everywhere, here);
    });
}

void SignInCounts::prune(AccountStore &store, qint64 now)
{
    if (m_shared)
        store.forgetSignIns(now - m_rule.policy().forgetAfterMs);
    forget(now);
}

void SignInCounts::forget(qint64 now)
{
    m_memory.removeIf([&](const QHash<Key, FailureCount>::iterator entry) { return m_rule.forgotten(*entry, now); });
}
