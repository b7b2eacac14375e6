#include "server/handlers/liveparts.h"

#include "net/liveprotocol.h"
#include "server/passwords/passwordhash.h"
#include "server/throttle/clientkey.h"

#include <QDateTime>

namespace {

// What register.php answers for what the store said.
qint64 registerCode(AccountStore::Result result, qint64 login)
{
    switch (result) {
    case AccountStore::Result::Ok: return login;
    case AccountStore::Result::ReadOnly: return RegisterError::StorageReadOnly;
    case AccountStore::Result::Exhausted: return RegisterError::NoLoginLeft;
    case AccountStore::Result::Gone: return RegisterError::DatabaseGone;
    case AccountStore::Result::NotFound:
    case AccountStore::Result::Failed:
    case AccountStore::Result::Unavailable: break;
    }
    return RegisterError::StorageFailure;
}

} // namespace

void LiveServer::Parts::refuseRegistration(const HttpExchange &exchange, int code, const QString &note)
{
    HttpReply reply(200, QByteArray::number(code), QLatin1String(m_registerPath));
    reply.note = note;
    answer(exchange, reply, Outcome::RegistrationRefused, code);
}

void LiveServer::Parts::storeFailed(const HttpExchange &exchange, AccountStore::Result result, const QString &error)
{
    // Unavailable may be the deadline's, answered while the store's thread still
    // holds the job: its error is not to be read then.
    refuseRegistration(exchange, int(registerCode(result, 0)),
                       result == AccountStore::Result::Unavailable ? QStringLiteral("database unavailable") : error);
}

qint64 LiveServer::Parts::registrationIntervalMs() const
{
    return 3600 * 1000 / qint64(options.registrationsPerHour);
}

void LiveServer::Parts::registration(const HttpExchange &exchange)
{
    const RegistrationRequest request = parseRegistration(QueryParameters(exchange.query().toByteArray()), options.maxValueLength);
    if (request.error != 0)
        return refuseRegistration(exchange, request.error);
    if (options.readOnly)
        return refuseRegistration(exchange, RegisterError::StorageReadOnly);
    if (m_hashes.pending() >= options.maxPendingHashes)
        return refuseRegistration(exchange, RegisterError::Busy);
    if (options.registrationsPerHour == 0)
        return hashNewAccount(exchange, request, QString());
    // The client's allowance is taken before any hashing: a flood from one
    // client costs the server a statement each, not a hash.
    const QString source = clientKey(exchange.client(), options.ipv6PrefixLength);
    const qint64 interval = registrationIntervalMs();
    const int burst = options.registrationsPerHour;
    auto allowed = std::make_shared<bool>(false);
    auto error = std::make_shared<QString>();
    m_registrations->run(
        [source, interval, burst, allowed, error](AccountStore &store) {
            const AccountStore::Result result =
                store.takeRegistrationSlot(source, QDateTime::currentMSecsSinceEpoch(), interval, burst, allowed.get());
            if (result != AccountStore::Result::Ok)
                *error = store.errorString();
            return result;
        },
        QDeadlineTimer(options.databaseWaitMs), this,
        [this, exchange, request, source, allowed, error](AccountStore::Result result) {
            if (result != AccountStore::Result::Ok)
                return storeFailed(exchange, result, *error);
            if (!*allowed)
                return refuseRegistration(exchange, RegisterError::TooManyFromClient,
                                          QStringLiteral("too many registrations from this client"));
            hashNewAccount(exchange, request, source);
        });
}

void LiveServer::Parts::hashNewAccount(const HttpExchange &exchange, const RegistrationRequest &request, const QString &slot)
{
    const HashCost cost = options.hashCost;
    m_hashes.start(
        [exchange] { return exchange.isGone(); }, [digest = request.digest, cost] { return hashPassword(digest, cost); },
        [this, exchange, request, slot](const QByteArray &hash) { store(exchange, request, hash, slot); },
        [this, slot] { giveBack(slot); });
}

void LiveServer::Parts::store(const HttpExchange &exchange, const RegistrationRequest &request, const QByteArray &hash,
                              const QString &slot)
{
    // Nobody is left to learn the login: an account now would be unreachable.
    if (exchange.isGone())
        return giveBack(slot);
    if (hash.isEmpty()) {
        giveBack(slot);
        return refuseRegistration(exchange, RegisterError::Internal, QStringLiteral("hashing failed"));
    }
    // Tried again only where it cannot make a second account: the stores say
    // Unavailable only when nothing was written.
    auto login = std::make_shared<qint64>(0);
    auto error = std::make_shared<QString>();
    const NewAccount account{request.details, request.news, hash, QDateTime::currentDateTimeUtc()};
    m_registrations->run(
        [account, login, error](AccountStore &store) {
            const AccountStore::Result result = store.addAccount(account, login.get());
            if (result != AccountStore::Result::Ok)
                *error = store.errorString();
            return result;
        },
        QDeadlineTimer(options.databaseWaitMs), this, [this, exchange, login, error, slot](AccountStore::Result result) {
            if (result == AccountStore::Result::Ok)
                return answer(exchange, HttpReply(200, QByteArray::number(*login), QLatin1String(m_registerPath)),
                              Outcome::Registered);
            giveBack(slot);
            storeFailed(exchange, result, *error);
        });
}

void LiveServer::Parts::giveBack(const QString &slot)
{
    // A registration that made no account does not count against its client.
    if (slot.isEmpty())
        return;
    m_registrations->post([slot, interval = registrationIntervalMs()](AccountStore &store) {
        store.returnRegistrationSlot(slot, interval);
    });
}
