#include "httpload.h"
#include "serverprocess.h"

#include "server/liveserver.h"

#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

namespace {

const QString DigestA = QStringLiteral("0cc175b9c0f1b6a831c399e269772661");
const QString DigestB = QStringLiteral("92eb5ffee6ae2fec3ad71c777531578f");

} // namespace

// The account store on a real PostgreSQL server, named by VELKA_TEST_PG
// (postgresql://user@127.0.0.1:port/db). Every case starts from no tables.
class tst_Postgres : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void registerAndSignIn();
    void readOnly_data();
    void readOnly();
    void loginsNeverReused();
    void noLoginBeyondIntRange();
    void serversShareOneDatabase();

private:
    bool sql(const QString &statement);
    int scalar(const QString &statement);
    bool startServer(bool readOnly = false);
    qint64 registerAccount(const QString &digest);
    QByteArray signIn(qint64 login, const QString &digest);
    QByteArray get(const QString &path);

    QString m_uri;
    std::unique_ptr<LiveServer> m_server;
};

void tst_Postgres::initTestCase()
{
    m_uri = qEnvironmentVariable("VELKA_TEST_PG");
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

void tst_Postgres::init()
{
    QVERIFY(sql(QStringLiteral("DROP TABLE IF EXISTS accounts, velka_schema")));
}

void tst_Postgres::cleanup()
{
    m_server.reset();
}

void tst_Postgres::cleanupTestCase()
{
    QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
}

bool tst_Postgres::sql(const QString &statement)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("inspect")));
    if (!query.exec(statement)) {
        qWarning() << statement << query.lastError().text();
        return false;
    }
    return true;
}

int tst_Postgres::scalar(const QString &statement)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("inspect")));
    return query.exec(statement) && query.next() ? query.value(0).toInt() : -1;
}

bool tst_Postgres::startServer(bool readOnly)
{
    m_server.reset();
    LiveServerOptions options;
    options.port = 0;
    options.database = m_uri;
    options.readOnly = readOnly;
    options.hashCost = HashCost::minimum();
    m_server = std::make_unique<LiveServer>(options);
    if (!m_server->start())
        qWarning() << m_server->errorString();
    return m_server->isRunning();
}

QByteArray tst_Postgres::get(const QString &path)
{
    QByteArray body = "<none>";
    HttpLoad load({m_server->port()}, 1);
    load.run({path}, [&](qsizetype, int status, const QByteArray &b) {
        body = status == 200 ? b : "HTTP " + QByteArray::number(status);
    });
    return body;
}

qint64 tst_Postgres::registerAccount(const QString &digest)
{
    return get(registrationPath(m_server->baseUrl().path(), digest)).toLongLong();
}

QByteArray tst_Postgres::signIn(qint64 login, const QString &digest)
{
    return get(signInPath(m_server->baseUrl().path(), login, digest));
}

void tst_Postgres::registerAndSignIn()
{
    QVERIFY(startServer());
    QCOMPARE(registerAccount(DigestA), 1);
    QCOMPARE(registerAccount(DigestB), 2);
    QCOMPARE(signIn(1, DigestA), QByteArray(LoginAccepted));
    QCOMPARE(signIn(2, DigestA), QByteArray("0"));
    QCOMPARE(signIn(3, DigestA), QByteArray("0"));
    // Stored as a salted hash, never as the digest.
    QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM accounts WHERE pwhash LIKE '$argon2id$%'")), 2);
    QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM accounts WHERE pwhash LIKE '%%1%'").arg(DigestA)), 0);

    // Another server on the same database finds the accounts and goes on counting.
    QVERIFY(startServer());
    QCOMPARE(signIn(2, DigestB), QByteArray(LoginAccepted));
    QCOMPARE(registerAccount(DigestA), 3);
}

void tst_Postgres::readOnly_data()
{
    QTest::addColumn<bool>("option");
    QTest::newRow("--read-only") << true;
    QTest::newRow("read-only database") << false; // as on a standby
}

void tst_Postgres::readOnly()
{
    QFETCH(bool, option);

    QVERIFY(startServer());
    QCOMPARE(registerAccount(DigestA), 1);
    const QString database = QUrl(m_uri).path().mid(1);
    if (!option)
        QVERIFY(sql(QStringLiteral("ALTER DATABASE %1 SET default_transaction_read_only = on").arg(database)));
    const auto reset = qScopeGuard([&] {
        sql(QStringLiteral("ALTER DATABASE %1 RESET default_transaction_read_only").arg(database));
    });
    QVERIFY(startServer(option));
    QCOMPARE(signIn(1, DigestA), QByteArray(LoginAccepted));
    QCOMPARE(registerAccount(DigestB), qint64(RegisterError::StorageReadOnly));
    QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM accounts")), 1);
}

void tst_Postgres::loginsNeverReused()
{
    QVERIFY(startServer());
    QCOMPARE(registerAccount(DigestA), 1);
    QCOMPARE(registerAccount(DigestA), 2);
    QVERIFY(sql(QStringLiteral("DELETE FROM accounts WHERE login = 2")));
    QVERIFY(startServer());
    QCOMPARE(registerAccount(DigestA), 3);
}

void tst_Postgres::noLoginBeyondIntRange()
{
    QVERIFY(startServer());
    QCOMPARE(registerAccount(DigestA), 1);
    QVERIFY(sql(QStringLiteral("ALTER TABLE accounts ALTER COLUMN login RESTART WITH 2147483647")));
    QCOMPARE(registerAccount(DigestB), 2147483647);
    QCOMPARE(registerAccount(DigestB), qint64(RegisterError::NoLoginLeft));
    QCOMPARE(signIn(2147483647, DigestB), QByteArray(LoginAccepted));
    QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM accounts")), 2);
}

void tst_Postgres::serversShareOneDatabase()
{
    // Started together on an empty database: they agree on who creates the tables.
    const int servers = 3;
    const int count = 150 * qMax(1, qEnvironmentVariableIntValue("VELKA_LOAD_SCALE"));
    std::vector<std::unique_ptr<ServerProcess>> processes;
    for (int i = 0; i < servers; ++i)
        processes.push_back(std::make_unique<ServerProcess>());
    const QStringList args = {QStringLiteral("--database"), m_uri, QStringLiteral("--hash-cost"),
                              QStringLiteral("minimum"), QStringLiteral("--max-pending"), QStringLiteral("64")};
    for (auto &process : processes)
        process->process().start(QStringLiteral(VELKA_SERVER_EXE), QStringList(args) << QStringLiteral("--port") << QStringLiteral("0"));
    QList<quint16> ports;
    for (auto &process : processes) {
        QTRY_VERIFY_WITH_TIMEOUT(process->process().canReadLine(), 30000);
        ports << quint16(QUrl(QString::fromUtf8(process->process().readLine().trimmed())).port());
    }
    QCOMPARE(QSet<quint16>(ports.cbegin(), ports.cend()).size(), servers);

    // Registrations spread over every server at once.
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths << registrationPath(QStringLiteral("/VELKA/be/"), digestOf(i), i);
    QHash<qint64, int> owner;
    int duplicates = 0;
    HttpLoad registering(ports, 8 * servers);
    QVERIFY(registering.run(paths, [&](qsizetype i, int status, const QByteArray &body) {
        const qint64 login = status == 200 ? body.toLongLong() : 0;
        duplicates += login <= 0 || owner.contains(login) ? 1 : 0;
        owner.insert(login, int(i));
    }));

    // Each account signs in through another server than the one that made it.
    QStringList signIns;
    for (auto it = owner.cbegin(); it != owner.cend(); ++it)
        signIns << signInPath(QStringLiteral("/VELKA/be/"), it.key(), digestOf(it.value()));
    int accepted = 0;
    QList<quint16> rotated = ports;
    rotated.move(0, servers - 1);
    HttpLoad signingIn(rotated, 8 * servers);
    QVERIFY(signingIn.run(signIns, [&](qsizetype, int status, const QByteArray &body) {
        accepted += status == 200 && body == LoginAccepted ? 1 : 0;
    }));
    const int rows = scalar(QStringLiteral("SELECT count(DISTINCT login) FROM accounts"));
    qInfo("%d servers, one database: %d registrations sent, %d distinct logins answered, %d refused or repeated, "
          "%d signed in elsewhere, %d rows",
          servers, registering.sent(), int(owner.size()), duplicates, accepted, rows);
    QCOMPARE(duplicates, 0);
    QCOMPARE(owner.size(), count);
    QCOMPARE(accepted, count);
    QCOMPARE(rows, count);
}

QTEST_GUILESS_MAIN(tst_Postgres)
#include "tst_postgres.moc"
