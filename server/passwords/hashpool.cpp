#include "server/passwords/hashpool.h"

#include <algorithm>

HashPool::~HashPool()
{
    m_pool.clear();
    m_pool.waitForDone();
}

int HashPool::pending() const
{
    return int(std::count_if(m_entries.cbegin(), m_entries.cend(),
                             [](const std::shared_ptr<Entry> &entry) { return entry->running || !entry->gone(); }));
}

void HashPool::remove(const Entry *entry)
{
    m_entries.erase(std::find_if(m_entries.begin(), m_entries.end(),
                                 [entry](const std::shared_ptr<Entry> &kept) { return kept.get() == entry; }));
}
