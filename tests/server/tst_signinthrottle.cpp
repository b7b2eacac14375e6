#include "server/accounts/storefactory.h"
#include "server/throttle/signincounts.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <limits>
#include <optional>

#include <sys/resource.h>

// An attempt at login 1 by a client at t ms, admitted with wait ms or (negative) refused with
// that many seconds of Retry-After, then ended as it says; a refusal ends nothing. Client '!'
// stops the SQLite file taking writes, '.' lets it take them again.
enum End { Failed, Accepted, Cancelled };
struct Attempt
{
    char client;
    qint64 t;
    qint64 wait;
    End end = Failed;
};
using Attempts = QList<Attempt>;
Q_DECLARE_METATYPE(Attempts)

static const ThrottlePolicy Policy = {.freeFailures = 5, .firstDelayMs = 1000, .maxDelayMs = 8000,
                                      .forgetAfterMs = 60000, .attackFailures = 12};
static constexpr qint64 Start = 1700000000000;

static Attempts failures(char client, int count) // free ones, at once
{
    return Attempts(count, {client, 0, 0});
}

// This process's writes to files refused, as a full file system refuses them: EFBIG, not a signal.
static void refuseWrites(bool refuse)
{
    static const rlimit initial = [] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {};
        getrlimit(RLIMIT_FSIZE, &limit);
        return limit;
    }();
    rlimit limit = initial;
    if (refuse)
        limit.rlim_cur = 0;
    setrlimit(RLIMIT_FSIZE, &limit);
}

// The count's rule, run in a server's memory and through the database, must answer alike.
class tst_SignInThrottle : public QObject
{
    Q_OBJECT

private slots:
    void rule_data()
    {
        QTest::addColumn<Attempts>("attempts");
        QTest::newRow("free, doubling up to the longest, then refused")
            << failures('a', 5) + Attempts{{'a', 5, 1000}, {'a', 2000, 2000}, {'a', 5000, 4000}, {'a', 10000, 8000},
                                           {'a', 19000, 8000}, {'a', 19000, -8}, {'a', 20000, -7}};
        QTest::newRow("parallel ones a delay apart")
            << failures('a', 5) + Attempts{{'a', 10, 1000}, {'a', 10, 3000}, {'a', 10, 7000}, {'a', 10, -7}};
        QTest::newRow("forgotten after a quiet spell") << failures('a', 5) + Attempts{{'a', 60000, 1000}, {'a', 120001, 0}};
        QTest::newRow("a login under attack") << failures('b', 5) + failures('c', 5) + failures('d', 2)
                                                      + Attempts{{'a', 1, 0}, {'a', 2, 1000}, {'e', 3, 0}};
        QTest::newRow("accepted starts the client afresh")
            << failures('a', 5) + Attempts{{'a', 10, 1000, Accepted}, {'a', 2000, 0}};
        QTest::newRow("cancelled taken back") << failures('a', 4) + Attempts{{'a', 1, 0, Cancelled}, {'a', 2, 0}, {'a', 3, 1000}};
        // Counted in memory meanwhile, then merged into the database with the next write.
        QTest::newRow("a database taking no writes") << Attempts{{'!', 0, 0}} + failures('a', 5)
                                                             + Attempts{{'a', 10, 1000}, {'a', 2000, 2000}, {'.', 0, 0},
                                                                        {'a', 5000, 4000}, {'a', 10000, 8000}};
    }
    void rule()
    {
        QFETCH(Attempts, attempts);
        QStringList expected;
        for (const Attempt &attempt : std::as_const(attempts))
            if (attempt.client != '!' && attempt.client != '.')
                expected << QString::number(attempt.wait);
        QTemporaryDir dir;
        QString error;
        const QString file = dir.filePath(QStringLiteral("accounts.sqlite"));
        const std::unique_ptr<AccountStore> sqlite = openAccountStore(file, false, true, &error),
                                            readOnly = openAccountStore(file, true, false, &error);
        QVERIFY2(sqlite && readOnly, qPrintable(error));
        // In memory: a read-only server's count. In a database: each attempt at a server of its
        // own (another one, or one restarted), except while this one holds what was not written.
        struct Path { const char *name; AccountStore *store; bool shared; };
        QList<Path> paths = {{"memory", readOnly.get(), false}, {"SQLite", sqlite.get(), true}};
        std::unique_ptr<AccountStore> postgres;
        if (const QString location = qEnvironmentVariable("VELKA_TEST_PG"); !location.isEmpty()) {
            QVERIFY2((postgres = openAccountStore(location, false, true, &error)), qPrintable(error));
            paths.append({"PostgreSQL", postgres.get(), true});
        }
        const auto restore = qScopeGuard([] { refuseWrites(false); });
        for (const Path &path : std::as_const(paths)) {
            QVERIFY(!path.shared || path.store->forgetSignIns(std::numeric_limits<qint64>::max()) == AccountStore::Result::Ok);
            std::optional<SignInCounts> counts;
            int said = 0;
            bool full = false, kept = false, wasFull = false;
            QStringList waits;
            for (const Attempt &attempt : std::as_const(attempts)) {
                if (attempt.client == '!' || attempt.client == '.') {
                    full = path.store == sqlite.get() && attempt.client == '!';
                    kept = kept || full;
                    wasFull = wasFull || full;
                    refuseWrites(full);
                    continue;
                }
                if (!counts || (path.shared && !kept))
                    counts.emplace(Policy, path.shared, [&](const QString &) { ++said; });
                const QString client(QChar::fromLatin1(attempt.client));
                const qint64 now = Start + attempt.t;
                Admission admission;
                QCOMPARE(counts->admit(*path.store, 1, client, now, &admission), AccountStore::Result::Ok);
                waits << QString::number(admission.at < 0 ? -admission.retryAfterSeconds : admission.at - now);
                if (admission.at >= 0 && attempt.end != Failed)
                    counts->ended(*path.store, 1, client, attempt.end == Accepted);
                kept = full;
            }
            QVERIFY2(waits == expected, qPrintable(QStringLiteral("%1: %2, not %3").arg(path.name, waits.join(' '), expected.join(' '))));
            QCOMPARE(said, wasFull ? 2 : 0); // one line as writing stops, one as it starts again
        }
    }
};

QTEST_GUILESS_MAIN(tst_SignInThrottle)
#include "tst_signinthrottle.moc"
