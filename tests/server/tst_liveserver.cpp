#include "serverfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

#include <cstdio>
#include <unistd.h>

static const QByteArray Yes = LoginAccepted, No = "0";
static const QString NoScript = QStringLiteral("none.php");

static QByteArray request(const QByteArray &target, const QByteArray &fields = {}, const QByteArray &verb = "GET")
{
    return verb + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields + "\r\n";
}

class tst_LiveServer : public QObject
{
    Q_OBJECT
    std::optional<LocalServer> s;

private slots:
    void init()
    {
        s.emplace();
        QVERIFY(s->start());
        QVERIFY(inspect(s->options.database));
    }
    void cleanup() { QSqlDatabase::removeDatabase("inspect"); s.reset(); }

    void signIn_data()
    {
        QTest::addColumn<QString>("query"); // login 1 holds DigestA
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("registered") << "l=1&p=" + DigestA << Yes;
        QTest::newRow("spaces around login") << "l= 1 &p=" + DigestA << Yes;
        QTest::newRow("name percent-encoded") << "%6C=1&p=" + DigestA << Yes;
        QTest::newRow("first of two logins") << "l=1&p=" + DigestA + "&l=2" << Yes;
        QTest::newRow("wrong digest") << "l=1&p=" + DigestB << No;
        QTest::newRow("upper-case digest") << "l=1&p=" + DigestA.toUpper() << No;
        QTest::newRow("unknown login") << "l=999&p=" + DigestA << No;
        QTest::newRow("zero-padded login") << "l=01&p=" + DigestA << No;
        QTest::newRow("login beyond int") << "l=4294967297&p=" + DigestA << No;
        QTest::newRow("no digest") << QStringLiteral("l=1") << No;
    }
    // And what the access log keeps of it: a line a request, no query, no digest, no detail.
    void signIn()
    {
        QFETCH(QString, query);
        QFETCH(QByteArray, answer);
        QCOMPARE(s->registerAccount(DigestA), 1);
        QCOMPARE(s->get("login.php?" + query).body, answer);
        QCOMPARE(s->log.size(), 2);
        const QRegularExpression shape(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1:\d+ GET /VELKA/be/(register|login)\.php 200 \d+ \d+ms$)");
        for (const QString &line : std::as_const(s->log))
            QVERIFY2(shape.match(line).hasMatch() && !line.contains(DigestA) && !line.contains("Dupont"), qPrintable(line));
        QVERIFY2(s->log[1].contains(" 200 " + answer + ' '), qPrintable(s->log[1]));
    }

    // Accepted values are stored as sent, quotes and SQL included; refused ones store nothing.
    void registerValues_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<int>("answer");
        for (const char *value : {"'); DROP TABLE accounts; --", "a=b  c = d", "100% a+b \\n", "Zoë Ångström 東京"})
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
        QTest::newRow("news flag 2") << with(12, QStringLiteral("2")) << int(RegisterError::BadNewsFlag);
        QTest::newRow("news flag empty") << with(12, QStringLiteral("")) << int(RegisterError::BadNewsFlag);
        QTest::newRow("line break") << with(7, QStringLiteral("Paris%0Ax")) << int(RegisterError::ControlCharacter);
        QTest::newRow("not UTF-8") << with(3, QStringLiteral("%ff%fe")) << int(RegisterError::NotUtf8);
        QTest::newRow("overlong line break") << with(7, QStringLiteral("%c0%8a")) << int(RegisterError::NotUtf8);
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
        QCOMPARE(s->signIn(1, DigestA), answer > 0 ? Yes : No);
    }

    void storedAccounts_data()
    {
        QTest::addColumn<QString>("database"); // empty: the test's SQLite file
        QTest::newRow("SQLite") << QString();
        QTest::newRow("PostgreSQL") << qEnvironmentVariable("VELKA_TEST_PG");
    }
    // Accounts outlive the server and its upgrades; of a password only a salted Argon2id hash is kept,
    // renewed with the cost; a login is handed out once, up to the client's int; read-only serves sign-ins only.
    void storedAccounts()
    {
        QFETCH(QString, database);
        const bool postgres = !database.isEmpty();
        if (QTest::currentDataTag() == QLatin1String("PostgreSQL") && !postgres)
            QSKIP("VELKA_TEST_PG is not set: run under scripts/with-postgres.sh");
        const QString name = QUrl(database).path().mid(1);
        const auto clean = [&] {
            sqlValue("ALTER DATABASE " + name + " RESET default_transaction_read_only");
            sqlValue("DROP TABLE IF EXISTS accounts, velka_schema, sign_in_failures, registration_limits");
        };
        if (postgres) {
            QVERIFY(inspect(database));
            clean();
            s->options.database = database;
            s->options.createDatabase = false; // an empty database gets tables only when told
            QVERIFY(!s->start());
            s->options.createDatabase = true;
            QVERIFY(s->start());
        }
        const auto cleanup = qScopeGuard([&] { s->server.reset(); if (postgres) clean(); });
        const QStringList digests = {DigestA, DigestB, DigestA};
        for (int i = 0; i < digests.size(); ++i)
            QCOMPARE(s->registerAccount(digests[i]), i + 1);
        QCOMPARE(sqlValue("SELECT count(DISTINCT pwhash) FROM accounts WHERE pwhash LIKE '$argon2id$%'"), 3);
        const QString renewed = QStringLiteral("SELECT count(*) FROM accounts WHERE pwhash LIKE '%,t=2,%'");
        QCOMPARE(sqlValue(renewed), 0);
        s->server.reset();
        for (const char *suffix : {"", "-wal"}) { // whatever column or journal it might hide in
            QFile file(s->options.database + suffix);
            QVERIFY(postgres || !file.open(QIODevice::ReadOnly) || !file.readAll().contains(DigestA.toLatin1()));
        }
        // Back to the first schema, as an older server left it: the restart upgrades it in place.
        const QString version = postgres ? "SELECT max(version) FROM velka_schema" : "PRAGMA user_version";
        QCOMPARE(sqlValue("ALTER TABLE accounts DROP COLUMN last_sign_in"), 0);
        QCOMPARE(sqlValue("ALTER TABLE accounts DROP COLUMN disabled"), 0);
        QCOMPARE(sqlValue("DROP TABLE sign_in_failures"), 0);
        QCOMPARE(sqlValue("DROP TABLE registration_limits"), 0);
        QCOMPARE(sqlValue(postgres ? "UPDATE velka_schema SET version = 1" : "PRAGMA user_version = 1"), 0);
        s->options.readOnly = true; // served as it is
        QVERIFY(s->start());
        QCOMPARE(s->signIn(1, DigestA), Yes);
        s->options.readOnly = false;
        s->options.hashCost = {2, HashCost::minimum().memLimit};
        QVERIFY(s->start());
        QCOMPARE(sqlValue(version), 4);
        QCOMPARE(sqlValue("SELECT count(*) FROM accounts WHERE disabled = 0"), 3);
        QCOMPARE(sqlValue("SELECT count(*) FROM registration_limits"), 0);
        for (int i = 0; i < digests.size(); ++i) {
            QCOMPARE(s->signIn(i + 1, digests[i]), Yes);
            QCOMPARE(s->signIn(i + 1, digests[i] == DigestA ? DigestB : DigestA), No);
        }
        QTRY_COMPARE(sqlValue(renewed), 3); // written shortly after the answers
        QTRY_COMPARE(sqlValue("SELECT count(last_sign_in) FROM accounts"), 3);
        QCOMPARE(sqlValue("DELETE FROM accounts WHERE login = 3"), 0);
        QCOMPARE(s->registerAccount(DigestB), 4);
        QCOMPARE(sqlValue(postgres ? "ALTER TABLE accounts ALTER COLUMN login RESTART WITH 2147483647"
                                   : "UPDATE sqlite_sequence SET seq = 2147483646"), 0);
        QCOMPARE(s->registerAccount(DigestB), 2147483647);
        QCOMPARE(s->registerAccount(DigestB), RegisterError::NoLoginLeft);
        QCOMPARE(s->signIn(2147483647, DigestB), Yes);
        // Read-only by option. A database read-only itself, as a standby, serves such a server
        // alone: one that writes waits for the primary, and starts on none.
        for (const bool standby : {false, true}) {
            if (standby && (!postgres || sqlValue("ALTER DATABASE " + name + " SET default_transaction_read_only = on")))
                break;
            s->options.readOnly = false;
            QCOMPARE(s->start(), !standby);
            QVERIFY(!standby || s->server->errorString().contains("read-only"));
            s->options.readOnly = true;
            QVERIFY(s->start());
            QCOMPARE(s->signIn(1, DigestA), Yes);
            QCOMPARE(s->registerAccount(DigestB), RegisterError::StorageReadOnly);
        }
        QCOMPARE(sqlValue("SELECT count(*) FROM accounts"), 4);
        // A schema from a newer server is refused, and left as it is.
        s->options.readOnly = false;
        if (postgres)
            sqlValue("ALTER DATABASE " + name + " RESET default_transaction_read_only");
        sqlValue(postgres ? "INSERT INTO velka_schema VALUES (5)" : "PRAGMA user_version = 5");
        QVERIFY(!s->start());
        QVERIFY2(s->server->errorString().contains("schema 5, newer than"), qPrintable(s->server->errorString()));
        QCOMPARE(sqlValue(version), 5);
    }

    // PostgreSQL restarted while requests are out: none of them sees it. Away for longer than the
    // server waits: a sign-in gets 503 with Retry-After, a registration -4; the first after it is served.
    void databaseOutage()
    {
        const QString database = qEnvironmentVariable("VELKA_TEST_PG"), control = qEnvironmentVariable("VELKA_TEST_PG_CTL");
        if (database.isEmpty())
            QSKIP("VELKA_TEST_PG is not set: run under scripts/with-postgres.sh");
        const auto pg = [&](const QString &what) { return QProcess::execute("sh", {"-c", control + ' ' + what + " >/dev/null"}) == 0; };
        QVERIFY(inspect(database));
        sqlValue("DROP TABLE IF EXISTS accounts, velka_schema, sign_in_failures, registration_limits");
        s->options.database = database;
        s->options.databaseWaitMs = 3000;
        QVERIFY(s->start());
        QSignalSpy said(s->server.get(), &LiveServer::message);
        const qint64 login = s->registerAccount(DigestA);
        // While it restarts, in turn: a sign-in of the account, one for nobody, a registration.
        QProcess restart;
        restart.start("sh", {"-c", control + " restart -m fast >/dev/null"});
        QList<QNetworkReply *> out;
        for (int i = 0; restart.state() != QProcess::NotRunning || i < 3; ++i) {
            const QString script = i % 3 == 0 ? signInScript(login, DigestA) : i % 3 == 1 ? signInScript(1000 + i, DigestA)
                                                                                          : registerScript(registration(DigestB));
            out << s->client.get(QNetworkRequest(scriptUrl(s->port(), script)));
            QTest::qWait(20);
        }
        QVERIFY(restart.exitCode() == 0);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(out.cbegin(), out.cend(), [](QNetworkReply *r) { return r->isFinished(); }), 20000);
        for (int i = 0; i < out.size(); ++i) {
            const QByteArray body = out[i]->readAll();
            QCOMPARE(out[i]->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
            QVERIFY2(i % 3 == 0 ? body == Yes : i % 3 == 1 ? body == No : body.toLongLong() > login, body.constData());
        }
        QVERIFY(pg("stop -m fast"));
        QTcpSocket socket;
        const QByteArray during = exchange(socket, s->port(), request("/VELKA/be/" + signInScript(login, DigestA).toUtf8()));
        QVERIFY2(during.startsWith("HTTP/1.1 503 ") && during.contains("\r\nRetry-After: 3\r\n"), during.constData());
        QCOMPARE(s->registerAccount(DigestB), RegisterError::StorageFailure);
        QVERIFY(pg("start"));
        QCOMPARE(s->signIn(login, DigestA), Yes);
        QTRY_COMPARE(said.size(), 4); // two outages, each logged once with its end
        QVERIFY2(said[0][0].toString().startsWith("database unavailable") && said[3][0].toString().startsWith("database back"),
                 qPrintable(said[0][0].toString() + '|' + said[1][0].toString() + '|' + said[2][0].toString() + '|' + said[3][0].toString()));
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
    // refused rather than queued, answers keep their requests' order, and an account whose client
    // went away is not made.
    void answersWhileHashing()
    {
        QCOMPARE(s->registerAccount(DigestA), 1);
        s->options.hashCost = {4, 64 * 1024 * 1024}; // slow enough to be seen in progress
        s->options.maxPendingHashes = 2;
        s->options.idleTimeoutMs = 250; // hashing outlasts it
        QVERIFY(s->start());
        // A slow registration, then a quick request on the same connection that must not overtake it.
        QTcpSocket socket, vanishing;
        for (QTcpSocket *client : {&socket, &vanishing})
            client->connectToHost(QHostAddress::LocalHost, s->port());
        socket.write(request("/VELKA/be/" + registerScript(registration(DigestB)).toUtf8()) + request("/VELKA/be/none.php"));
        vanishing.write(request("/VELKA/be/" + registerScript(registration(DigestA)).toUtf8()));
        QTRY_COMPARE(s->server->pendingHashes(), 2);
        QCOMPARE(s->registerAccount(DigestB), RegisterError::Busy);
        QCOMPARE(s->get(signInScript(1, DigestA)).status, 503);
        reset(vanishing);
        QCOMPARE(s->get(NoScript).status, 404);
        const QByteArray answers = exchange(socket, s->port(), {}, 2);
        QVERIFY2(answers.startsWith("HTTP/1.1 200 ") && answers.contains("\r\n\r\n2HTTP/1.1 404 "), answers.constData());
        QTRY_COMPARE_WITH_TIMEOUT(s->server->pendingHashes(), 0, 20000);
        QCOMPARE(s->log.filter(" - aborted ").size(), 1);
        // A stopped run takes its hashing with it: nothing of it reaches the next run.
        socket.write(request("/VELKA/be/" + registerScript(registration(DigestB)).toUtf8()));
        QTRY_COMPARE(s->server->pendingHashes(), 1);
        s->server->stop();
        QVERIFY(s->server->start());
        QCoreApplication::processEvents();
        QCOMPARE(s->server->pendingHashes(), 0);
        QCOMPARE(sqlValue("SELECT count(*) FROM accounts"), 2);
    }

    // Hashes whose clients have gone are dropped before they start: they neither hold up nor
    // refuse the next request, nor count as guesses.
    void goneClientsNotHashed()
    {
        QCOMPARE(s->registerAccount(DigestA), 1);
        const int dead = QThread::idealThreadCount() + 4; // at most one a thread can have started
        s->options.hashCost = {4, 64 * 1024 * 1024};     // of the decoy, which unknown logins are checked against
        s->options.maxPendingHashes = dead;
        s->options.signInThrottle.freeFailures = dead;
        QVERIFY(s->start());
        std::vector<std::unique_ptr<QTcpSocket>> gone(dead);
        for (auto &socket : gone) {
            socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress::LocalHost, s->port());
            socket->write(request("/VELKA/be/" + signInScript(999, DigestB).toUtf8()));
        }
        QTRY_COMPARE(s->server->pendingHashes(), dead);
        for (auto &socket : gone)
            reset(*socket);
        QTRY_COMPARE(s->log.filter(" - aborted ").size(), dead);
        QCOMPARE(s->signIn(1, DigestA), Yes);
        QTRY_COMPARE_WITH_TIMEOUT(s->server->pendingHashes(), 0, 20000);
        QCOMPARE(s->signIn(999, DigestB), No);
        QCOMPARE(s->log.filter("slowed down").size(), 0);
    }

    // A database file removed or replaced under the server: sign-ins go on, registrations are
    // refused with a code, and a restart makes no new database unless told to.
    void databaseGone_data()
    {
        QTest::addColumn<bool>("replaced");
        QTest::newRow("removed") << false;
        QTest::newRow("replaced") << true;
    }
    void databaseGone()
    {
        QFETCH(bool, replaced);
        const QString path = s->options.database;
        QCOMPARE(s->registerAccount(DigestA), 1);
        if (replaced)
            QVERIFY(QFile::copy(path, path + ".new") && ::rename(qPrintable(path + ".new"), qPrintable(path)) == 0);
        for (const char *suffix : {"", "-wal", "-shm"})
            QVERIFY(replaced || QFile::remove(path + suffix));
        QCOMPARE(s->registerAccount(DigestB), RegisterError::DatabaseGone);
        QCOMPARE(s->signIn(1, DigestA), Yes);
        QCOMPARE(s->log.filter("gone or replaced").size(), 1);
        s->options.createDatabase = false;
        QCOMPARE(s->start(), replaced);
        QCOMPARE(QFile::exists(path), replaced);
        QVERIFY(replaced || s->server->errorString().contains("--create-database"));
        QVERIFY(QFile(path).open(QIODevice::WriteOnly | QIODevice::Truncate)); // an empty file is no database either
        QVERIFY(!s->start());
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("status"); // 0: closed with no answer
        QTest::addColumn<int>("before"); // the answer of a request sent in the same write, 0: none
        QTest::addColumn<bool>("closes"); // after a served request's answer
        const auto row = [](const char *name, const QByteArray &raw, int status, int before = 0, bool closes = false) {
            QTest::newRow(name) << raw << status << before << closes;
        };
        const QByteArray none = "/VELKA/be/none.php", login = "/VELKA/be/login.php?l=1&p=" + DigestA.toLatin1();
        row("outside the directory", request("/login.php?l=1&p=" + DigestA.toLatin1()), 404);
        row("below the directory", request("/VELKA/be/x/login.php"), 404);
        row("doubled slashes", request("/VELKA//be//login.php?l=1&p=" + DigestA.toLatin1()), 200);
        row("POST", request(login, {}, "POST"), 405);
        row("unknown method", request(login, {}, "BREW"), 405);
        const RequestLimits limits;
        const QByteArray atLimit = "/" + QByteArray(limits.maxRequestLine - 14, 'a'); // "GET " and " HTTP/1.1"
        row("request line at the limit", request(atLimit), 404);
        row("request line one byte over", request(atLimit + 'a'), 414);
        QByteArray fields;
        for (int i = 1; i < limits.maxHeaderFields; ++i) // and Host
            fields += "X-" + QByteArray::number(i) + ": y\r\n";
        row("fields at the limit", request(none, fields), 404);
        row("one field too many", request(none, fields + "Z: 1\r\n"), 431);
        row("fields over the byte limit", request(none, "X: " + QByteArray(limits.maxHeaderBytes, 'x') + "\r\n"), 431);
        row("body within the limit", request(none, "Content-Length: 5\r\n") + "x=1&y", 404);
        row("body too large", request(none, "Content-Length: " + QByteArray::number(limits.maxBody + 1) + "\r\n"), 413);
        row("body of unknown length", request(none, "Transfer-Encoding: chunked\r\n"), 411);
        row("two lengths", request(none, "Content-Length: 1\r\nContent-Length: 2\r\n") + "ab", 400);
        row("length not a number", request(none, "Content-Length: 1x\r\n"), 400);
        row("field without a colon", request(none, "X-Flag\n"), 400);
        row("space in a field name", request(none, "X Y: z\r\n"), 400);
        row("no version", "GET /VELKA/be/login.php\r\n\r\n", 400);
        row("HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 400);
        row("space in the target", "GET /a b HTTP/1.1\r\n\r\n", 400);
        row("TLS on the plain port", QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), 0);
        row("blank lines before", "\r\n\r\n\n" + request(none), 404);
        row("a good request, then a malformed one", request(none) + "GET /a b HTTP/1.1\r\n\r\n", 400, 404);
        row("HTTP/1.0", "GET /VELKA/be/none.php HTTP/1.0\r\n\r\n", 404, 0, true);
        row("Connection: close", request(none, "Connection: keep-alive, Close\r\n"), 404, 0, true);
        // A client that put its query into the path: nothing of it may reach the log.
        row("query encoded in the path", request("/VELKA/be/login.php%3Fl=1&p=" + DigestA.toLatin1()), 404);
        row("query as path parameters", request("/VELKA/be/login.php;l=1&p=" + DigestA.toLatin1()), 404);
        row("HTTP/1.1 without Host", "GET /VELKA/be/none.php HTTP/1.1\r\n\r\n", 400);
        row("bare CR in a field value", request(none, "X: a\rb\r\n"), 400);
        row("NUL in a field value", request(none, QByteArray("X: a\0b\r\n", 8)), 400);
        row("control byte in a field value", request(none, "X: a\x01z\r\n"), 400);
        row("control byte in the target", request(none + "\x01"), 400);
        row("spaces before the request line", "  " + request(none), 400);
        row("Connection: close past 64 bytes", request(none, "Connection: " + QByteArray(64, 'k') + ", close\r\n"), 404, 0, true);
        row("absolute-form target", request("http://127.0.0.1" + login), 200);
        row("request line one byte over, bare LF", request(atLimit + 'a').replace("\r\n", "\n"), 414);
        row("CONNECT on /health/live", request("/health/live", {}, "CONNECT"), 405);
        row("POST on /health/live", request("/health/live", {}, "POST"), 405);
    }
    void requests()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, status);
        QFETCH(int, before);
        QFETCH(bool, closes);
        QTcpSocket socket;
        QByteArray answer = exchange(socket, s->port(), raw, before ? 2 : 1);
        if (before) { // answered first, in its order
            QCOMPARE(answer.mid(9, 3).toInt(), before);
            answer = answer.mid(answer.indexOf("HTTP/1.1 ", 1));
        }
        QVERIFY(!s->log.join('\n').contains(DigestA));
        QCOMPARE(answer.mid(9, 3).toInt(), status);
        QCOMPARE(answer.endsWith("\r\n\r\n0"), status == 200);
        QCOMPARE(answer.contains("\r\nAllow: GET, HEAD\r\n"), status == 405);
        QCOMPARE(answer.contains("\r\nCache-Control: no-store\r\n"), status != 0); // nothing kept of any answer
        if ((status == 200 || status == 404 || status == 405) && !closes) { // reached the scripts: the connection serves on
            QCOMPARE(exchange(socket, s->port(), request("/VELKA/be/none.php")).mid(9, 3), "404");
            return;
        }
        // Refused, or asked to close: said so (unless nothing was readable), closed, logged.
        QVERIFY2(status == 0 || answer.contains("\r\nConnection: close\r\n"), answer.constData());
        QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(s->log.size(), 1 + (before != 0));
        QVERIFY2(s->log.last().contains(QStringLiteral(" - %1 ").arg(status ? status : 400)), qPrintable(s->log.last()));
    }

    // Silent connections, served ones left open, requests that never end: all closed in time;
    // connections beyond the cap, or beyond one address's share, are turned away.
    void connectionLimits()
    {
        s->options.idleTimeoutMs = 500;
        s->options.maxConnections = 3;
        s->options.maxConnectionsPerAddress = 2;
        QVERIFY(s->start());
        QTcpSocket silent, served, third, elsewhere, beyondCap, trickling;
        silent.connectToHost(QHostAddress::LocalHost, s->port());
        QVERIFY(exchange(served, s->port(), request("/VELKA/be/none.php")).startsWith("HTTP/1.1 404 "));
        QVERIFY(exchange(third, s->port(), request("/VELKA/be/none.php")).startsWith("HTTP/1.1 503 "));
        for (QTcpSocket *other : {&elsewhere, &beyondCap}) { // another address of this machine
            QVERIFY(other->bind(QHostAddress(QStringLiteral("127.0.0.2"))));
            other->connectToHost(QHostAddress::LocalHost, s->port());
        }
        QVERIFY(exchange(elsewhere, s->port(), request("/VELKA/be/none.php")).startsWith("HTTP/1.1 404 "));
        QVERIFY(exchange(beyondCap, s->port(), request("/VELKA/be/none.php")).startsWith("HTTP/1.1 503 "));
        QCOMPARE(s->log.filter("too many connections from this address").size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(served.state(), QAbstractSocket::UnconnectedState, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(elsewhere.state(), QAbstractSocket::UnconnectedState, 10000);
        QTRY_COMPARE(s->server->connectionCount(), 0);
        // One field every 50 ms: never idle for long, never done.
        trickling.connectToHost(QHostAddress::LocalHost, s->port());
        trickling.write("GET /VELKA/be/none.php HTTP/1.1\r\n");
        QByteArray received;
        for (int sent = 0; trickling.state() != QAbstractSocket::UnconnectedState; ++sent) {
            QVERIFY2(sent < 400, "never closed while trickling"); // a guard against hanging, not a time
            trickling.write("X-Slow: 1\r\n");
            QTest::qWait(50);
            received += trickling.readAll();
        }
        QVERIFY2(received.startsWith("HTTP/1.1 408 "), received.constData());
    }

    // Behind a trusted proxy the count goes by the client it names; from anyone else the header counts for nothing.
    void forwardedClientAddress()
    {
        s->options.signInThrottle = {.freeFailures = 1, .firstDelayMs = 100};
        s->options.trustedProxies = {QHostAddress::parseSubnet("127.0.0.2/32")};
        QVERIFY(s->start());
        QCOMPARE(s->registerAccount(DigestA), 1);
        const auto guess = [&](const char *from, const QByteArray &client) {
            QTcpSocket socket;
            QVERIFY(socket.bind(QHostAddress(QString::fromLatin1(from))));
            socket.connectToHost(QHostAddress::LocalHost, s->port());
            const QByteArray target = "/VELKA/be/" + signInScript(1, DigestB).toUtf8();
            QVERIFY(exchange(socket, s->port(), request(target, "X-Forwarded-For: 198.51.100.7, " + client + "\r\n")).endsWith("\r\n\r\n0"));
        };
        for (const auto &[from, client] : {std::pair("127.0.0.2", "192.0.2.1"), std::pair("127.0.0.2", "192.0.2.1"),
                                           std::pair("127.0.0.2", "192.0.2.2"), std::pair("127.0.0.1", "192.0.2.3"),
                                           std::pair("127.0.0.1", "192.0.2.4")})
            guess(from, client);
        QCOMPARE(s->log.size(), 6);
        for (int i = 1; i < 6; ++i) // the second guess of one client, and of an untrusted peer, waited
            QCOMPARE(s->log[i].contains("slowed down"), i == 2 || i == 5);
    }

    // Health on both addresses, metrics on the admin one alone, JSON log lines; stopping is not ready.
    void operatorRoutes()
    {
        s->options.admin = true;
        s->options.adminPort = 0;
        s->options.logFormat = LogFormat::Json;
        s->options.registrationsPerHour = 1;
        QVERIFY(s->start());
        const auto admin = [&](const char *path) {
            return ::get(s->client, QUrl(QStringLiteral("http://127.0.0.1:%1").arg(s->server->adminPort()) + path));
        };
        QCOMPARE(s->registerAccount(DigestA), 1);
        QCOMPARE(s->registerAccount(DigestA), RegisterError::TooManyFromClient);
        QCOMPARE(s->signIn(1, DigestB), No);
        QCOMPARE(s->registerAccount(registration(DigestA.left(5))), RegisterError::BadDigest);
        const QUrl root = QStringLiteral("http://127.0.0.1:%1/").arg(s->port());
        QCOMPARE(::get(s->client, root.resolved(QUrl("health/live"))).status, 200);
        QCOMPARE(::get(s->client, root.resolved(QUrl("health/ready"))).body, "ready");
        QCOMPARE(::get(s->client, root.resolved(QUrl("metrics"))).status, 404);
        const QByteArray metrics = admin("/metrics").body;
        for (const char *line : {"velka_sign_ins_total{result=\"refused\"} 1", "velka_registrations_created_total 1",
                                 "velka_registrations_refused_total{code=\"-3\",reason=\"bad_digest\"} 1",
                                 "velka_registrations_refused_total{code=\"-12\",reason=\"client_limit\"} 1", "velka_draining 0"})
            QVERIFY2(metrics.contains(QByteArray("\n") + line + '\n'), metrics.constData());
        for (const QString &line : std::as_const(s->log)) { // health checks answered 200 are not logged
            const QJsonObject entry = QJsonDocument::fromJson(line.toUtf8()).object();
            QVERIFY2(entry.value("status").toInt() > 0 && !entry.value("path").toString().contains("health"), qPrintable(line));
        }
        QCOMPARE(s->log.size(), 5);
        QTcpSocket held; // half a request keeps the server draining
        held.connectToHost(QHostAddress::LocalHost, s->port());
        QVERIFY(held.waitForConnected(5000));
        held.write("GET /VELKA/be/none.php HTTP/1.1\r\n");
        QVERIFY(held.waitForBytesWritten(5000));
        QCOMPARE(::get(s->client, root.resolved(QUrl("none"))).status, 404); // by then the half is read
        s->server->stopGracefully(10000);
        QCOMPARE(admin("/health/ready").status, 503);
    }

    // HEAD on every route: GET's head, its Content-Length too, without the body, so that the GET sent
    // behind it on the connection is answered right after that head.
    void head_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("headStatus"); // register.php: no account whose login nobody would learn
        QTest::newRow("live") << QByteArray("/health/live") << 200 << 200;
        QTest::newRow("ready") << QByteArray("/health/ready") << 200 << 200;
        QTest::newRow("login.php") << "/VELKA/be/" + signInScript(999, DigestA).toUtf8() << 200 << 200;
        QTest::newRow("register.php") << "/VELKA/be/" + registerScript(registration(DigestA)).toUtf8() << 200 << 405;
        QTest::newRow("unknown") << QByteArray("/VELKA/be/none.php") << 404 << 404;
        QTest::newRow("metrics, on the admin address") << QByteArray("/metrics") << 200 << 200;
    }
    void head()
    {
        QFETCH(QByteArray, target);
        QFETCH(int, status);
        QFETCH(int, headStatus);
        s->options.admin = true;
        s->options.adminPort = 0;
        QVERIFY(s->start());
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, target == "/metrics" ? s->server->adminPort() : s->port());
        socket.write(request(target, {}, "HEAD") + request(target));
        QByteArray in;
        const auto length = [&](qsizetype from) {
            const qsizetype at = in.indexOf("\r\nContent-Length: ", from) + 18;
            return in.mid(at, in.indexOf('\r', at) - at).toLongLong();
        };
        QTRY_VERIFY((in += socket.readAll()).count("\r\n\r\n") >= 2 && in.size() >= in.lastIndexOf("\r\n\r\n") + 4 + length(in.indexOf("\r\n\r\n")));
        const qsizetype headEnd = in.indexOf("\r\n\r\n") + 4, getEnd = in.indexOf("\r\n\r\n", headEnd) + 4;
        const QByteArray statusLine = "HTTP/1.1 " + QByteArray::number(status) + ' ';
        QVERIFY2(in.startsWith("HTTP/1.1 " + QByteArray::number(headStatus) + ' ') && in.mid(headEnd).startsWith(statusLine),
                 in.constData());
        QVERIFY(headStatus != status || length(0) == length(headEnd));
        QCOMPARE(in.size(), getEnd + length(headEnd));
        QCOMPARE(sqlValue("SELECT count(*) FROM accounts"), status == headStatus ? 0 : 1);
    }

    // The rule's answers over HTTP (tst_signinthrottle has the rule): past the free guesses a sign-in
    // is checked no sooner than its wait, one beyond the longest is refused 503 with Retry-After,
    // and each login has a count of its own.
    void failedSignInsSlowedDown()
    {
        s->options.signInThrottle = {.freeFailures = 1, .firstDelayMs = 400, .maxDelayMs = 400};
        QVERIFY(s->start());
        QCOMPARE(s->registerAccount(DigestA), 1);
        QCOMPARE(s->registerAccount(DigestA), 2);
        QCOMPARE(s->signIn(1, DigestB), No);
        QCOMPARE(s->signIn(2, DigestB), No);
        QElapsedTimer clock;
        clock.start();
        QTcpSocket socket; // the right password, and a guess sent with it
        const QByteArray answers = exchange(socket, s->port(), request("/VELKA/be/" + signInScript(1, DigestA).toUtf8())
                                                                   + request("/VELKA/be/" + signInScript(1, DigestB).toUtf8()), 2);
        QVERIFY(clock.elapsed() >= 400);
        const qsizetype refused = answers.indexOf("\r\n\r\n" + Yes + "HTTP/1.1 503 ");
        QVERIFY2(refused > 0 && answers.indexOf("\r\nRetry-After: 1\r\n") > refused, answers.constData());
        QCOMPARE(s->log.filter("slowed down").size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_LiveServer)
#include "tst_liveserver.moc"
