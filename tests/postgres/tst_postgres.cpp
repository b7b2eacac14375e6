#include "serverfixture.h"

#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

// The account store on the PostgreSQL server named by VELKA_TEST_PG; every case starts from no tables.
class tst_Postgres : public QObject
{
    Q_OBJECT
    QString m_uri = qEnvironmentVariable("VELKA_TEST_PG");
    LocalServer s;

    int sql(const QString &statement) // the first value of the first row, 0 without one, -1 on error
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("inspect")));
        if (!query.exec(statement))
            qWarning() << statement << query.lastError().text();
        return !query.isActive() ? -1 : query.next() ? query.value(0).toInt() : 0;
    }
    bool start(bool readOnly = false)
    {
        LiveServerOptions options;
        options.database = m_uri;
        options.readOnly = readOnly;
        return s.start(options);
    }

private slots:
    void initTestCase()
    {
        if (m_uri.isEmpty())
            QSKIP("VELKA_TEST_PG is not set: run under tests/postgres/with-postgres.sh");
        const QUrl url(m_uri);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("inspect"));
        db.setHostName(url.host());
        db.setPort(url.port(5432));
        db.setUserName(url.userName());
        db.setPassword(url.password());
        db.setDatabaseName(url.path().mid(1));
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
    }
    void init() { QCOMPARE(sql(QStringLiteral("DROP TABLE IF EXISTS accounts, velka_schema")), 0); }
    void cleanup() { s.server.reset(); }
    void cleanupTestCase() { QSqlDatabase::removeDatabase(QStringLiteral("inspect")); }

    void registerAndSignIn()
    {
        QVERIFY(start());
        QCOMPARE(s.registerAccount(DigestA), 1);
        QCOMPARE(s.registerAccount(DigestB), 2);
        QCOMPARE(s.signIn(1, DigestA), QByteArray(LoginAccepted));
        QCOMPARE(s.signIn(2, DigestA), QByteArray("0"));
        QCOMPARE(s.signIn(3, DigestA), QByteArray("0"));
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM accounts WHERE pwhash LIKE '$argon2id$%'")), 2);
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM accounts WHERE pwhash LIKE '%%1%'").arg(DigestA)), 0);
        // Another server on the same database finds the accounts; a deleted login is never handed out again.
        QCOMPARE(sql(QStringLiteral("DELETE FROM accounts WHERE login = 2")), 0);
        QVERIFY(start());
        QCOMPARE(s.signIn(1, DigestA), QByteArray(LoginAccepted));
        QCOMPARE(s.registerAccount(DigestA), 3);
        QCOMPARE(sql(QStringLiteral("ALTER TABLE accounts ALTER COLUMN login RESTART WITH 2147483647")), 0);
        QCOMPARE(s.registerAccount(DigestB), 2147483647);
        QCOMPARE(s.registerAccount(DigestB), qint64(RegisterError::NoLoginLeft));
        QCOMPARE(s.signIn(2147483647, DigestB), QByteArray(LoginAccepted));
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM accounts")), 3);
    }

    void readOnly_data()
    {
        QTest::addColumn<bool>("option");
        QTest::newRow("--read-only") << true;
        QTest::newRow("read-only database") << false; // as on a standby
    }
    void readOnly()
    {
        QFETCH(bool, option);
        QVERIFY(start());
        QCOMPARE(s.registerAccount(DigestA), 1);
        const QString database = QUrl(m_uri).path().mid(1);
        const auto reset = qScopeGuard([&] { sql("ALTER DATABASE " + database + " RESET default_transaction_read_only"); });
        if (!option)
            QCOMPARE(sql("ALTER DATABASE " + database + " SET default_transaction_read_only = on"), 0);
        QVERIFY(start(option));
        QCOMPARE(s.signIn(1, DigestA), QByteArray(LoginAccepted));
        QCOMPARE(s.registerAccount(DigestB), qint64(RegisterError::StorageReadOnly));
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM accounts")), 1);
    }

    void serversShareOneDatabase()
    {
        // Started together on an empty database: they agree on who creates the tables.
        const int servers = 3, count = 150 * qMax(1, qEnvironmentVariableIntValue("VELKA_LOAD_SCALE"));
        std::vector<std::unique_ptr<ServerProcess>> processes;
        QList<quint16> ports;
        for (int i = 0; i < servers; ++i)
            processes.emplace_back(new ServerProcess)->launch(QStringLiteral(VELKA_SERVER_EXE),
                {QStringLiteral("--database"), m_uri, QStringLiteral("--hash-cost"), QStringLiteral("minimum"),
                 QStringLiteral("--max-pending"), QStringLiteral("64")});
        for (auto &process : processes) {
            QVERIFY(process->started());
            ports << process->port();
        }
        QCOMPARE(QSet<quint16>(ports.cbegin(), ports.cend()).size(), servers);

        // Registrations spread over every server at once.
        const QString dir = QStringLiteral("/VELKA/be/");
        QStringList paths;
        for (int i = 0; i < count; ++i)
            paths << registrationPath(dir, registration(digestOf(i), QString::number(i)));
        QHash<qint64, int> owner;
        int duplicates = 0;
        HttpLoad registering;
        QVERIFY(registering.run(ports, 8 * servers, paths, [&](qsizetype i, int status, const QByteArray &body) {
            const qint64 login = status == 200 ? body.toLongLong() : 0;
            duplicates += login <= 0 || owner.contains(login);
            owner.insert(login, int(i));
        }));

        // Each account signs in through another server than the one that made it.
        QStringList signIns;
        for (auto it = owner.cbegin(); it != owner.cend(); ++it)
            signIns << signInPath(dir, it.key(), digestOf(it.value()));
        int accepted = 0;
        ports.move(0, servers - 1);
        QVERIFY(HttpLoad().run(ports, 8 * servers, signIns, [&](qsizetype, int status, const QByteArray &body) {
            accepted += status == 200 && body == LoginAccepted;
        }));
        const int rows = sql(QStringLiteral("SELECT count(DISTINCT login) FROM accounts"));
        qInfo("%d servers, one database: %d registrations sent, %d distinct logins answered, %d refused or repeated, "
              "%d signed in elsewhere, %d rows",
              servers, registering.sent, int(owner.size()), duplicates, accepted, rows);
        QCOMPARE(duplicates, 0);
        QCOMPARE(owner.size(), count);
        QCOMPARE(accepted, count);
        QCOMPARE(rows, count);
    }
};

QTEST_GUILESS_MAIN(tst_Postgres)
#include "tst_postgres.moc"
