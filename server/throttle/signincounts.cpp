#include "server/throttle/signincounts.h"

namespace {

const QString Everywhere = QStringLiteral("*");

} // namespace

SignInCounts::SignInCounts(const ThrottlePolicy &policy, bool shared, std::function<void(const QString &)> say)
    : m_rule(policy)
    , m_shared(shared)
    , m_say(std::move(say))
{}

FailureCount *SignInCounts::slot(const Key &key, qint64 now)
{
    auto it = m_memory.find(key);
    if (it != m_memory.end())
        return &*it;
    if (m_memory.size() >= m_rule.policy().maxTracked)
        m_memory.removeIf([&](const QHash<Key, FailureCount>::iterator entry) { return m_rule.forgotten(*entry, now); });
    // Still full: not counted here, as the database's count is the one that holds.
    return m_memory.size() < m_rule.policy().maxTracked ? &*m_memory.insert(key, {}) : nullptr;
}

bool SignInCounts::written(AccountStore &store, AccountStore::Result result)
{
    const bool ok = result == AccountStore::Result::Ok;
    if (ok == m_degraded) {
        m_degraded = !ok;
        m_say(ok ? QStringLiteral("the count of failed sign-ins is written to the database again")
                 : QStringLiteral("the count of failed sign-ins cannot be written to the database (%1): "
                                  "counted in this server's memory meanwhile")
                       .arg(store.errorString()));
    }
    return ok;
}

AccountStore::Result SignInCounts::admit(AccountStore &store, qint64 login, const QString &source, qint64 now,
                                         Admission *admission)
{
    Admission shared{now, 0};
    if (m_shared) {
        const AccountStore::Result result = store.changeSignInCounts(
            login, source, [&](FailureCount &everywhere, FailureCount &here) { shared = m_rule.admit(everywhere, here, now); });
        if (result == AccountStore::Result::Unavailable)
            return result;
        if (!written(store, result))
            shared = {now, 0};
    }
    // Counted here too, whatever the database did: the later of the two holds.
    Admission own{now, 0};
    FailureCount *everywhere = slot({login, Everywhere}, now);
    FailureCount *here = everywhere ? slot({login, source}, now) : nullptr;
    if (here)
        own = m_rule.admit(*everywhere, *here, now);
    *admission = shared.at < 0 || own.at < 0 ? Admission{-1, std::max(shared.retryAfterSeconds, own.retryAfterSeconds)}
                                             : Admission{std::max(shared.at, own.at), 0};
    return AccountStore::Result::Ok;
}

void SignInCounts::ended(AccountStore &store, qint64 login, const QString &source, bool accepted)
{
    const auto end = [accepted](FailureCount &everywhere, FailureCount &here) {
        accepted ? ThrottleRule::accepted(everywhere, here) : ThrottleRule::cancelled(everywhere, here);
    };
    if (m_shared)
        written(store, store.changeSignInCounts(login, source, end));
    const auto everywhere = m_memory.find({login, Everywhere});
    const auto here = m_memory.find({login, source});
    if (everywhere != m_memory.end() && here != m_memory.end())
        end(*everywhere, *here);
}

void SignInCounts::prune(AccountStore &store, qint64 now)
{
    if (m_shared)
        store.forgetSignIns(now - m_rule.policy().forgetAfterMs);
    m_memory.removeIf([&](const QHash<Key, FailureCount>::iterator entry) { return m_rule.forgotten(*entry, now); });
}
