#include "server/handlers/liveparts.h"

#include "net/liveprotocol.h"
#include "server/throttle/clientkey.h"

#include <QDateTime>

void LiveServer::Parts::signIn(const HttpExchange &exchange)
{
    // A missing or malformed parameter is simply a refusal.
    const SignInRequest request = parseSignIn(QueryParameters(exchange.query().toByteArray()));
    if (request.login == 0)
        return answer(exchange, HttpReply(200, QByteArrayLiteral("0"), QLatin1String(m_loginPath)), Outcome::SignInRefused);

    // The account's hash, and the attempt counted: guessing a password costs
    // time per login and client, whatever the number of connections or servers.
    auto attempt = std::make_shared<SignIn>(
        SignIn{exchange, request.login, clientKey(exchange.client(), options.ipv6PrefixLength), request.digest, {}, {}, {}});
    m_signIns->run(
        [counts = m_counts.get(), attempt](AccountStore &store) {
            AccountStore::Result found = store.passwordHash(attempt->login, &attempt->storedHash);
            if (found == AccountStore::Result::Ok || found == AccountStore::Result::NotFound) {
                const AccountStore::Result counted = counts->admit(store, attempt->login, attempt->source,
                                                                   QDateTime::currentMSecsSinceEpoch(), &attempt->admission);
                found = counted == AccountStore::Result::Ok ? found : counted;
            }
            if (found != AccountStore::Result::Ok && found != AccountStore::Result::NotFound)
                attempt->note = store.errorString();
            return found;
        },
        QDeadlineTimer(options.databaseWaitMs), this, [this, attempt](AccountStore::Result found) { admitted(attempt, found); });
}

void LiveServer::Parts::admitted(const SignInPtr &attempt, AccountStore::Result found)
{
    HttpReply reply(503, {}, QLatin1String(m_loginPath));
    if (found != AccountStore::Result::Ok && found != AccountStore::Result::NotFound) {
        // Later, never "0": that would tell the user the password is wrong.
        reply.retryAfterSeconds = qMax(1, options.databaseWaitMs / 1000);
        reply.note = attempt->note.isEmpty() ? QStringLiteral("database unavailable") : attempt->note;
        return answer(attempt->exchange, reply, Outcome::SignInThrottled);
    }
    if (found == AccountStore::Result::NotFound)
        attempt->storedHash.clear();
    if (attempt->admission.at < 0) {
        reply.retryAfterSeconds = attempt->admission.retryAfterSeconds;
        reply.note = QStringLiteral("too many failed sign-ins");
        return answer(attempt->exchange, reply, Outcome::SignInThrottled);
    }
    const qint64 wait = attempt->admission.at - QDateTime::currentMSecsSinceEpoch();
    if (wait <= 0)
        return check(attempt);
    attempt->note = QStringLiteral("slowed down %1 ms").arg(wait);
    QTimer::singleShot(wait, this, [this, attempt] {
        if (attempt->exchange.isGone())
            return ended(attempt, false);
        check(attempt);
    });
}

void LiveServer::Parts::check(const SignInPtr &attempt)
{
    // Sign-in has no answer for "later": a refusal would read as a wrong password.
    if (m_hashes.pending() >= options.maxPendingHashes) {
        ended(attempt, false);
        HttpReply reply(503, {}, QLatin1String(m_loginPath));
        reply.retryAfterSeconds = 1;
        reply.note = QStringLiteral("too many hashes waiting");
        return answer(attempt->exchange, reply, Outcome::SignInThrottled);
    }
    // An unknown or disabled login is checked against the decoy, at the same cost.
    const bool known = !attempt->storedHash.isEmpty();
    const QByteArray hash = known ? attempt->storedHash : m_decoyHash;
    const bool mayRenew = known && !options.readOnly;
    const HashCost cost = options.hashCost;
    struct Check
    {
        bool accepted = false;
        QByteArray renewedHash;
    };
    m_hashes.start(
        [exchange = attempt->exchange] { return exchange.isGone(); },
        [hash, digest = attempt->digest, cost, mayRenew] {
            Check check{verifyPassword(hash, digest), {}};
            if (check.accepted && mayRenew && hashNeedsRenewal(hash, cost))
                check.renewedHash = hashPassword(digest, cost);
            return check;
        },
        [this, attempt, known](const Check &check) { checked(attempt, known && check.accepted, check.renewedHash); },
        [this, attempt] { ended(attempt, false); }); // never checked
}

void LiveServer::Parts::checked(const SignInPtr &attempt, bool accepted, const QByteArray &renewedHash)
{
    // Counted even when the caller has gone: the guess was made. A refusal
    // stays counted as it came in.
    if (accepted)
        ended(attempt, true);
    HttpReply reply(200, accepted ? QByteArray(LoginAccepted) : QByteArrayLiteral("0"), QLatin1String(m_loginPath));
    reply.note = attempt->note;
    answer(attempt->exchange, reply, accepted ? Outcome::SignInAccepted : Outcome::SignInRefused);
    if (accepted && !options.readOnly)
        m_recorder->add(attempt->login, attempt->storedHash, renewedHash);
}

void LiveServer::Parts::ended(const SignInPtr &attempt, bool accepted)
{
    m_signIns->post([counts = m_counts.get(), login = attempt->login, source = attempt->source, accepted](AccountStore &store) {
        counts->ended(store, login, source, accepted);
    });
}
