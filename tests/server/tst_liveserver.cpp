#include "serverfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <unistd.h>

// Slow enough for other requests to be seen passing a hash in progress.
static const HashCost SlowCost = {4, 64 * 1024 * 1024};
static const QByteArray NoScript = "/VELKA/be/none.php";

class tst_LiveServer : public QObject
{
    Q_OBJECT
    LocalServer s;

    // A connection of its own, as any other program would open the file.
    QSqlQuery inspect(const QString &sql)
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("inspect"), false);
        if (!db.isValid()) {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inspect"));
            db.setDatabaseName(s.db);
        }
        if (!db.isOpen())
            db.open();
        QSqlQuery query(db);
        if (!query.exec(sql))
            qWarning() << sql << query.lastError().text();
        return query;
    }
    int accountCount()
    {
        QSqlQuery query = inspect(QStringLiteral("SELECT count(*) FROM accounts"));
        return query.next() ? query.value(0).toInt() : -1;
    }

private slots:
    void init()
    {
        s.fresh();
        QVERIFY(s.start());
    }
    void cleanup()
    {
        s.server.reset();
        QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
    }

    void signIn_data()
    {
        QTest::addColumn<QString>("query"); // {} is the registered login, {a} its digest
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("registered") << "l={}&p={a}" << QByteArray(LoginAccepted);
        QTest::newRow("spaces around login") << "l= {} &p={a}" << QByteArray(LoginAccepted);
        QTest::newRow("wrong digest") << "l={}&p=" + DigestB << QByteArray("0");
        QTest::newRow("upper-case digest") << "l={}&p=" + DigestA.toUpper() << QByteArray("0");
        QTest::newRow("unknown login") << "l=999&p={a}" << QByteArray("0");
        QTest::newRow("zero-padded login") << "l=0{}&p={a}" << QByteArray("0");
        QTest::newRow("login beyond int") << "l=4294967297&p={a}" << QByteArray("0");
        QTest::newRow("no login") << "p={a}" << QByteArray("0");
        QTest::newRow("no digest") << "l={}" << QByteArray("0");
    }
    void signIn()
    {
        QFETCH(QString, query);
        QCOMPARE(s.registerAccount(DigestA), 1);
        query.replace(QLatin1String("{}"), QLatin1String("1")).replace(QLatin1String("{a}"), DigestA);
        const Answer reply = s.get(QLatin1String(LiveScript::Login) + u'?' + query);
        QCOMPARE(reply.status, 200);
        QTEST(reply.body, "answer");
    }

    void registerRejected_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<int>("answer");
        for (int i = 0; i < 13; ++i) {
            QStringList values = registration(DigestA);
            values[i] = Absent;
            QTest::addRow("no %s", RegisterParam::Order[i]) << values << int(RegisterError::MissingParameter);
        }
        QStringList values = registration(DigestA, QString(256, u'é'));
        QTest::newRow("every detail at the limit") << values << 1;
        values[10] += u'x';
        QTest::newRow("ins one too long") << values << int(RegisterError::TooLong);
        values[11] = DigestA.toUpper();
        QTest::newRow("first fault decides") << values << int(RegisterError::TooLong);
        const auto with = [](int index, const QString &value) {
            QStringList values = registration(DigestA);
            values[index] = value;
            return values;
        };
        QTest::newRow("upper-case digest") << with(11, DigestA.toUpper()) << int(RegisterError::BadDigest);
        QTest::newRow("short digest") << with(11, DigestA.left(31)) << int(RegisterError::BadDigest);
        QTest::newRow("oversized digest") << with(11, QString(300, u'a')) << int(RegisterError::TooLong);
        QTest::newRow("news flag 2") << with(12, QStringLiteral("2")) << int(RegisterError::BadNewsFlag);
        QTest::newRow("news flag empty") << with(12, QString()) << int(RegisterError::BadNewsFlag);
        QTest::newRow("line break") << with(7, QStringLiteral("Paris%0Ax")) << int(RegisterError::ControlCharacter);
        QTest::newRow("tab") << with(0, QStringLiteral("M\t")) << int(RegisterError::ControlCharacter);
    }
    void registerRejected()
    {
        QFETCH(QStringList, values);
        QFETCH(int, answer);
        QCOMPARE(s.registerAccount(values), answer);
        QCOMPARE(accountCount(), answer > 0 ? 1 : 0);
    }

    void wrongPlaceOrMethod_data()
    {
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        const QString login = QStringLiteral("/VELKA/be/login.php?l=1&p=") + DigestA;
        QTest::newRow("other script") << QByteArray("GET") << "/VELKA/be/index.php" << 404;
        QTest::newRow("outside the directory") << QByteArray("GET") << "/login.php?l=1&p=" + DigestA << 404;
        QTest::newRow("below the directory") << QByteArray("GET") << "/VELKA/be/x/login.php" << 404;
        QTest::newRow("POST") << QByteArray("POST") << login << 405;
        QTest::newRow("PUT") << QByteArray("PUT") << "/VELKA/be/register.php" << 405;
        QTest::newRow("HEAD") << QByteArray("HEAD") << login << 405;
        QTest::newRow("doubled slashes") << QByteArray("GET") << "/VELKA//be//login.php?l=1&p=" + DigestA << 200;
    }
    void wrongPlaceOrMethod()
    {
        QFETCH(QByteArray, verb);
        QFETCH(QString, path);
        QFETCH(int, status);
        QTcpSocket socket;
        const Answer reply = send(socket, s.port(), request(path.toUtf8(), "Host: 127.0.0.1\r\n", verb));
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.head.contains("\r\nAllow: GET"), status == 405);
        QCOMPARE(reply.body, status == 200 ? QByteArray("0") : QByteArray());
    }

    // Bound parameters: quotes and SQL in every field are stored as sent.
    void valuesStoredVerbatim_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("statement breaker") << "'); DROP TABLE accounts; --";
        QTest::newRow("always true") << "\" OR 1=1 --";
        QTest::newRow("equals and spaces") << "a=b  c = d";
        QTest::newRow("percent, plus, backslash") << "100% a+b \\n";
        QTest::newRow("beyond Latin-1") << "Zoë Ångström 東京";
    }
    void valuesStoredVerbatim()
    {
        QFETCH(QString, value);
        QCOMPARE(s.registerAccount(registration(DigestA, value)), 1);
        QCOMPARE(s.signIn(1, DigestA), QByteArray(LoginAccepted));
        QCOMPARE(accountCount(), 1);
        QSqlQuery row = inspect(QStringLiteral("SELECT civ, lna, fna, ema, ma1, ma2, zip, tow, cou, pho, ins, news "
                                               "FROM accounts WHERE login = 1"));
        QVERIFY(row.next());
        for (int i = 0; i < 11; ++i)
            QCOMPARE(row.value(i).toString(), value);
        QCOMPARE(row.value(11).toInt(), 1);
    }

    void restartKeepsEveryAccount_data()
    {
        QTest::addColumn<bool>("killed");
        QTest::newRow("stopped") << false;
        QTest::newRow("killed") << true; // the shipped program, no chance to close the file
    }
    void restartKeepsEveryAccount()
    {
        QFETCH(bool, killed);
        ServerProcess child;
        if (killed) {
            s.server.reset();
            QVERIFY(child.start(QStringLiteral(VELKA_SERVER_EXE),
                                {QStringLiteral("--database"), s.db, QStringLiteral("--hash-cost"), QStringLiteral("minimum")}));
            QVERIFY2(QRegularExpression(QStringLiteral("^http://127.0.0.1:\\d+/VELKA/be/$")).match(child.base.toString()).hasMatch(),
                     qPrintable(child.base.toString()));
        }
        const QStringList digests = {DigestA, DigestB, DigestA};
        for (int i = 0; i < digests.size(); ++i) {
            QTcpSocket socket;
            const QString path = registrationPath(QStringLiteral("/VELKA/be/"), registration(digests[i]));
            QCOMPARE(send(socket, killed ? child.port() : s.port(), request(QUrl(path).toEncoded())).body,
                     QByteArray::number(i + 1));
        }
        child.kill();
        QVERIFY(s.start());
        for (int i = 0; i < digests.size(); ++i) {
            QCOMPARE(s.signIn(i + 1, digests[i]), QByteArray(LoginAccepted));
            QCOMPARE(s.signIn(i + 1, digests[i] == DigestA ? DigestB : DigestA), QByteArray("0"));
        }
        QCOMPARE(s.registerAccount(DigestB), 4);
    }

    void storedHashIsSaltedArgon2id()
    {
        QCOMPARE(s.registerAccount(DigestA), 1);
        QCOMPARE(s.registerAccount(DigestA), 2);
        QSqlQuery rows = inspect(QStringLiteral("SELECT pwhash FROM accounts"));
        QSet<QString> hashes; // one salt each: equal digests, distinct hashes
        while (rows.next() && rows.value(0).toString().startsWith(QLatin1String("$argon2id$")))
            hashes << rows.value(0).toString();
        QCOMPARE(hashes.size(), 2);
        // Nowhere in the files, whatever column or journal it might hide in.
        s.server.reset();
        for (const QString &suffix : {QString(), QStringLiteral("-wal")}) {
            QFile file(s.db + suffix);
            if (file.open(QIODevice::ReadOnly))
                QVERIFY(!file.readAll().contains(DigestA.toLatin1()));
        }
    }

    void readOnlyServesSignInsOnly()
    {
        QCOMPARE(s.registerAccount(DigestA), 1);
        QVERIFY(s.start([](LiveServerOptions &o) { o.readOnly = true; }));
        QCOMPARE(s.signIn(1, DigestA), QByteArray(LoginAccepted));
        QCOMPARE(s.registerAccount(DigestB), int(RegisterError::StorageReadOnly));
        QCOMPARE(accountCount(), 1);
    }

    void noLoginBeyondIntRange()
    {
        QCOMPARE(s.registerAccount(DigestA), 1);
        QCOMPARE(inspect(QStringLiteral("UPDATE sqlite_sequence SET seq = 2147483646")).numRowsAffected(), 1);
        QCOMPARE(s.registerAccount(DigestB), 2147483647);
        QCOMPARE(s.registerAccount(DigestB), int(RegisterError::NoLoginLeft));
        QCOMPARE(accountCount(), 2);
        QCOMPARE(s.signIn(2147483647, DigestB), QByteArray(LoginAccepted));
    }

    void hashRenewedAfterCostChange()
    {
        QCOMPARE(s.registerAccount(DigestA), 1);
        QVERIFY(s.start([](LiveServerOptions &o) { o.hashCost = {2, HashCost::minimum().memLimit}; }));
        QCOMPARE(s.signIn(1, DigestA), QByteArray(LoginAccepted));
        QSqlQuery row = inspect(QStringLiteral("SELECT pwhash FROM accounts"));
        QVERIFY(row.next());
        QVERIFY2(row.value(0).toString().contains(QLatin1String(",t=2,")), qPrintable(row.value(0).toString()));
        QCOMPARE(s.signIn(1, DigestA), QByteArray(LoginAccepted));
    }

    void answersWhileHashing()
    {
        QCOMPARE(s.registerAccount(DigestA), 1);
        QVERIFY(s.start([](LiveServerOptions &o) {
            o.hashCost = SlowCost;
            o.maxPendingHashes = 1;
            o.idleTimeoutMs = 50; // hashing outlasts it
        }));
        // A slow registration, then a quick request on the same connection that must not overtake it.
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, s.port());
        socket.write(request(QUrl(registrationPath(s.path(), registration(DigestB))).toEncoded())
                     + request("/VELKA/be/nothing.php"));
        QTRY_COMPARE(s.server->pendingHashes(), 1);
        // Other connections are served meanwhile; more hashing is refused, not queued.
        QCOMPARE(s.registerAccount(DigestB), RegisterError::Busy);
        QCOMPARE(s.get(signInPath({}, 1, DigestA)).status, 503);
        QCOMPARE(s.get(QStringLiteral("nothing.php")).status, 404);
        QCOMPARE(s.server->pendingHashes(), 1);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += socket.readAll()).count("HTTP/1.1 ") == 2, 20000);
        QVERIFY2(received.startsWith("HTTP/1.1 200 ") && received.contains("\r\n\r\n2HTTP/1.1 404 "),
                 received.constData());
    }

    void vanishedClientGetsNoAccount()
    {
        QVERIFY(s.start([](LiveServerOptions &o) { o.hashCost = SlowCost; }));
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, s.port());
        socket.write(request(QUrl(registrationPath(s.path(), registration(DigestA))).toEncoded()));
        QTRY_COMPARE(s.server->pendingHashes(), 1);
        socket.abort();
        QTRY_COMPARE(s.log.size(), 1);
        QVERIFY2(s.log[0].contains(QLatin1String(" - aborted ")), qPrintable(s.log[0]));
        QTRY_COMPARE_WITH_TIMEOUT(s.server->pendingHashes(), 0, 20000);
        QCOMPARE(accountCount(), 0);
    }

    void accessLogHidesSecrets()
    {
        QCOMPARE(s.registerAccount(DigestA), 1);
        s.signIn(1, DigestA);
        s.get(QStringLiteral("missing.php?p=") + DigestA);
        QCOMPARE(s.log.size(), 3);
        const QRegularExpression shape(QStringLiteral(R"(^\S+Z 127\.0\.0\.1:\d+ GET /VELKA/be/\S+ \d{3} \S+ \d+ms$)"));
        for (const QString &line : std::as_const(s.log)) {
            QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
            QVERIFY2(!line.contains(DigestA) && !line.contains(u'?') && !line.contains(QLatin1String("Dupont")),
                     qPrintable(line));
        }
        QVERIFY(s.log[0].contains(QLatin1String("/register.php 200 1 ")));
        QVERIFY(s.log[1].contains(QLatin1String("/login.php 200 1 ")));
        QVERIFY(s.log[2].contains(QLatin1String("/missing.php 404 - ")));
    }

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
        QTest::newRow("largest registration") << request(QUrl(largest).toEncoded()) << 200;
    }
    void refusedBeforeParsing()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, status);
        QVERIFY(s.start());
        QTcpSocket socket;
        const Answer answer = send(socket, s.port(), raw);
        QCOMPARE(answer.status, status);
        if (status == 200 || status == 404) { // accepted: the same connection serves another request
            QVERIFY(!answer.closed);
            QCOMPARE(send(socket, s.port(), request(NoScript)).status, 404);
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
        QCOMPARE(send(served, s.port(), request(NoScript)).status, 404);
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

    void connectionCap()
    {
        QVERIFY(s.start([](LiveServerOptions &o) { o.maxConnections = 2; }));
        QTcpSocket first, second;
        QCOMPARE(send(first, s.port(), request(NoScript)).status, 404);
        QCOMPARE(send(second, s.port(), request(NoScript)).status, 404);
        const Answer third = s.get(QStringLiteral("none.php"));
        QCOMPARE(third.status, 503);
        QVERIFY(third.closed);
        first.disconnectFromHost();
        QTRY_COMPARE(s.server->connectionCount(), 1);
        QCOMPARE(s.get(QStringLiteral("none.php")).status, 404);
        QCOMPARE(send(second, s.port(), request(NoScript)).status, 404);
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

QTEST_GUILESS_MAIN(tst_LiveServer)
#include "tst_liveserver.moc"
