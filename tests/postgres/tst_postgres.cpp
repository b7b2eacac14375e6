#include "serverfixture.h"

#include <QSet>

// The account store on the PostgreSQL server named by VELKA_TEST_PG; every case starts from no tables.
class tst_Postgres : public QObject
{
    Q_OBJECT
    QString m_uri = qEnvironmentVariable("VELKA_TEST_PG");
    QString m_database = QUrl(m_uri).path().mid(1);
    std::optional<LocalServer> s;

private slots:
    void initTestCase()
    {
        if (m_uri.isEmpty())
            QSKIP("VELKA_TEST_PG is not set: run under tests/postgres/with-postgres.sh");
        const QUrl url(m_uri);
        QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "inspect");
        db.setHostName(url.host());
        db.setPort(url.port(5432));
        db.setUserName(url.userName());
        db.setPassword(url.password());
        db.setDatabaseName(m_database);
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
    }
    void init()
    {
        QCOMPARE(sqlValue("DROP TABLE IF EXISTS accounts, velka_schema"), 0);
        s.emplace().options.database = m_uri;
    }
    void cleanup()
    {
        s.reset();
        sqlValue("ALTER DATABASE " + m_database + " RESET default_transaction_read_only");
    }
    void cleanupTestCase() { QSqlDatabase::removeDatabase("inspect"); }

    void accounts()
    {
        QVERIFY(s->start());
        QCOMPARE(s->registerAccount(DigestA), 1);
        QCOMPARE(s->registerAccount(DigestB), 2);
        QCOMPARE(s->signIn(2, DigestA), QByteArray("0"));
        QCOMPARE(sqlValue("SELECT count(*) FROM accounts WHERE pwhash LIKE '$argon2id$%' AND pwhash NOT LIKE '%" + DigestA + "%'"), 2);
        // Another server on the same database finds the accounts; a deleted login is never handed out again.
        QCOMPARE(sqlValue("DELETE FROM accounts WHERE login = 2"), 0);
        QVERIFY(s->start());
        QCOMPARE(s->signIn(1, DigestA), QByteArray(LoginAccepted));
        QCOMPARE(s->registerAccount(DigestA), 3);
        QCOMPARE(sqlValue("ALTER TABLE accounts ALTER COLUMN login RESTART WITH 2147483647"), 0);
        QCOMPARE(s->registerAccount(DigestB), 2147483647);
        QCOMPARE(s->registerAccount(DigestB), RegisterError::NoLoginLeft);
        QCOMPARE(s->signIn(2147483647, DigestB), QByteArray(LoginAccepted));
        // Read-only by option, then by the database itself as on a standby: sign-ins only.
        for (bool option : {true, false}) {
            if (!option)
                QCOMPARE(sqlValue("ALTER DATABASE " + m_database + " SET default_transaction_read_only = on"), 0);
            s->options.readOnly = option;
            QVERIFY(s->start());
            QCOMPARE(s->signIn(1, DigestA), QByteArray(LoginAccepted));
            QCOMPARE(s->registerAccount(DigestB), RegisterError::StorageReadOnly);
        }
        QCOMPARE(sqlValue("SELECT count(*) FROM accounts"), 3);
    }

    // Shipped servers started together on an empty database agree on who creates the tables and
    // never hand out one login twice; the accounts sign in through any of them.
    void serversShareOneDatabase()
    {
        std::vector<std::unique_ptr<ServerProcess>> servers;
        QList<quint16> ports;
        for (int i = 0; i < 3; ++i)
            servers.emplace_back(new ServerProcess)->launch(m_uri);
        for (auto &server : servers) {
            QVERIFY(server->started());
            ports << server->port;
        }
        QCOMPARE(QSet<quint16>(ports.cbegin(), ports.cend()).size(), 3);
        const int count = 150 * qMax(1, qEnvironmentVariableIntValue("VELKA_LOAD_SCALE"));
        const Registrations made(ports, count);
        const int accepted = made.signInAll(ports);
        const int rows = sqlValue("SELECT count(DISTINCT login) FROM accounts");
        qInfo("3 servers, one database: %d registrations sent, %d distinct logins answered, %d refused or repeated, "
              "%d signed in, %d rows", made.sent, int(made.owner.size()), made.refused, accepted, rows);
        QCOMPARE(made.refused, 0);
        QCOMPARE(made.owner.size(), count);
        QCOMPARE(accepted, count);
        QCOMPARE(rows, count);
    }
};

QTEST_GUILESS_MAIN(tst_Postgres)
#include "tst_postgres.moc"
