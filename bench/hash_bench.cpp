// Password checks per second at a hash cost, on as many threads as the
// server's hashing pool has: the ceiling of sign-ins at that cost.
#include "server/passwords/passwordhash.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString level = argc > 1 ? QString::fromLatin1(argv[1]) : QStringLiteral("interactive");
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    bool known = false;
    const HashCost cost = HashCost::fromName(level, &known);
    if (!known || !initPasswordHashing())
        return 2;
    const QByteArray secret = "0cc175b9c0f1b6a831c399e269772661";
    const QByteArray stored = hashPassword(secret, cost);

    const int threads = QThread::idealThreadCount();
    std::atomic<long> checks {0};
    QElapsedTimer clock;
    clock.start();
    QThreadPool pool;
    for (int t = 0; t < threads; ++t) {
        pool.start([&] {
            while (clock.elapsed() < qint64(seconds * 1000)) {
                if (verifyPassword(stored, secret))
                    ++checks;
            }
        });
    }
    pool.waitForDone();
    const double rate = double(checks) / (double(clock.elapsed()) / 1000.0);
    std::printf("hash cost=%s ops=%llu mem_kib=%zu threads=%d checks_per_s=%.2f ms_per_check=%.1f\n",
                qPrintable(level), cost.opsLimit, cost.memLimit / 1024, threads, rate, 1000.0 * threads / rate);
    return 0;
}
