#include "serverfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

#include <unistd.h>

static const QByteArray NoScript = "/VELKA/be/none.php";
static const QByteArray Yes = LoginAccepted, No = "0";

class tst_LiveServer : public QObject
{
    Q_OBJECT
    std::optional<LocalServer> s;

    static int accountCount() { return sqlValue("SELECT count(*) FROM accounts"); }

private slots:
    void init()
    {
        s.emplace();
        QVERIFY(s->start());
        // A connection of the test's own, as any other program would open the file.
        QSqlDatabase::addDatabase("QSQLITE", "inspect").setDatabaseName(s->options.database);
    }
    void cleanup()
    {
        QSqlDatabase::removeDatabase("inspect");
        s.reset();
    }

    void signIn_data()
    {
        QTest::addColumn<QString>("query"); // login 1 holds DigestA
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("registered") << "l=1&p=" + DigestA << Yes;
        QTest::newRow("spaces around login") << "l= 1 &p=" + DigestA << Yes;
        QTest::newRow("wrong digest") << "l=1&p=" + DigestB << No;
        QTest::newRow("upper-case digest") << "l=1&p=" + DigestA.toUpper() << No;
        QTest::newRow("unknown login") << "l=999&p=" + DigestA << No;
        QTest::newRow("zero-padded login") << "l=01&p=" + DigestA << No;
        QTest::newRow("login beyond int") << "l=4294967297&p=" + DigestA << No;
        QTest::newRow("no login") << "p=" + DigestA << No;
        QTest::newRow("no digest") << QStringLiteral("l=1") << No;
    }
    // And what the access log keeps of it: a line a request, no query, no digest, no detail.
    void signIn()
    {
        QFETCH(QString, query);
        QFETCH(QByteArray, answer);
        QCOMPARE(s->registerAccount(DigestA), 1);
        const Answer reply = s->get(target("login.php?" + query));
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.body, answer);
        QCOMPARE(s->log.size(), 2);
        const QRegularExpression shape(R"(^\S+Z 127\.0\.0\.1:\d+ GET /VELKA/be/(register|login)\.php 200 \d+ \d+ms$)");
        for (const QString &line : std::as_const(s->log))
            QVERIFY2(shape.match(line).hasMatch() && !line.contains(DigestA) && !line.contains(u'?') && !line.contains("Dupont"),
                     qPrintable(line));
        QVERIFY2(s->log[1].contains(" 200 " + answer + ' '), qPrintable(s->log[1]));
    }

    // Accepted values are stored as sent, quotes and SQL included; refused ones store nothing.
    void registerValues_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<int>("answer");
        for (const char *value : {"'); DROP TABLE accounts; --", "\" OR 1=1 --", "a=b  c = d", "100% a+b \\n", "Zoë Ångström 東京"})
            QTest::addRow("%s", value) << registration(DigestA, QString::fromUtf8(value)) << 1;
        const auto with = [](int index, const QString &value, const QString &detail = QStringLiteral("Dupont")) {
            QStringList values = registration(DigestA, detail);
            values[index] = value;
            return values;
        };
        for (int i = 0; i < 13; ++i)
            QTest::addRow("no %s", RegisterParam::Order[i]) << with(i, QString()) << int(RegisterError::MissingParameter);
        // The largest registration the client can send: every detail at the limit, nine bytes a character encoded.
        QTest::newRow("every detail at the limit") << registration(DigestA, QString(256, QChar(0x6771))) << 1;
        QTest::newRow("ins one too long") << with(10, QString(257, u'é'), QString(256, u'é')) << int(RegisterError::TooLong);
        QTest::newRow("first fault decides") << with(11, DigestA.toUpper(), QString(257, u'é')) << int(RegisterError::TooLong);
        QTest::newRow("upper-case digest") << with(11, DigestA.toUpper()) << int(RegisterError::BadDigest);
        QTest::newRow("short digest") << with(11, DigestA.left(31)) << int(RegisterError::BadDigest);
        QTest::newRow("oversized digest") << with(11, QString(300, u'a')) << int(RegisterError::TooLong);
        QTest::newRow("news flag 2") << with(12, QStringLiteral("2")) << int(RegisterError::BadNewsFlag);
        QTest::newRow("news flag empty") << with(12, QStringLiteral("")) << int(RegisterError::BadNewsFlag);
        QTest::newRow("line break") << with(7, QStringLiteral("Paris%0Ax")) << int(RegisterError::ControlCharacter);
        QTest::newRow("tab") << with(0, QStringLiteral("M\t")) << int(RegisterError::ControlCharacter);
    }
    void registerValues()
    {
        QFETCH(QStringList, values);
        QFETCH(int, answer);
        QCOMPARE(s->registerAccount(values), answer);
        QSqlQuery row(QSqlDatabase::database("inspect"));
        QVERIFY(row.exec("SELECT civ, lna, fna, ema, ma1, ma2, zip, tow, cou, pho, ins, news FROM accounts"));
        QCOMPARE(row.next(), answer > 0);
        for (int i = 0; answer > 0 && i < 12; ++i)
            QCOMPARE(row.value(i).toString(), values[i < 11 ? i : 12]);
        QVERIFY(!row.next());
        QCOMPARE(s->signIn(1, DigestA), answer > 0 ? Yes : No);
    }

    // Accounts outlive the server; of a password only a salted Argon2id hash is kept, renewed with the cost.
    void storedAccounts()
    {
        const QStringList digests = {DigestA, DigestB, DigestA};
        for (int i = 0; i < digests.size(); ++i)
            QCOMPARE(s->registerAccount(digests[i]), i + 1);
        QCOMPARE(sqlValue("SELECT count(DISTINCT pwhash) FROM accounts WHERE pwhash LIKE '$argon2id$%'"), 3);
        const QString renewed = QStringLiteral("SELECT count(*) FROM accounts WHERE pwhash LIKE '%,t=2,%'");
        QCOMPARE(sqlValue(renewed), 0);
        s->server.reset();
        for (const char *suffix : {"", "-wal"}) { // whatever column or journal it might hide in
            QFile file(s->options.database + suffix);
            QVERIFY(!file.open(QIODevice::ReadOnly) || !file.readAll().contains(DigestA.toLatin1()));
        }
        s->options.hashCost = {2, HashCost::minimum().memLimit};
        QVERIFY(s->start());
        for (int i = 0; i < digests.size(); ++i) {
            QCOMPARE(s->signIn(i + 1, digests[i]), Yes);
            QCOMPARE(s->signIn(i + 1, digests[i] == DigestA ? DigestB : DigestA), No);
        }
        QCOMPARE(sqlValue(renewed), 3);
        QCOMPARE(s->signIn(1, DigestA), Yes);
        // Logins end where the client's int does.
        QCOMPARE(sqlValue("UPDATE sqlite_sequence SET seq = 2147483646"), 0);
        QCOMPARE(s->registerAccount(DigestB), 2147483647);
        QCOMPARE(s->registerAccount(DigestB), RegisterError::NoLoginLeft);
        QCOMPARE(s->signIn(2147483647, DigestB), Yes);
        // Read-only: sign-ins served, registrations refused.
        s->options.readOnly = true;
        QVERIFY(s->start());
        QCOMPARE(s->signIn(1, DigestA), Yes);
        QCOMPARE(s->registerAccount(DigestB), RegisterError::StorageReadOnly);
        QCOMPARE(accountCount(), 4);
    }

    void fullDiskAnswersCode()
    {
        QTemporaryDir mount; // a real full file system: a small tmpfs, which only root may mount
        if (geteuid() != 0 || QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", mount.path()}))
            QSKIP("needs root and mount for a small file system to fill");
        const auto unmount = qScopeGuard([&] { s->server.reset(); QProcess::execute("umount", {mount.path()}); });
        s->options.database = mount.filePath("accounts.sqlite");
        QVERIFY(s->start());
        QCOMPARE(s->registerAccount(DigestA), 1);
        QFile filler(mount.filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        filler.write(QByteArray(1 << 20, 'x')); // as much as there is room for
        filler.close();
        qint64 code = 0;
        for (int i = 0; i < 20 && code >= 0; ++i) // the WAL may hold a little room still
            code = s->registerAccount(DigestB);
        QCOMPARE(code, RegisterError::StorageReadOnly);
        QCOMPARE(s->signIn(1, DigestA), Yes);
        QVERIFY(filler.remove()); // room again: served again, without a restart
        QVERIFY(s->registerAccount(DigestB) > 1);
    }

    // Hashing runs beside the event loop: other connections are served meanwhile, more hashing is
    // refused rather than queued, and an account whose client went away is not made.
    void answersWhileHashing()
    {
        QCOMPARE(s->registerAccount(DigestA), 1);
        s->options.hashCost = {4, 64 * 1024 * 1024}; // slow enough to be seen in progress
        s->options.maxPendingHashes = 2;
        s->options.idleTimeoutMs = 250; // hashing outlasts it; shorter turns away a request a busy machine reads late
        QVERIFY(s->start());
        // A slow registration, then a quick request on the same connection that must not overtake it.
        QTcpSocket socket, vanishing;
        for (QTcpSocket *client : {&socket, &vanishing})
            client->connectToHost(QHostAddress::LocalHost, s->port());
        socket.write(request(registerTarget(registration(DigestB))) + request(NoScript));
        vanishing.write(request(registerTarget(registration(DigestA))));
        QTRY_COMPARE(s->server->pendingHashes(), 2);
        vanishing.abort();
        QCOMPARE(s->registerAccount(DigestB), RegisterError::Busy);
        QCOMPARE(s->get(signInTarget(1, DigestA)).status, 503);
        QCOMPARE(s->get(NoScript).status, 404);
        QCOMPARE(s->server->pendingHashes(), 2);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += socket.readAll()).count("HTTP/1.1 ") == 2, 20000);
        QVERIFY2(received.startsWith("HTTP/1.1 200 ") && received.contains("\r\n\r\n2HTTP/1.1 404 "), received.constData());
        QTRY_COMPARE_WITH_TIMEOUT(s->server->pendingHashes(), 0, 20000);
        QCOMPARE(s->log.filter(" - aborted ").size(), 1);
        QCOMPARE(accountCount(), 2);
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("status"); // 0: closed with no answer
        const auto row = [](const char *name, const QByteArray &raw, int status) { QTest::newRow(name) << raw << status; };
        const QByteArray login = "/VELKA/be/login.php?l=1&p=" + DigestA.toLatin1(), host = "Host: 127.0.0.1\r\n";
        row("other script", request("/VELKA/be/index.php"), 404);
        row("outside the directory", request("/login.php?l=1&p=" + DigestA.toLatin1()), 404);
        row("below the directory", request("/VELKA/be/x/login.php"), 404);
        row("doubled slashes", request("/VELKA//be//login.php?l=1&p=" + DigestA.toLatin1()), 200);
        row("POST", request(login, host, "POST"), 405);
        row("PUT", request("/VELKA/be/register.php", host, "PUT"), 405);
        row("HEAD", request(login, host, "HEAD"), 405);
        const RequestLimits limits;
        const QByteArray atLimit = "/" + QByteArray(limits.maxRequestLine - 14, 'a'); // "GET " and " HTTP/1.1"
        row("request line at the limit", request(atLimit), 404);
        row("request line one byte over", request(atLimit + 'a'), 414);
        QByteArray fields;
        for (int i = 0; i < limits.maxHeaderFields; ++i)
            fields += "X-" + QByteArray::number(i) + ": y\r\n";
        row("fields at the limit", request(NoScript, fields), 404);
        row("one field too many", request(NoScript, fields + "Z: 1\r\n"), 431);
        row("fields over the byte limit", request(NoScript, "X: " + QByteArray(limits.maxHeaderBytes, 'x') + "\r\n"), 431);
        row("body within the limit", request(NoScript, "Content-Length: 5\r\n") + "abcde", 404);
        row("body too large", request(NoScript, "Content-Length: " + QByteArray::number(limits.maxBody + 1) + "\r\n"), 413);
        row("body of unknown length", request(NoScript, "Transfer-Encoding: chunked\r\n"), 411);
        row("two lengths", request(NoScript, "Content-Length: 1\r\nContent-Length: 2\r\n") + "ab", 400);
        row("length not a number", request(NoScript, "Content-Length: 1x\r\n"), 400);
        row("unknown method", "BREW /VELKA/be/login.php HTTP/1.1\r\n\r\n", 405);
        row("tunnel", "CONNECT 127.0.0.1:22 HTTP/1.1\r\n\r\n", 404);
        row("no version", "GET /VELKA/be/login.php\r\n\r\n", 400);
        row("HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 400);
        row("space in the target", "GET /a b HTTP/1.1\r\n\r\n", 400);
        row("field without colon", request(NoScript, "Host 127.0.0.1\r\n"), 400);
        row("folded field", request(NoScript, "X: a\r\n b\r\n"), 400);

        row("TLS on the plain port", QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), 0);
        row("blank lines before", QByteArray(20, '\n') + request(NoScript), 404);
    }
    void requests()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, status);
        QTcpSocket socket;
        const Answer answer = send(socket, s->port(), raw);
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.body, status == 200 ? No : QByteArray());
        QCOMPARE(answer.head.contains("\r\nAllow: GET"), status == 405);
        if (status == 200 || status == 404 || status == 405) { // reached the scripts: the connection serves on
            QVERIFY(!answer.closed);
            QCOMPARE(send(socket, s->port(), request(NoScript)).status, 404);
            return;
        }
        // Refused: said so (unless nothing was readable), closed, logged, and nothing reached the scripts.
        QVERIFY2(status == 0 || answer.head.contains("\r\nConnection: close"), answer.head.constData());
        QVERIFY(answer.closed);
        QTRY_COMPARE(s->log.size(), 1);
        QVERIFY2(s->log[0].contains(QStringLiteral(" - - %1 ").arg(status ? status : 400)), qPrintable(s->log[0]));
    }

    // Silent connections, served ones left open, requests that never end: all closed in time;
    // connections beyond the cap are turned away.
    void connectionLimits()
    {
        s->options.idleTimeoutMs = 500;
        s->options.maxConnections = 2;
        QVERIFY(s->start());
        QTcpSocket silent, served, trickling;
        silent.connectToHost(QHostAddress::LocalHost, s->port());
        QCOMPARE(send(served, s->port(), request(NoScript)).status, 404);
        const Answer third = s->get(NoScript);
        QVERIFY(third.status == 503 && third.closed);
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(served.state(), QAbstractSocket::UnconnectedState, 10000);
        QTRY_COMPARE(s->server->connectionCount(), 0);
        // One field every 50 ms: never idle for long, never done.
        trickling.connectToHost(QHostAddress::LocalHost, s->port());
        trickling.write("GET /VELKA/be/none.php HTTP/1.1\r\n");
        QByteArray received;
        for (int sent = 0; trickling.state() != QAbstractSocket::UnconnectedState; ++sent) {
            QVERIFY2(sent < 60, "still open after 3 s of trickling");
            trickling.write("X-Slow: 1\r\n");
            QTest::qWait(50);
            received += trickling.readAll();
        }
        QVERIFY2(received.startsWith("HTTP/1.1 408 "), received.constData());
    }

    // Failed sign-ins for one login slow its next ones down, and guesses in parallel are turned away.
    void failedSignInsSlowedDown()
    {
        s->options.signInThrottle = {.freeFailures = 2, .firstDelayMs = 200, .maxDelayMs = 700};
        QVERIFY(s->start());
        QCOMPARE(s->registerAccount(DigestA), 1);
        QCOMPARE(s->registerAccount(DigestA), 2);
        QCOMPARE(s->signIn(1, DigestB), No);
        QCOMPARE(s->signIn(1, DigestB), No);
        // The third guess waits; another login meanwhile does not.
        QElapsedTimer clock;
        clock.start();
        QTcpSocket slowed;
        slowed.connectToHost(QHostAddress::LocalHost, s->port());
        slowed.write(request(signInTarget(1, DigestB)));
        QCOMPARE(s->signIn(2, DigestA), Yes);
        QCOMPARE(slowed.bytesAvailable(), 0);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += slowed.readAll()).endsWith("\r\n\r\n0"), 10000);
        QVERIFY(clock.elapsed() >= 200);
        // The right password still gets in after its wait, and starts the count again.
        clock.restart();
        QCOMPARE(s->signIn(1, DigestA), Yes);
        QVERIFY(clock.elapsed() >= 400);
        QCOMPARE(s->log.filter("slowed down").size(), 2);
        // Many at once: those that would wait beyond the longest delay are refused.
        QList<QByteArray> guesses;
        for (int i = 0; i < 16; ++i)
            guesses << signInTarget(1, digestOf(i));
        int refusals = 0, answers = 0;
        QCOMPARE(load({s->port()}, 16, guesses, [&](qsizetype, int status, const QByteArray &body) {
            refusals += status == 503;
            answers += status == 200 && body == No;
            return true;
        }), guesses.size());
        QVERIFY(answers >= 2 && refusals >= guesses.size() / 2);
        QCOMPARE(refusals + answers, guesses.size());
        QCOMPARE(s->log.filter(" 503 - ").size(), refusals);
    }
};

QTEST_GUILESS_MAIN(tst_LiveServer)
#include "tst_liveserver.moc"
