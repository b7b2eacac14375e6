#include "serverfixture.h"
#include "server/accounts/storefactory.h"

#include <QJsonDocument>
#include <QJsonObject>

// What a run of the account tools did: its exit status and what it printed.
struct ToolRun
{
    int status = -1;
    QByteArray out, err;
};

// The operators' account commands, the shipped executable in a child process, run while a server
// (another child) serves the same database: what each changes is what the next request sees.
class tst_AccountTools : public QObject
{
    Q_OBJECT

private slots:
    void commands_data()
    {
        QTest::addColumn<QString>("database"); // empty: an SQLite file of the test's own
        QTest::newRow("SQLite") << QString();
        QTest::newRow("PostgreSQL") << qEnvironmentVariable("VELKA_TEST_PG");
    }
    void commands()
    {
        QFETCH(QString, database);
        const bool postgres = !database.isEmpty();
        if (QTest::currentDataTag() == QLatin1String("PostgreSQL") && !postgres)
            QSKIP("VELKA_TEST_PG is not set: run under scripts/with-postgres.sh");
        QTemporaryDir dir;
        const auto clean = [&] {
            if (postgres)
                sqlValue("DROP TABLE IF EXISTS accounts, velka_schema, sign_in_failures, registration_limits");
        };
        if (postgres) {
            QVERIFY(inspect(database));
            clean();
        } else {
            database = dir.filePath("accounts.sqlite");
        }
        ServerProcess server;
        server.log = dir.filePath("server.log");
        const auto cleanup = qScopeGuard([&] {
            server.kill();
            clean();
            QSqlDatabase::removeDatabase("inspect");
        });
        QVERIFY(server.start(database, {"--free-failed-sign-ins", "1", "--sign-in-delay", "50"}));
        QVERIFY(inspect(database));

        QNetworkAccessManager client;
        const auto call = [&](const QString &script) { return get(client, scriptUrl(server.port, script)).body; };
        const auto signIn = [&](qint64 login, const QString &digest) { return call(signInScript(login, digest)); };
        QByteArray toolOutput;
        QStringList toolArguments;
        const auto tool = [&](const QStringList &arguments, const QByteArray &input = {}) {
            toolArguments += arguments;
            QProcess process;
            process.start(VELKA_SERVER_EXE, QStringList{"accounts"} + arguments + QStringList{"--database", database});
            process.write(input);
            process.closeWriteChannel();
            ToolRun run;
            if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
                run = {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
            toolOutput += run.out + run.err;
            return run;
        };

        QStringList values = registration(DigestA, "Émile");
        values[3] = "Emile.Roux@Example.org"; // ema
        const qint64 first = call(registerScript(values)).toLongLong();
        const qint64 second = call(registerScript(registration(DigestB))).toLongLong();
        const qint64 third = call(registerScript(registration(DigestA))).toLongLong();
        QVERIFY(first > 0 && second > first && third > second);

        // find: any part of the text in any case, accented letters too; pages of logins in order.
        const QList<QPair<QStringList, QList<qint64>>> finds = {{{"--name", "éMIL"}, {first}},
                                                                {{"--email", "ROUX@"}, {first}},
                                                                {{"--email", "Émile"}, {}},
                                                                {{"--name", "dupont"}, {second, third}},
                                                                {{"--page", "2", "--page-size", "2"}, {third}},
                                                                {{"--login", QString::number(second)}, {second}}};
        for (const auto &[options, logins] : finds) {
            const ToolRun found = tool(QStringList{"find"} + options);
            QList<qint64> listed;
            for (const QByteArray &line : found.out.split('\n'))
                if (!line.isEmpty())
                    listed << line.split('\t').first().toLongLong();
            QVERIFY2(found.status == 0 && listed == logins, qPrintable(options.join(' ') + ": " + found.out));
        }

        // disable: refused as a wrong password while the row stays; enable: accepted again.
        QCOMPARE(tool({"disable", QString::number(first)}).status, 0);
        QCOMPARE(signIn(first, DigestA), "0");
        QVERIFY(tool({"find", "--name", "émile"}).out.endsWith("\tdisabled\n"));
        QCOMPARE(tool({"enable", QString::number(first)}).status, 0);
        QCOMPARE(signIn(first, DigestA), "1");

        // set-password, on standard input: the client's digest of its Latin-1 bytes signs in, the old one no longer.
        const QString password = QStringLiteral("Mot de passe à 8 €uros");
        const QString digest = QCryptographicHash::hash(password.toLatin1(), QCryptographicHash::Md5).toHex();
        QCOMPARE(
            tool({"set-password", QString::number(first), "--hash-cost", "minimum"}, password.toUtf8() + '\n').status,
            0);
        QCOMPARE(signIn(first, digest), "1");
        QCOMPARE(signIn(first, DigestA), "0");
        // A server's renewal of the hash it checked the old password against comes too late: the new one stays.
        QString error;
        const auto store = openAccountStore(database, false, false, &error);
        QVERIFY2(store, qPrintable(error));
        const QByteArray renewed = hashPassword(DigestA.toLatin1(), HashCost::minimum());
        QCOMPARE(store->recordSignIns({{first, QDateTime::currentDateTimeUtc(), renewed, "$argon2id$old"}}),
                 AccountStore::Result::Ok);
        QCOMPARE(signIn(first, digest), "1");

        // clear-count: after it the next wrong guess is checked at once, cleared by login, then by address.
        const auto serverLog = [&] {
            QFile log(server.log);
            return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
        };
        int requests = 5, slowed = 2; // the sign-ins after enable and after the old password came after failures
        const auto expectSlowed = [&] {
            QTRY_COMPARE(serverLog().count("login.php"), requests);
            QCOMPARE(serverLog().count("slowed down"), slowed);
        };
        for (const auto &[login, clear] : {std::pair{second, QStringList{"--login", QString::number(second)}},
                                           {third, QStringList{"--address", "::ffff:127.0.0.1"}}}) {
            for (int guess = 0; guess < 2; ++guess)
                QCOMPARE(signIn(login, digestOf(0)), "0");
            requests += 2, slowed += 1; // the second waited
            expectSlowed();
            QVERIFY(tool({"show", QString::number(login)}).out.contains("from 127.0.0.1"));
            QCOMPARE(tool(QStringList{"clear-count"} + clear).status, 0);
            QCOMPARE(signIn(login, digestOf(0)), "0");
            requests += 1;
            expectSlowed();
        }
        // An IPv6 client counts by its /64: any address of it clears the count, another network's stays.
        for (const char *network : {"2001:db8:1:2::/64", "2001:db8:1:3::/64"})
            sqlValue(QStringLiteral("INSERT INTO sign_in_failures VALUES (9, '%1', 1, 0, 0, 0)").arg(network));
        QCOMPARE(tool({"clear-count", "--address", "2001:db8:1:2:ab::1"}).status, 0);
        QCOMPARE(sqlValue("SELECT count(*) FROM sign_in_failures WHERE login = 9"), 1);

        // delete the newest: its counts go (that of every address together was left), its login signs in no more,
        // and is never handed out again.
        QVERIFY(sqlValue("SELECT count(*) FROM sign_in_failures WHERE login = " + QString::number(third)) > 0);
        QCOMPARE(tool({"delete", QString::number(third)}).status, 0);
        QCOMPARE(sqlValue("SELECT count(*) FROM sign_in_failures WHERE login = " + QString::number(third)), 0);
        QCOMPARE(signIn(third, DigestA), "0");
        QCOMPARE(call(registerScript(registration(DigestA))).toLongLong(), third + 1);
        QCOMPARE(call(registerScript(registration(DigestA))).toLongLong(), third + 2);

        // export: the details as typed, and nothing of the password.
        const ToolRun exported = tool({"export", QString::number(first)});
        const QJsonObject data = QJsonDocument::fromJson(exported.out).object();
        QCOMPARE(data.value("login").toInteger(), first);
        QCOMPARE(data.value("fna").toString(), "Émile");
        QCOMPARE(data.value("ema").toString(), values[3]);
        QCOMPARE(data.value("disabled").toBool(true), false);
        QVERIFY(!exported.out.contains("$argon2") && !exported.out.contains(digest.toLatin1()));

        // Faults: an unknown login (1), a bad command line (2), each in one line.
        for (const auto &[arguments, status] : {std::pair{QStringList{"delete", QString::number(third)}, 1},
                                                {QStringList{"disable"}, 2},
                                                {QStringList{"show", "x1"}, 2},
                                                {QStringList{"enable", "1", "--page", "2"}, 2},
                                                {QStringList{"set-password", QString::number(first)}, 2}}) {
            const ToolRun refused = tool(arguments);
            QVERIFY2(refused.status == status && refused.err.count('\n') == 1, refused.err.constData());
        }
        // One line a change, naming the change; the password nowhere, nor its digest.
        QCOMPARE(toolOutput.count("velka-live-server accounts: "), 7 + 5);
        QVERIFY(toolOutput.contains(" deleted login " + QByteArray::number(third) + '\n'));
        for (const QByteArray &log : {toolOutput, serverLog(), toolArguments.join(' ').toUtf8()})
            QVERIFY(!log.contains(password.toUtf8()) && !log.contains(digest.toLatin1()));
    }
};

QTEST_GUILESS_MAIN(tst_AccountTools)
#include "tst_accounttools.moc"
