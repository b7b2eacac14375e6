#pragma once

#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

// Password hashes for requests, on a pool of threads of their own so that the
// event loop keeps answering. A hash whose client has gone before it started
// is never started: it would hold a thread the next requests wait for, for an
// answer nobody reads.
class HashPool
{
public:
    // Results come back on context's thread, unless context has gone by then.
    explicit HashPool(QObject *context)
        : m_context(context)
    {}
    // Queued hashes are dropped; running ones end into the void.
    ~HashPool();
    HashPool(const HashPool &) = delete;
    HashPool &operator=(const HashPool &) = delete;

    // Hashes queued or running whose clients are still there: a load gauge,
    // and what a new request is refused by.
    int pending() const;
    // Hashes done, and the seconds they took, for the metrics.
    qint64 done() const { return m_done; }
    double seconds() const { return m_seconds; }

    // work() on the pool, then done(its result) on context's thread; or, when
    // gone() (asked on the pool's thread) says nobody waits any more as the hash
    // would start, dropped() on context's thread instead.
    template <typename Work, typename Done>
    void start(std::function<bool()> gone, Work work, Done done, std::function<void()> dropped);

private:
    struct Entry
    {
        std::function<bool()> gone;
        std::atomic<bool> running{false};
    };
    void remove(const Entry *entry);

    QObject *m_context;
    std::vector<std::shared_ptr<Entry>> m_entries; // queued or running
    qint64 m_done = 0;
    double m_seconds = 0;
    QThreadPool m_pool;
};

template <typename Work, typename Done>
void HashPool::start(std::function<bool()> gone, Work work, Done done, std::function<void()> dropped)
{
    const auto entry = std::make_shared<Entry>();
    entry->gone = std::move(gone);
    m_entries.push_back(entry);
    m_pool.start([this, entry, work, done, dropped = std::move(dropped)] {
        if (entry->gone()) {
            QMetaObject::invokeMethod(m_context, [this, entry, dropped] {
                remove(entry.get());
                dropped();
            }, Qt::QueuedConnection);
            return;
        }
        entry->running = true;
        QElapsedTimer clock;
        clock.start();
        auto result = work();
        QMetaObject::invokeMethod(m_context, [this, entry, done, result, took = clock.nsecsElapsed()] {
            remove(entry.get());
            ++m_done;
            m_seconds += double(took) / 1e9;
            done(result);
        }, Qt::QueuedConnection);
    });
}
