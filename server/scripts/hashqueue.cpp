#include "server/scripts/hashqueue.h"

HashQueue::~HashQueue()
{
    m_pool.clear();
    m_pool.waitForDone();
}

void HashQueue::gone(quint64 id)
{
    const auto entry = m_entries.find(id);
    int queued = Queued;
    // Once started, a hash ends as it would have: its result tells the rest.
    if (entry == m_entries.end() || !entry->state->compare_exchange_strong(queued, Dropped))
        return;
    const std::function<void()> dropped = std::move(entry->dropped);
    m_entries.erase(entry);
    --m_pending;
    dropped();
}
