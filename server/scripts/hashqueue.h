#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QMetaObject>
#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

// Password hashes for requests, on a pool of their own so that the event loop
// keeps answering. A hash whose request has gone before it started is never
// started: it would hold a thread the next requests wait for, for an answer
// nobody reads.
class HashQueue
{
public:
    // Results come back on context's thread, unless context has gone by then.
    explicit HashQueue(QObject *context)
        : m_context(context)
    {}
    // Queued hashes are dropped; running ones end into the void.
    ~HashQueue();
    HashQueue(const HashQueue &) = delete;
    HashQueue &operator=(const HashQueue &) = delete;

    // Hashes queued or running whose requests are still there: a load gauge.
    int pending() const { return m_pending; }
    // Hashes done, and the seconds they took, for the metrics.
    qint64 done() const { return m_done; }
    double seconds() const { return m_seconds; }

    // work() on the pool, then done(its result) on context's thread; or, when
    // request id goes before its hash starts, dropped() instead, from gone().
    template <typename Work, typename Done>
    void start(quint64 id, Work work, Done done, std::function<void()> dropped);
    // Request id has gone: its hash is dropped unless it has started.
    void gone(quint64 id);

private:
    enum State { Queued, Running, Dropped };
    struct Entry
    {
        std::shared_ptr<std::atomic<int>> state;
        std::function<void()> dropped;
    };

    QObject *m_context;
    int m_pending = 0;
    qint64 m_done = 0;
    double m_seconds = 0;
    QHash<quint64, Entry> m_entries; // by request, until done or dropped
    QThreadPool m_pool;
};

template <typename Work, typename Done>
void HashQueue::start(quint64 id, Work work, Done done, std::function<void()> dropped)
{
    ++m_pending;
    const auto state = std::make_shared<std::atomic<int>>(Queued);
    m_entries.insert(id, {state, std::move(dropped)});
    m_pool.start([this, id, state, work, done] {
        int queued = Queued;
        if (!state->compare_exchange_strong(queued, Running))
            return;
        QElapsedTimer clock;
        clock.start();
        auto result = work();
        QMetaObject::invokeMethod(
            m_context,
            [this, id, done, result, took = clock.nsecsElapsed()] {
                --m_pending;
                ++m_done;
                m_seconds += double(took) / 1e9;
                m_entries.remove(id);
                done(result);
            },
            Qt::QueuedConnection);
    });
}
