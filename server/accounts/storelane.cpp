#include "server/accounts/storelane.h"

#include <QDateTime>
#include <QMutex>
#include <QTimer>

#include <atomic>
#include <vector>

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

// What the loop may read of the lane's thread without waiting for it.
struct StoreLane::Shared
{
    std::atomic<qint64> busySince{0}; // 0: not waiting on the database
    std::atomic<bool> available{true};
    std::atomic<qint64> errors{0};
    std::atomic<qint64> reconnects{0};
    QMutex storeLock; // held by the thread while the store may be replaced
    AccountStore *store = nullptr;
    QMutex errorLock;
    QString error;
};

class StoreLane::Worker final : public QObject
{
public:
    Worker(StoreLane *lane, std::shared_ptr<Shared> shared)
        : m_lane(lane)
        , m_shared(std::move(shared))
    {
        // Children, so that they move to the lane's thread with the worker.
        m_look = new QTimer(this);
        m_look->setInterval(250);
        connect(m_look, &QTimer::timeout, this, &Worker::look);
        // A quiet database is looked at too, so that readiness never goes stale.
        m_idle = new QTimer(this);
        m_idle->setInterval(500);
        connect(m_idle, &QTimer::timeout, this, [this] {
            if (nowMs() - m_lastUse >= 500 && !m_look->isActive())
                look();
        });
    }

    bool open(const Opener &opener, QString *error)
    {
        std::unique_ptr<AccountStore> store = opener(error);
        if (!store)
            return false;
        const QMutexLocker lock(&m_shared->storeLock);
        m_store = std::move(store);
        m_shared->store = m_store.get();
        m_idle->start();
        return true;
    }

    void close()
    {
        m_look->stop();
        m_idle->stop();
        m_parked.clear();
        const QMutexLocker lock(&m_shared->storeLock);
        m_shared->store = nullptr;
        m_store.reset();
    }

    struct Pending
    {
        Job job;
        QDeadlineTimer deadline;
        std::function<void(AccountStore::Result)> finish; // posts the result to the loop
    };

    void execute(Pending pending)
    {
        if (!m_store)
            return;
        if (pending.deadline.hasExpired())
            return pending.finish(AccountStore::Result::Unavailable);
        if (!m_shared->available) // one look for all that wait, not one try each
            return park(std::move(pending));
        const AccountStore::Result result = timed([&] { return pending.job(*m_store); });
        if (result == AccountStore::Result::Unavailable) {
            changed(false);
            return park(std::move(pending));
        }
        changed(true);
        pending.finish(result);
    }

    void look()
    {
        if (!m_store)
            return;
        const bool back = timed([&] { return m_store->ping() ? AccountStore::Result::Ok : AccountStore::Result::Unavailable; })
            == AccountStore::Result::Ok;
        changed(back);
        for (Pending &pending : std::exchange(m_parked, {})) {
            if (back)
                execute(std::move(pending));
            else if (pending.deadline.hasExpired())
                pending.finish(AccountStore::Result::Unavailable);
            else
                m_parked.push_back(std::move(pending));
        }
        if (m_shared->available && m_parked.empty())
            m_look->stop();
        else if (!m_look->isActive())
            m_look->start();
    }

    void post(const std::function<void(AccountStore &)> &work)
    {
        if (m_store && m_shared->available)
            timed([&] { work(*m_store); return AccountStore::Result::Ok; });
    }

private:
    template <typename Call>
    AccountStore::Result timed(Call call)
    {
        m_shared->busySince = nowMs();
        const AccountStore::Result result = call();
        m_shared->busySince = 0;
        m_lastUse = nowMs();
        m_shared->errors = m_store->errorCount();
        if (result != AccountStore::Result::Ok && result != AccountStore::Result::NotFound) {
            const QMutexLocker lock(&m_shared->errorLock);
            m_shared->error = m_store->errorString();
        }
        m_shared->reconnects = m_store->reconnectCount();
        return result;
    }

    void park(Pending pending)
    {
        m_parked.push_back(std::move(pending));
        if (!m_look->isActive())
            m_look->start();
    }

    void changed(bool available)
    {
        if (m_shared->available.exchange(available) == available)
            return;
        QMetaObject::invokeMethod(m_lane, [lane = m_lane, available] { emit lane->availabilityChanged(available); },
                                  Qt::QueuedConnection);
    }

    StoreLane *m_lane;
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<AccountStore> m_store;
    std::vector<Pending> m_parked;
    QTimer *m_look;
    QTimer *m_idle;
    qint64 m_lastUse = 0;
};

StoreLane::StoreLane(const QString &name, QObject *parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
{
    m_thread.setObjectName(name);
    m_worker = new Worker(this, m_shared);
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

StoreLane::~StoreLane()
{
    // Queued after everything posted before; a statement stuck on a silent
    // database is cut rather than waited for.
    std::atomic<bool> closed{false};
    QMetaObject::invokeMethod(m_worker, [this, &closed] {
        m_worker->close();
        closed = true;
    }, Qt::QueuedConnection);
    while (!closed) {
        cutIfStuck(1000);
        QThread::msleep(20);
    }
    m_thread.quit();
    m_thread.wait();
}

bool StoreLane::open(const Opener &opener, QString *error)
{
    bool opened = false;
    QMetaObject::invokeMethod(m_worker, [&] { opened = m_worker->open(opener, error); }, Qt::BlockingQueuedConnection);
    return opened;
}

void StoreLane::run(Job job, QDeadlineTimer deadline, QObject *context, Done done)
{
    // Whichever comes first answers: the result, or the deadline on the loop.
    auto once = std::make_shared<Done>(std::move(done));
    const auto answer = [once](AccountStore::Result result) {
        if (*once)
            std::exchange(*once, {})(result);
    };
    QTimer::singleShot(std::max<qint64>(0, deadline.remainingTime()) + 50, context,
                       [answer] { answer(AccountStore::Result::Unavailable); });
    Worker::Pending pending{std::move(job), deadline, [context, answer](AccountStore::Result result) {
                                QMetaObject::invokeMethod(context, [answer, result] { answer(result); }, Qt::QueuedConnection);
                            }};
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, pending = std::move(pending)]() mutable {
        worker->execute(std::move(pending));
    }, Qt::QueuedConnection);
}

void StoreLane::lookNow()
{
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->look(); }, Qt::QueuedConnection);
}

void StoreLane::post(std::function<void(AccountStore &)> work)
{
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, work = std::move(work)] { worker->post(work); },
                              Qt::QueuedConnection);
}

bool StoreLane::answering(qint64 staleMs) const
{
    const qint64 since = m_shared->busySince;
    return m_shared->available && (since == 0 || nowMs() - since < staleMs);
}

void StoreLane::cutIfStuck(qint64 ms)
{
    const qint64 since = m_shared->busySince;
    if (since == 0 || nowMs() - since < ms)
        return;
    const QMutexLocker lock(&m_shared->storeLock);
    if (m_shared->store)
        m_shared->store->interrupt();
}

QString StoreLane::lastError() const
{
    const QMutexLocker lock(&m_shared->errorLock);
    return m_shared->error;
}

qint64 StoreLane::errorCount() const
{
    return m_shared->errors;
}

qint64 StoreLane::reconnectCount() const
{
    return m_shared->reconnects;
}
