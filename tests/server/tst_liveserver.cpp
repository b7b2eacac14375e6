#include "net/liveserver.h"
#include "server/liveserver.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString DigestA = QStringLiteral("0cc175b9c0f1b6a831c399e269772661");
const QString DigestB = QStringLiteral("92eb5ffee6ae2fec3ad71c777531578f");
const QString Absent = QStringLiteral("<absent>");
// Slow enough for other requests to be seen passing a hash in progress.
const HashCost SlowCost = {4, 64 * 1024 * 1024};

struct Reply
{
    int status = 0;
    QByteArray body;
    QByteArray allow;
};

// The 13 registration values in the client's order, every detail set to detail.
QStringList registration(const QString &digest, const QString &detail = QStringLiteral("Dupont"))
{
    return QStringList(11, detail) << digest << QStringLiteral("1");
}

// Built as the client builds it: raw concatenation, QUrl's tolerant mode does the rest.
QString registerPath(const QStringList &values)
{
    QStringList pairs;
    for (qsizetype i = 0; i < values.size(); ++i) {
        if (values[i] != Absent)
            pairs << QLatin1String(RegisterParam::Order[i]) + u'=' + values[i];
    }
    return QLatin1String(LiveScript::Register) + u'?' + pairs.join(u'&');
}

QString loginPath(const QString &login, const QString &digest)
{
    return QLatin1String(LiveScript::Login) + QLatin1String("?l=") + login + QLatin1String("&p=") + digest;
}

} // namespace

class tst_LiveServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void signIn_data();
    void signIn();
    void registerRejected_data();
    void registerRejected();
    void wrongPlaceOrMethod_data();
    void wrongPlaceOrMethod();
    void valuesStoredVerbatim_data();
    void valuesStoredVerbatim();
    void restartKeepsEveryAccount_data();
    void restartKeepsEveryAccount();
    void storedHashIsSaltedArgon2id();
    void readOnlyServesSignInsOnly();
    void noLoginBeyondIntRange();
    void hashRenewedAfterCostChange();
    void answersWhileHashing();
    void vanishedClientGetsNoAccount();
    void accessLogHidesSecrets();
    void servesTls();

private:
    bool startServer(LiveServerOptions options = {});
    QNetworkReply *send(const QString &path, const QByteArray &verb = "GET");
    Reply get(const QString &path, const QByteArray &verb = "GET");
    int registerAccount(const QString &digest);
    QSqlQuery inspect(const QString &sql);
    int accountCount();

    QTemporaryDir m_dir;
    QString m_db;
    QString m_base; // where relative paths go
    int m_serial = 0;
    std::unique_ptr<LiveServer> m_server;
    QNetworkAccessManager m_net;
    QStringList m_log;
};

void tst_LiveServer::init()
{
    m_db = m_dir.filePath(QStringLiteral("accounts-%1.sqlite").arg(++m_serial));
    m_log.clear();
    QVERIFY(startServer());
}

void tst_LiveServer::cleanup()
{
    m_server.reset();
    QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
}

bool tst_LiveServer::startServer(LiveServerOptions options)
{
    m_server.reset();
    options.port = 0;
    options.database = m_db;
    if (options.hashCost == HashCost::interactive())
        options.hashCost = HashCost::minimum();
    m_server = std::make_unique<LiveServer>(options);
    connect(m_server.get(), &LiveServer::requestLogged, this, [this](const QString &l) { m_log << l; });
    if (!m_server->start())
        qWarning() << m_server->errorString();
    m_base = m_server->baseUrl().toString();
    return m_server->isRunning() && m_server->port() != 0;
}

QNetworkReply *tst_LiveServer::send(const QString &path, const QByteArray &verb)
{
    // A path from the host root, or one in the scripts' directory.
    const QString base = path.startsWith(u'/') ? m_base.left(m_base.indexOf(u'/', 8)) : m_base;
    QNetworkRequest request(QUrl(base + path));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(QFINDTESTDATA("data/tls-cert.pem")));
    request.setSslConfiguration(tls);
    return m_net.sendCustomRequest(request, verb);
}

Reply tst_LiveServer::get(const QString &path, const QByteArray &verb)
{
    std::unique_ptr<QNetworkReply> reply(send(path, verb));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!finished.wait(20000))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
            reply->rawHeader("Allow")};
}

int tst_LiveServer::registerAccount(const QString &digest)
{
    const Reply reply = get(registerPath(registration(digest)));
    return reply.status == 200 ? reply.body.toInt() : -1000;
}

QSqlQuery tst_LiveServer::inspect(const QString &sql)
{
    // A connection of its own, as any other program would open the file.
    QSqlDatabase db = QSqlDatabase::database(QStringLiteral("inspect"), false);
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inspect"));
        db.setDatabaseName(m_db);
    }
    if (!db.isOpen())
        db.open();
    QSqlQuery query(db);
    if (!query.exec(sql))
        qWarning() << sql << query.lastError().text();
    return query;
}

int tst_LiveServer::accountCount()
{
    QSqlQuery query = inspect(QStringLiteral("SELECT count(*) FROM accounts"));
    return query.next() ? query.value(0).toInt() : -1;
}

void tst_LiveServer::signIn_data()
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

void tst_LiveServer::signIn()
{
    QFETCH(QString, query);
    QFETCH(QByteArray, answer);

    QCOMPARE(registerAccount(DigestA), 1);
    query.replace(QLatin1String("{}"), QLatin1String("1")).replace(QLatin1String("{a}"), DigestA);
    const Reply reply = get(QLatin1String(LiveScript::Login) + u'?' + query);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, answer);
}

void tst_LiveServer::registerRejected_data()
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

void tst_LiveServer::registerRejected()
{
    QFETCH(QStringList, values);
    QFETCH(int, answer);

    const Reply reply = get(registerPath(values));
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray::number(answer));
    QCOMPARE(accountCount(), answer > 0 ? 1 : 0);
}

void tst_LiveServer::wrongPlaceOrMethod_data()
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
    QTest::newRow("doubled slashes") << QByteArray("GET") << "//VELKA//be//login.php?l=1&p=" + DigestA << 200;
}

void tst_LiveServer::wrongPlaceOrMethod()
{
    QFETCH(QByteArray, verb);
    QFETCH(QString, path);
    QFETCH(int, status);

    const Reply reply = get(path, verb);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.allow, status == 405 ? QByteArray("GET") : QByteArray());
    QCOMPARE(reply.body, status == 200 ? QByteArray("0") : QByteArray());
}

void tst_LiveServer::valuesStoredVerbatim_data()
{
    QTest::addColumn<QString>("value");

    QTest::newRow("statement breaker") << "'); DROP TABLE accounts; --";
    QTest::newRow("always true") << "\" OR 1=1 --";
    QTest::newRow("equals and spaces") << "a=b  c = d";
    QTest::newRow("percent, plus, backslash") << "100% a+b \\n";
    QTest::newRow("beyond Latin-1") << "Zoë Ångström 東京";
}

void tst_LiveServer::valuesStoredVerbatim()
{
    QFETCH(QString, value);

    QCOMPARE(get(registerPath(registration(DigestA, value))).body, QByteArray("1"));
    QCOMPARE(get(loginPath(QStringLiteral("1"), DigestA)).body, QByteArray(LoginAccepted));
    QCOMPARE(accountCount(), 1);
    QSqlQuery row = inspect(QStringLiteral("SELECT civ, lna, fna, ema, ma1, ma2, zip, tow, cou, pho, ins, news "
                                           "FROM accounts WHERE login = 1"));
    QVERIFY(row.next());
    for (int i = 0; i < 11; ++i)
        QCOMPARE(row.value(i).toString(), value);
    QCOMPARE(row.value(11).toInt(), 1);
}

void tst_LiveServer::restartKeepsEveryAccount_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("stopped") << false;
    QTest::newRow("killed") << true; // no chance to close the file
}

void tst_LiveServer::restartKeepsEveryAccount()
{
    QFETCH(bool, killed);

    QProcess process;
    if (killed) {
        m_server.reset();
        process.start(QStringLiteral(VELKA_SERVER_EXE), {QStringLiteral("--port"), QStringLiteral("0"),
                                                         QStringLiteral("--database"), m_db,
                                                         QStringLiteral("--hash-cost"), QStringLiteral("minimum")});
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 20000);
        m_base = QString::fromUtf8(process.readLine().trimmed());
        QVERIFY2(QRegularExpression(QStringLiteral("^http://127.0.0.1:\\d+/VELKA/be/$")).match(m_base).hasMatch(),
                 qPrintable(m_base));
    }
    const QStringList digests = {DigestA, DigestB, DigestA};
    for (int i = 0; i < digests.size(); ++i)
        QCOMPARE(registerAccount(digests[i]), i + 1);

    if (killed) {
        process.kill();
        QVERIFY(process.waitForFinished());
    }
    QVERIFY(startServer());
    for (int i = 0; i < digests.size(); ++i) {
        const QString login = QString::number(i + 1);
        QCOMPARE(get(loginPath(login, digests[i])).body, QByteArray(LoginAccepted));
        QCOMPARE(get(loginPath(login, digests[i] == DigestA ? DigestB : DigestA)).body, QByteArray("0"));
    }
    QCOMPARE(registerAccount(DigestB), 4);
}

void tst_LiveServer::storedHashIsSaltedArgon2id()
{
    QCOMPARE(registerAccount(DigestA), 1);
    QCOMPARE(registerAccount(DigestA), 2);
    QSqlQuery rows = inspect(QStringLiteral("SELECT pwhash FROM accounts"));
    QSet<QString> hashes; // one salt each: equal digests, distinct hashes
    while (rows.next() && rows.value(0).toString().startsWith(QLatin1String("$argon2id$")))
        hashes << rows.value(0).toString();
    QCOMPARE(hashes.size(), 2);

    // Nowhere in the files, whatever column or journal it might hide in.
    m_server.reset();
    for (const QString &suffix : {QString(), QStringLiteral("-wal")}) {
        QFile file(m_db + suffix);
        if (file.open(QIODevice::ReadOnly))
            QVERIFY(!file.readAll().contains(DigestA.toLatin1()));
    }
}

void tst_LiveServer::readOnlyServesSignInsOnly()
{
    QCOMPARE(registerAccount(DigestA), 1);
    LiveServerOptions options;
    options.readOnly = true;
    QVERIFY(startServer(options));
    QCOMPARE(get(loginPath(QStringLiteral("1"), DigestA)).body, QByteArray(LoginAccepted));
    QCOMPARE(registerAccount(DigestB), int(RegisterError::StorageReadOnly));
    QCOMPARE(accountCount(), 1);
}

void tst_LiveServer::noLoginBeyondIntRange()
{
    QCOMPARE(registerAccount(DigestA), 1);
    QCOMPARE(inspect(QStringLiteral("UPDATE sqlite_sequence SET seq = 2147483646")).numRowsAffected(), 1);
    QCOMPARE(registerAccount(DigestB), 2147483647);
    QCOMPARE(registerAccount(DigestB), int(RegisterError::NoLoginLeft));
    QCOMPARE(accountCount(), 2);
    QCOMPARE(get(loginPath(QStringLiteral("2147483647"), DigestB)).body, QByteArray(LoginAccepted));
}

void tst_LiveServer::hashRenewedAfterCostChange()
{
    QCOMPARE(registerAccount(DigestA), 1);
    LiveServerOptions options;
    options.hashCost = {2, HashCost::minimum().memLimit};
    QVERIFY(startServer(options));
    QCOMPARE(get(loginPath(QStringLiteral("1"), DigestA)).body, QByteArray(LoginAccepted));
    QSqlQuery row = inspect(QStringLiteral("SELECT pwhash FROM accounts"));
    QVERIFY(row.next());
    QVERIFY2(row.value(0).toString().contains(QLatin1String(",t=2,")), qPrintable(row.value(0).toString()));
    QCOMPARE(get(loginPath(QStringLiteral("1"), DigestA)).body, QByteArray(LoginAccepted));
}

void tst_LiveServer::answersWhileHashing()
{
    QCOMPARE(registerAccount(DigestA), 1);
    LiveServerOptions options;
    options.hashCost = SlowCost;
    options.maxPendingHashes = 1;
    QVERIFY(startServer(options));

    // A slow registration, then a quick request on the same connection that must not overtake it.
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
    const QByteArray tail = " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    socket.write("GET /VELKA/be/" + registerPath(registration(DigestB)).toUtf8() + tail);
    QTRY_COMPARE(m_server->pendingHashes(), 1);
    socket.write("GET /VELKA/be/nothing.php" + tail);

    // Other connections are served meanwhile; more hashing is refused, not queued.
    QCOMPARE(get(registerPath(registration(DigestB))).body, QByteArray::number(RegisterError::Busy));
    QCOMPARE(get(loginPath(QStringLiteral("1"), DigestA)).status, 503);
    QCOMPARE(get(QStringLiteral("nothing.php")).status, 404);
    QCOMPARE(m_server->pendingHashes(), 1);

    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += socket.readAll()).count("HTTP/1.1 ") == 2, 20000);
    QVERIFY2(received.startsWith("HTTP/1.1 200 ") && received.contains("\r\n\r\n2HTTP/1.1 404 "),
             received.constData());
}

void tst_LiveServer::vanishedClientGetsNoAccount()
{
    LiveServerOptions options;
    options.hashCost = SlowCost;
    QVERIFY(startServer(options));
    std::unique_ptr<QNetworkReply> reply(send(registerPath(registration(DigestA))));
    QTRY_COMPARE(m_server->pendingHashes(), 1);
    reply->abort();
    QTRY_COMPARE(m_log.size(), 1);
    QVERIFY2(m_log[0].contains(QLatin1String(" - aborted ")), qPrintable(m_log[0]));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->pendingHashes(), 0, 20000);
    QCOMPARE(accountCount(), 0);
}

void tst_LiveServer::accessLogHidesSecrets()
{
    QCOMPARE(registerAccount(DigestA), 1);
    get(loginPath(QStringLiteral("1"), DigestA));
    get(QStringLiteral("missing.php?p=") + DigestA);

    QCOMPARE(m_log.size(), 3);
    const QRegularExpression shape(QStringLiteral(R"(^\S+Z 127\.0\.0\.1:\d+ GET /VELKA/be/\S+ \d{3} \S+ \d+ms$)"));
    for (const QString &line : std::as_const(m_log)) {
        QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
        QVERIFY2(!line.contains(DigestA) && !line.contains(u'?') && !line.contains(QLatin1String("Dupont")),
                 qPrintable(line));
    }
    QVERIFY(m_log[0].contains(QLatin1String("/register.php 200 1 ")));
    QVERIFY(m_log[1].contains(QLatin1String("/login.php 200 1 ")));
    QVERIFY(m_log[2].contains(QLatin1String("/missing.php 404 - ")));
}

void tst_LiveServer::servesTls()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS backend");
    LiveServerOptions options;
    options.tlsCertificate = QFINDTESTDATA("data/tls-cert.pem");
    options.tlsKey = QFINDTESTDATA("data/tls-key.pem");
    QVERIFY(startServer(options));
    QVERIFY(m_base.startsWith(QLatin1String("https://")));
    QCOMPARE(registerAccount(DigestA), 1);
    QCOMPARE(get(loginPath(QStringLiteral("1"), DigestA)).body, QByteArray(LoginAccepted));
}

QTEST_GUILESS_MAIN(tst_LiveServer)
#include "tst_liveserver.moc"
