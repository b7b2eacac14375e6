#include "server/scripts/liverun.h"

void LiveServer::Run::whenAvailable(quint64 id, const StoreCall &attempt, const StoreDone &done, QDeadlineTimer deadline)
{
    const AccountStore::Result result = attempt();
    if (result != AccountStore::Result::Unavailable) {
        databaseBack();
        return done(result);
    }
    databaseLost();
    if (deadline.hasExpired())
        return done(result);
    m_waiting.insert(id);
    m_parked.push_back({id, deadline, [=] { whenAvailable(id, attempt, done, deadline); }, done});
    if (!m_reconnect.isActive())
        m_reconnect.start();
}

void LiveServer::Run::retryParked()
{
    // One look for all that wait, not one reconnection each.
    const bool back = m_store->ping();
    for (Parked &parked : std::exchange(m_parked, {})) {
        if (!m_waiting.remove(parked.id)) {
            parked.done(AccountStore::Result::Failed);
        } else if (back) {
            parked.retry();
        } else if (parked.deadline.hasExpired()) {
            parked.done(AccountStore::Result::Unavailable);
        } else {
            m_waiting.insert(parked.id);
            m_parked.push_back(std::move(parked));
        }
    }
    if (m_parked.empty())
        m_reconnect.stop();
}

void LiveServer::Run::databaseLost()
{
    if (m_outage.isValid())
        return;
    m_outage.start();
    emit server->message(QStringLiteral("database unavailable, requests wait up to %1 ms for it: %2")
                             .arg(options.databaseWaitMs)
                             .arg(m_store->errorString()));
}

void LiveServer::Run::databaseBack()
{
    if (!m_outage.isValid())
        return;
    emit server->message(QStringLiteral("database back after %1 ms").arg(m_outage.elapsed()));
    m_outage.invalidate();
}

