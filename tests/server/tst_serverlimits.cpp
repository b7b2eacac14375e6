#include "serverfixture.h"

#include <QElapsedTimer>
#include <QFile>

#include <unistd.h>

static const QByteArray NoScript = "/VELKA/be/none.php";

class tst_ServerLimits : public QObject
{
    Q_OBJECT
    LocalServer s;

    Answer send(QTcpSocket &socket, const QByteArray &raw) { return ::send(socket, s.port(), raw); }
    Answer exchange(const QByteArray &raw)
    {
        QTcpSocket socket;
        return send(socket, raw);
    }

private slots:
    void init() { s.fresh(); }
    void cleanup() { s.server.reset(); }

    void refusedBeforeParsing_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("status");
        const RequestLimits limits;
        const QByteArray atLimit = "/" + QByteArray(limits.maxRequestLine - 14, 'a'); // "GET " and " HTTP/1.1"
        QTest::newRow("request line at the limit") << request(atLimit) << 404;
        QTest::newRow("request line one byte over") << request(atLimit + 'a') << 414;
        QByteArray fields;
        for (int i = 0; i < limits.maxHeaderFields; ++i)
            fields += "X-" + QByteArray::number(i) + ": y\r\n";
        QTest::newRow("fields at the limit") << request(NoScript, fields) << 404;
        QTest::newRow("one field too many") << request(NoScript, fields + "Z: 1\r\n") << 431;
        QTest::newRow("fields over the byte limit")
            << request(NoScript, "X: " + QByteArray(limits.maxHeaderBytes, 'x') + "\r\n") << 431;
        QTest::newRow("body within the limit") << request(NoScript, "Content-Length: 5\r\n") + "abcde" << 404;
        QTest::newRow("body too large")
            << request(NoScript, "Content-Length: " + QByteArray::number(limits.maxBody + 1) + "\r\n") << 413;
        QTest::newRow("body of unknown length") << request(NoScript, "Transfer-Encoding: chunked\r\n") << 411;
        QTest::newRow("two lengths") << request(NoScript, "Content-Length: 1\r\nContent-Length: 2\r\n") + "ab" << 400;
        QTest::newRow("length not a number") << request(NoScript, "Content-Length: 1x\r\n") << 400;
        QTest::newRow("unknown method") << QByteArray("BREW /VELKA/be/login.php HTTP/1.1\r\n\r\n") << 501;
        QTest::newRow("tunnel") << QByteArray("CONNECT 127.0.0.1:22 HTTP/1.1\r\n\r\n") << 501;
        QTest::newRow("no version") << QByteArray("GET /VELKA/be/login.php\r\n\r\n") << 400;
        QTest::newRow("HTTP/2 preface") << QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") << 400;
        QTest::newRow("space in the target") << QByteArray("GET /a b HTTP/1.1\r\n\r\n") << 400;
        QTest::newRow("field without colon") << request(NoScript, "Host 127.0.0.1\r\n") << 400;
        QTest::newRow("folded field") << request(NoScript, "X: a\r\n b\r\n") << 400;
        QTest::newRow("control character in a value") << request(NoScript, QByteArray("X: a\0b\r\n", 8)) << 400;
        QTest::newRow("bare carriage return") << request(NoScript, "X: a\rb\r\n") << 400;
        QTest::newRow("TLS on the plain port") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) << 0;
        QTest::newRow("endless empty lines") << QByteArray(20, '\n') + request(NoScript) << 400;
        // The largest registration the client can send gets through the default limits.
        const QString largest = registrationPath(QStringLiteral("/VELKA/be/"), registration(DigestA, QString(256, QChar(0x6771))));
        QTest::newRow("largest registration") << request(encodeTarget(largest)) << 200;
    }
    void refusedBeforeParsing()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, status);
        QVERIFY(s.start());
        QTcpSocket socket;
        const Answer answer = send(socket, raw);
        QCOMPARE(answer.status, status);
        if (status == 200 || status == 404) { // accepted: the same connection serves another request
            QVERIFY(!answer.closed);
            QCOMPARE(send(socket, request(NoScript)).status, 404);
            QCOMPARE(answer.body, status == 200 ? QByteArray("1") : QByteArray());
            return;
        }
        // Refused: said so (unless nothing was readable), closed, logged, and nothing reached the scripts.
        QVERIFY2(status == 0 || answer.head.contains("\r\nConnection: close"), answer.head.constData());
        QVERIFY(answer.closed);
        QTRY_COMPARE(s.log.size(), 1);
        QVERIFY2(s.log[0].contains(QStringLiteral(" - - %1 ").arg(status ? status : 400)), qPrintable(s.log[0]));
    }

    void idleConnectionClosed()
    {
        QVERIFY(s.start([](LiveServerOptions &o) { o.idleTimeoutMs = 200; }));
        QTcpSocket silent;
        silent.connectToHost(QHostAddress::LocalHost, s.port());
        QTcpSocket served;
        QCOMPARE(send(served, request(NoScript)).status, 404);
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(served.state(), QAbstractSocket::UnconnectedState, 10000);
        QTRY_COMPARE(s.server->connectionCount(), 0);
    }

    void tricklingRequestTimesOut()
    {
        QVERIFY(s.start([](LiveServerOptions &o) { o.idleTimeoutMs = 300; }));
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, s.port());
        QTRY_COMPARE(socket.state(), QAbstractSocket::ConnectedState);
        socket.write("GET /VELKA/be/none.php HTTP/1.1\r\n");
        // One field every 50 ms: never idle for long, never done.
        int sent = 0;
        QTimer trickle;
        connect(&trickle, &QTimer::timeout, this, [&] {
            if (socket.state() == QAbstractSocket::ConnectedState && ++sent < 400)
                socket.write("X-Slow: 1\r\n");
        });
        trickle.start(50);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += socket.readAll()).startsWith("HTTP/1.1 408 "), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);
        QVERIFY2(sent < 400, "timed out only when the trickle stopped");
    }

    void hashingOutlastsIdleTimeout()
    {
        QVERIFY(s.start([](LiveServerOptions &o) {
            o.idleTimeoutMs = 50;
            o.hashCost = {4, 64 * 1024 * 1024}; // several times the timeout
        }));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(s.registerAccount(DigestA), 1);
        QVERIFY(clock.elapsed() > 50);
    }

    void connectionCap()
    {
        QVERIFY(s.start([](LiveServerOptions &o) { o.maxConnections = 2; }));
        QTcpSocket first, second;
        QCOMPARE(send(first, request(NoScript)).status, 404);
        QCOMPARE(send(second, request(NoScript)).status, 404);
        const Answer third = exchange(request(NoScript));
        QCOMPARE(third.status, 503);
        QVERIFY(third.closed);
        first.disconnectFromHost();
        QTRY_COMPARE(s.server->connectionCount(), 1);
        QCOMPARE(exchange(request(NoScript)).status, 404);
        QCOMPARE(send(second, request(NoScript)).status, 404);
    }

    void failedSignInsSlowedDown()
    {
        QVERIFY(s.start([](LiveServerOptions &o) {
            o.signInThrottle.freeFailures = 2;
            o.signInThrottle.firstDelayMs = 300;
        }));
        QCOMPARE(s.registerAccount(DigestA), 1);
        QCOMPARE(s.registerAccount(DigestA), 2);
        QCOMPARE(s.signIn(1, DigestB), QByteArray("0"));
        QCOMPARE(s.signIn(1, DigestB), QByteArray("0"));
        // The third guess waits; another login meanwhile does not.
        QTcpSocket slowed;
        slowed.connectToHost(QHostAddress::LocalHost, s.port());
        QTRY_COMPARE(slowed.state(), QAbstractSocket::ConnectedState);
        QElapsedTimer clock;
        clock.start();
        slowed.write(request(signInPath(s.path(), 1, DigestB).toUtf8()));
        QCOMPARE(s.signIn(2, DigestA), QByteArray(LoginAccepted));
        QCOMPARE(slowed.bytesAvailable(), 0);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += slowed.readAll()).endsWith("\r\n\r\n0"), 10000);
        QVERIFY(clock.elapsed() >= 300);
        // The right password still gets in after its wait, and starts the count again.
        clock.restart();
        QCOMPARE(s.signIn(1, DigestA), QByteArray(LoginAccepted));
        QVERIFY(clock.elapsed() >= 600);
        QCOMPARE(s.signIn(1, DigestB), QByteArray("0"));
        QCOMPARE(s.log.filter(QLatin1String("slowed down")).size(), 2);
    }

    void parallelGuessesRefused()
    {
        QVERIFY(s.start([](LiveServerOptions &o) {
            o.signInThrottle.freeFailures = 2;
            o.signInThrottle.firstDelayMs = 200;
            o.signInThrottle.maxDelayMs = 1000;
        }));
        QCOMPARE(s.registerAccount(DigestA), 1);
        // Many connections, one login: beyond the longest wait they are turned away.
        QStringList guesses;
        for (int i = 0; i < 16; ++i)
            guesses << signInPath(s.path(), 1, digestOf(i));
        int refusals = 0, answers = 0;
        QVERIFY(HttpLoad().run({s.port()}, 16, guesses, [&](qsizetype, int status, const QByteArray &body) {
            refusals += status == 503;
            answers += status == 200 && body == "0";
        }));
        QCOMPARE(refusals + answers, guesses.size());
        QVERIFY(answers >= 2);
        QVERIFY(refusals >= guesses.size() / 2);
        QCOMPARE(s.log.filter(QLatin1String(" 503 - ")).size(), refusals);
    }

    void fullDiskAnswersCode()
    {
        // A real full file system: a small tmpfs, which only root may mount.
        QTemporaryDir mount;
        if (geteuid() != 0
            || QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                           QStringLiteral("size=1m"), QStringLiteral("tmpfs"), mount.path()}))
            QSKIP("needs root and mount for a small file system to fill");
        const auto unmount = qScopeGuard([&] {
            s.server.reset();
            QProcess::execute(QStringLiteral("umount"), {mount.path()});
        });
        s.db = mount.filePath(QStringLiteral("accounts.sqlite"));
        QVERIFY(s.start());
        QCOMPARE(s.registerAccount(DigestA), 1);
        QFile filler(mount.filePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        for (int i = 0; i < 1024 && filler.write(block) == block.size() && filler.flush(); ++i) {
        }
        filler.close();
        qint64 code = 0;
        for (int i = 0; i < 20 && code >= 0; ++i) // the WAL may hold a little room still
            code = s.registerAccount(DigestB);
        QCOMPARE(code, qint64(RegisterError::StorageReadOnly));
        QCOMPARE(s.signIn(1, DigestA), QByteArray(LoginAccepted));
        // Room again: served again, without a restart.
        QVERIFY(filler.remove());
        QVERIFY(s.registerAccount(DigestB) > 1);
    }
};

QTEST_GUILESS_MAIN(tst_ServerLimits)
#include "tst_serverlimits.moc"
