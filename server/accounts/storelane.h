#pragma once

#include "server/accounts/accountstore.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

// One AccountStore on a thread of its own, so that the event loop never waits
// on the database: jobs go to the thread, their results come back to the loop
// as queued calls. While the database is away, jobs wait for it, one look
// every 250 ms serving all of them, until their deadline; a job still running
// at its deadline is answered Unavailable on the loop, its late result dropped.
class StoreLane final : public QObject
{
    Q_OBJECT

public:
    using Job = std::function<AccountStore::Result(AccountStore &)>;
    using Done = std::function<void(AccountStore::Result)>;
    using Opener = std::function<std::unique_ptr<AccountStore>(QString *error)>;

    explicit StoreLane(const QString &name, QObject *parent = nullptr);
    // What was posted runs first; then the store closes on its thread.
    ~StoreLane() override;

    // Opens the store on the lane's thread, and waits for it: false with error.
    bool open(const Opener &opener, QString *error);
    // job(store) on the lane's thread, again while it answers Unavailable and
    // the deadline allows; then done(its result) on context's thread. A job
    // whose deadline passed before it could start is answered Unavailable untried.
    void run(Job job, QDeadlineTimer deadline, QObject *context, Done done);
    // work(store) on the lane's thread, nothing back: while the database is
    // away it is dropped.
    void post(std::function<void(AccountStore &)> work);

    // The lane's thread looks at the database at once.
    void lookNow();
    // What the lane's thread knows, read without asking the database: its last
    // look answered, and nothing has waited on it for longer than staleMs.
    bool answering(qint64 staleMs) const;
    // A statement waiting on the database for longer than ms is cut (see
    // AccountStore::interrupt): the thread goes back to reconnecting.
    void cutIfStuck(qint64 ms);
    // What went wrong last, as the store said it.
    QString lastError() const;
    qint64 errorCount() const;
    qint64 reconnectCount() const;

signals:
    // The database went away or came back, as this lane found it.
    void availabilityChanged(bool available);

private:
    class Worker;
    struct Shared;

    std::shared_ptr<Shared> m_shared;
    QThread m_thread;
    Worker *m_worker = nullptr; // lives on m_thread
};
