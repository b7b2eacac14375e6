#include "serverfixture.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

// Slow enough for other requests to be seen passing a hash in progress.
static const HashCost SlowCost = {4, 64 * 1024 * 1024};

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
            QVERIFY2(QRegularExpression(QStringLiteral("^http://127.0.0.1:\\d+/VELKA/be/$")).match(child.base()).hasMatch(),
                     qPrintable(child.base()));
        }
        const QStringList digests = {DigestA, DigestB, DigestA};
        for (int i = 0; i < digests.size(); ++i) {
            QTcpSocket socket;
            const QString path = registrationPath(QStringLiteral("/VELKA/be/"), registration(digests[i]));
            QCOMPARE(send(socket, killed ? child.port() : s.port(), request(encodeTarget(path))).body,
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
        }));
        // A slow registration, then a quick request on the same connection that must not overtake it.
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, s.port());
        socket.write(request(encodeTarget(registrationPath(s.path(), registration(DigestB))))
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
        socket.write(request(encodeTarget(registrationPath(s.path(), registration(DigestA)))));
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
};

QTEST_GUILESS_MAIN(tst_LiveServer)
#include "tst_liveserver.moc"
