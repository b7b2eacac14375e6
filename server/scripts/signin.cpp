#include "server/scripts/liverun.h"

#include "net/liveprotocol.h"

#include <QDateTime>

void LiveServer::Run::signIn(quint64 id, const QueryParameters &query, const QHostAddress &client)
{
    // A missing or malformed parameter is simply a refusal.
    const SignInRequest request = parseSignIn(query);
    if (request.login == 0)
        return front->answer(id, 200, QByteArrayLiteral("0"));

    // Guessing a password costs time per login and address, whatever the
    // number of connections or servers.
    const Attempt attempt{request.login, client.toString(), request.digest};
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    int retryAfter = 1;
    const qint64 at = m_throttle->admit(attempt.login, attempt.source, now, &retryAfter);
    if (at < 0) {
        front->note(id, QStringLiteral("too many failed sign-ins"));
        return front->answer(id, 503, {}, retryAfter);
    }
    if (at <= now)
        return checkSignIn(id, attempt);
    front->note(id, QStringLiteral("slowed down %1 ms").arg(at - now));
    m_waiting.insert(id);
    QTimer::singleShot(at - now, this, [this, id, attempt] {
        if (!m_waiting.remove(id))
            return m_throttle->cancelled(attempt.login, attempt.source);
        checkSignIn(id, attempt);
    });
}

void LiveServer::Run::checkSignIn(quint64 id, const Attempt &attempt)
{
    // Sign-in has no answer for "later": a refusal would read as a wrong password.
    if (hashes.pending() >= options.maxPendingHashes) {
        m_throttle->cancelled(attempt.login, attempt.source);
        return front->answer(id, 503);
    }
    auto stored = std::make_shared<QByteArray>();
    whenAvailable(
        id, [this, attempt, stored] { return m_store->passwordHash(attempt.login, stored.get()); },
        [this, id, attempt, stored](AccountStore::Result found) { verify(id, attempt, found, *stored); },
        QDeadlineTimer(options.databaseWaitMs));
}

void LiveServer::Run::verify(quint64 id, const Attempt &attempt, AccountStore::Result found, const QByteArray &stored)
{
    if (found != AccountStore::Result::Ok && found != AccountStore::Result::NotFound) {
        m_throttle->cancelled(attempt.login, attempt.source);
        front->note(id, m_store->errorString());
        // Later, never "0": that would tell the user the password is wrong.
        return front->answer(id, 503, {}, qMax(1, options.databaseWaitMs / 1000));
    }
    const bool known = found == AccountStore::Result::Ok && !stored.isEmpty();
    const QByteArray hash = known ? stored : m_decoyHash;
    const bool mayRenew = known && !m_store->isReadOnly();
    const HashCost cost = options.hashCost;
    struct Check
    {
        bool accepted = false;
        QByteArray renewedHash;
    };
    m_waiting.insert(id);
    hashes.start(
        id,
        [hash, digest = attempt.digest, cost, mayRenew] {
            Check check{verifyPassword(hash, digest), {}};
            if (check.accepted && mayRenew && hashNeedsRenewal(hash, cost))
                check.renewedHash = hashPassword(digest, cost);
            return check;
        },
        [this, id, attempt, known](const Check &check) {
            signInChecked(id, attempt, known && check.accepted, check.renewedHash);
        },
        [this, attempt] { m_throttle->cancelled(attempt.login, attempt.source); }); // never checked
}

void LiveServer::Run::signInChecked(quint64 id, const Attempt &attempt, bool accepted, const QByteArray &renewedHash)
{
    // Counted even when the caller has gone: the guess was made.
    m_throttle->finished(attempt.login, attempt.source, accepted, QDateTime::currentMSecsSinceEpoch());
    if (!m_waiting.remove(id))
        return;
    front->answer(id, 200, accepted ? QByteArray(LoginAccepted) : QByteArrayLiteral("0"));
    if (accepted && !m_store->isReadOnly())
        m_signIns.add(attempt.login, renewedHash);
}

