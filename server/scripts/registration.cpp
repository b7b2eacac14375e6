#include "server/scripts/liverun.h"

#include "net/liveprotocol.h"

#include <QDateTime>

void LiveServer::Run::registration(quint64 id, const QueryParameters &query)
{
    const auto reject = [&](int code) { front->answer(id, 200, QByteArray::number(code)); };
    const RegistrationRequest request = parseRegistration(query, options.maxValueLength);
    if (request.error != 0)
        return reject(request.error);
    if (m_store->isReadOnly())
        return reject(RegisterError::StorageReadOnly);
    if (hashes.pending() >= options.maxPendingHashes)
        return reject(RegisterError::Busy);
    const HashCost cost = options.hashCost;
    m_waiting.insert(id);
    hashes.start(
        id, [digest = request.digest, cost] { return hashPassword(digest, cost); },
        [this, id, request](const QByteArray &hash) { registrationHashed(id, request, hash); }, [] {});
}

void LiveServer::Run::registrationHashed(quint64 id, const RegistrationRequest &request, const QByteArray &hash)
{
    // Nobody is left to learn the login: an account now would be unreachable.
    if (!m_waiting.remove(id))
        return;
    if (hash.isEmpty()) {
        front->note(id, QStringLiteral("hashing failed"));
        return front->answer(id, 200, QByteArray::number(RegisterError::Internal));
    }
    // Tried again only where it cannot make a second account: the stores say
    // Unavailable only when nothing was written.
    auto login = std::make_shared<qint64>(0);
    const NewAccount account{request.details, request.news, hash, QDateTime::currentDateTimeUtc()};
    whenAvailable(
        id, [this, account, login] { return m_store->addAccount(account, login.get()); },
        [this, id, login](AccountStore::Result result) { registered(id, result, *login); },
        QDeadlineTimer(options.databaseWaitMs));
}

void LiveServer::Run::registered(quint64 id, AccountStore::Result result, qint64 login)
{
    qint64 code = RegisterError::StorageFailure;
    switch (result) {
    case AccountStore::Result::Ok:
        code = login;
        break;
    case AccountStore::Result::ReadOnly:
        code = RegisterError::StorageReadOnly;
        break;
    case AccountStore::Result::Exhausted:
        code = RegisterError::NoLoginLeft;
        break;
    case AccountStore::Result::Gone:
        code = RegisterError::DatabaseGone;
        break;
    case AccountStore::Result::NotFound:
    case AccountStore::Result::Failed:
    case AccountStore::Result::Unavailable:
        break;
    }
    if (code <= 0)
        front->note(id, m_store->errorString());
    front->answer(id, 200, QByteArray::number(code));
}

