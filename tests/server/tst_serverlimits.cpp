#include "httpload.h"
#include "serverprocess.h"

#include "server/liveserver.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include <unistd.h>

namespace {

const QString DigestA = QStringLiteral("0cc175b9c0f1b6a831c399e269772661");
const QString DigestB = QStringLiteral("92eb5ffee6ae2fec3ad71c777531578f");

QString loginPath(qint64 login, const QString &digest)
{
    return signInPath(QString(), login, digest);
}

struct Answer
{
    int status = 0;
    QByteArray head;
    QByteArray body;
    bool closed = false; // the server closed the connection after it
};

// A request as the bytes on the wire.
QByteArray request(const QByteArray &target, const QByteArray &fields = "Host: 127.0.0.1\r\n")
{
    return "GET " + target + " HTTP/1.1\r\n" + fields + "\r\n";
}

} // namespace

class tst_ServerLimits : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void refusedBeforeParsing_data();
    void refusedBeforeParsing();
    void idleConnectionClosed();
    void tricklingRequestTimesOut();
    void hashingOutlastsIdleTimeout();
    void connectionCap();
    void failedSignInsSlowedDown();
    void parallelGuessesRefused();
    void fullDiskAnswersCode();

private:
    bool startServer(const LiveServerOptions &options = {});
    Answer send(QTcpSocket &socket, const QByteArray &raw);
    Answer exchange(const QByteArray &raw);
    QByteArray get(const QString &path);
    qint64 registerAccount(const QString &digest);

    QTemporaryDir m_dir;
    int m_serial = 0;
    std::unique_ptr<LiveServer> m_server;
    QStringList m_log;
};

void tst_ServerLimits::init()
{
    m_log.clear();
}

void tst_ServerLimits::cleanup()
{
    m_server.reset();
}

bool tst_ServerLimits::startServer(const LiveServerOptions &given)
{
    m_server.reset();
    LiveServerOptions options = given;
    options.port = 0;
    if (options.database.isEmpty())
        options.database = m_dir.filePath(QStringLiteral("accounts-%1.sqlite").arg(++m_serial));
    if (options.hashCost == HashCost::interactive())
        options.hashCost = HashCost::minimum();
    m_server = std::make_unique<LiveServer>(options);
    connect(m_server.get(), &LiveServer::requestLogged, this, [this](const QString &l) { m_log << l; });
    if (!m_server->start())
        qWarning() << m_server->errorString();
    return m_server->isRunning();
}

Answer tst_ServerLimits::send(QTcpSocket &socket, const QByteArray &raw)
{
    // The server runs on this thread: wait with its events going on.
    const auto until = [](const std::function<bool()> &done) {
        const QDeadlineTimer deadline(20000);
        while (!done() && !deadline.hasExpired())
            QTest::qWait(2);
        return done();
    };
    if (socket.state() != QAbstractSocket::ConnectedState) {
        socket.connectToHost(QHostAddress::LocalHost, m_server->port());
        // Refused at once, it may be closed again before it is seen connected.
        until([&] { return socket.state() == QAbstractSocket::ConnectedState || socket.bytesAvailable() > 0; });
    }
    socket.write(raw);
    // Until one whole answer is in, or the server has closed.
    Answer answer;
    QByteArray in;
    until([&] {
        in += socket.readAll();
        const qsizetype end = in.indexOf("\r\n\r\n");
        if (end < 0)
            return socket.state() == QAbstractSocket::UnconnectedState;
        answer.head = in.left(end);
        const qsizetype at = answer.head.toLower().indexOf("content-length:");
        const qsizetype length = at < 0 ? 0 : answer.head.mid(at + 15).split('\r').first().trimmed().toLongLong();
        return in.size() >= end + 4 + length || socket.state() == QAbstractSocket::UnconnectedState;
    });
    const qsizetype end = in.indexOf("\r\n\r\n");
    if (end < 0) {
        answer.closed = socket.state() == QAbstractSocket::UnconnectedState;
        return answer;
    }
    answer.status = in.mid(9, 3).toInt();
    answer.body = in.mid(end + 4);
    if (answer.head.contains("Connection: close"))
        until([&] { return socket.state() == QAbstractSocket::UnconnectedState; });
    answer.closed = socket.state() == QAbstractSocket::UnconnectedState;
    return answer;
}

Answer tst_ServerLimits::exchange(const QByteArray &raw)
{
    QTcpSocket socket;
    return send(socket, raw);
}

QByteArray tst_ServerLimits::get(const QString &path)
{
    return exchange(request(m_server->baseUrl().path().toUtf8() + path.toUtf8())).body;
}

qint64 tst_ServerLimits::registerAccount(const QString &digest)
{
    const Answer answer = exchange(request(registrationPath(m_server->baseUrl().path(), digest).toUtf8()));
    return answer.status == 200 ? answer.body.toLongLong() : -1000;
}

void tst_ServerLimits::refusedBeforeParsing_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("status");

    const RequestLimits limits;
    const QByteArray script = "/VELKA/be/none.php";
    const QByteArray atLimit = "/" + QByteArray(limits.maxRequestLine - 14, 'a'); // "GET " and " HTTP/1.1"
    QTest::newRow("request line at the limit") << request(atLimit) << 404;
    QTest::newRow("request line one byte over") << request(atLimit + 'a') << 414;
    QByteArray fields;
    for (int i = 0; i < limits.maxHeaderFields; ++i)
        fields += "X-" + QByteArray::number(i) + ": y\r\n";
    QTest::newRow("fields at the limit") << request(script, fields) << 404;
    QTest::newRow("one field too many") << request(script, fields + "Z: 1\r\n") << 431;
    QTest::newRow("fields over the byte limit")
        << request(script, "X: " + QByteArray(limits.maxHeaderBytes, 'x') + "\r\n") << 431;
    QTest::newRow("body within the limit") << request(script, "Content-Length: 5\r\n") + "abcde" << 404;
    QTest::newRow("body too large")
        << request(script, "Content-Length: " + QByteArray::number(limits.maxBody + 1) + "\r\n") << 413;
    QTest::newRow("body of unknown length") << request(script, "Transfer-Encoding: chunked\r\n") << 411;
    QTest::newRow("two lengths") << request(script, "Content-Length: 1\r\nContent-Length: 2\r\n") + "ab" << 400;
    QTest::newRow("length not a number") << request(script, "Content-Length: 1x\r\n") << 400;
    QTest::newRow("unknown method") << QByteArray("BREW /VELKA/be/login.php HTTP/1.1\r\n\r\n") << 501;
    QTest::newRow("tunnel") << QByteArray("CONNECT 127.0.0.1:22 HTTP/1.1\r\n\r\n") << 501;
    QTest::newRow("no version") << QByteArray("GET /VELKA/be/login.php\r\n\r\n") << 400;
    QTest::newRow("HTTP/2 preface") << QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") << 400;
    QTest::newRow("space in the target") << QByteArray("GET /a b HTTP/1.1\r\n\r\n") << 400;
    QTest::newRow("field without colon") << request(script, "Host 127.0.0.1\r\n") << 400;
    QTest::newRow("folded field") << request(script, "X: a\r\n b\r\n") << 400;
    QTest::newRow("control character in a value") << request(script, QByteArray("X: a\0b\r\n", 8)) << 400;
    QTest::newRow("bare carriage return") << request(script, "X: a\rb\r\n") << 400;
    QTest::newRow("TLS on the plain port") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) << 0;
    QTest::newRow("endless empty lines") << QByteArray(20, '\n') + request(script) << 400;

    // The largest registration the client can send gets through the default limits.
    QString largest = registrationPath(QStringLiteral("/VELKA/be/"), DigestA);
    largest.replace(QLatin1String("Load0"), QString(256, QChar(0x6771)));
    QTest::newRow("largest registration")
        << request(QUrl(largest).toEncoded(QUrl::FullyEncoded)) << 200;
}

void tst_ServerLimits::refusedBeforeParsing()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, status);

    QVERIFY(startServer());
    QTcpSocket socket;
    const Answer answer = send(socket, raw);
    QCOMPARE(answer.status, status);
    if (status == 0) {
        // Nothing it could read: closed without a word, and logged as a bad request.
        QVERIFY(answer.closed);
        QTRY_COMPARE(m_log.size(), 1);
        QVERIFY2(m_log[0].contains(QLatin1String(" - - 400 ")), qPrintable(m_log[0]));
    } else if (status >= 400 && status != 404) {
        // Refused: said so, closed, logged, and nothing reached the scripts.
        QVERIFY2(answer.head.contains("\r\nConnection: close"), answer.head.constData());
        QVERIFY(answer.closed);
        QTRY_COMPARE(m_log.size(), 1);
        QVERIFY2(m_log[0].contains(QStringLiteral(" - - %1 ").arg(status)), qPrintable(m_log[0]));
    } else {
        // Accepted: the same connection serves another request.
        QVERIFY(!answer.closed);
        QCOMPARE(send(socket, request("/VELKA/be/none.php")).status, 404);
        if (status == 200)
            QCOMPARE(answer.body, QByteArray("1"));
    }
}

void tst_ServerLimits::idleConnectionClosed()
{
    LiveServerOptions options;
    options.idleTimeoutMs = 200;
    QVERIFY(startServer(options));
    QTcpSocket silent;
    silent.connectToHost(QHostAddress::LocalHost, m_server->port());
    QTcpSocket served;
    QCOMPARE(send(served, request("/VELKA/be/none.php")).status, 404);
    QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(served.state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_COMPARE(m_server->connectionCount(), 0);
}

void tst_ServerLimits::tricklingRequestTimesOut()
{
    LiveServerOptions options;
    options.idleTimeoutMs = 300;
    QVERIFY(startServer(options));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
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

void tst_ServerLimits::hashingOutlastsIdleTimeout()
{
    LiveServerOptions options;
    options.idleTimeoutMs = 50;
    options.hashCost = {4, 64 * 1024 * 1024}; // several times the timeout
    QVERIFY(startServer(options));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(registerAccount(DigestA), 1);
    QVERIFY(clock.elapsed() > options.idleTimeoutMs);
}

void tst_ServerLimits::connectionCap()
{
    LiveServerOptions options;
    options.maxConnections = 2;
    QVERIFY(startServer(options));
    QTcpSocket first;
    QTcpSocket second;
    QCOMPARE(send(first, request("/VELKA/be/none.php")).status, 404);
    QCOMPARE(send(second, request("/VELKA/be/none.php")).status, 404);

    const Answer third = exchange(request("/VELKA/be/none.php"));
    QCOMPARE(third.status, 503);
    QVERIFY(third.closed);

    first.disconnectFromHost();
    QTRY_COMPARE(m_server->connectionCount(), 1);
    QCOMPARE(exchange(request("/VELKA/be/none.php")).status, 404);
    QCOMPARE(send(second, request("/VELKA/be/none.php")).status, 404);
}

void tst_ServerLimits::failedSignInsSlowedDown()
{
    LiveServerOptions options;
    options.signInThrottle.freeFailures = 2;
    options.signInThrottle.firstDelayMs = 300;
    QVERIFY(startServer(options));
    QCOMPARE(registerAccount(DigestA), 1);
    QCOMPARE(registerAccount(DigestA), 2);

    QCOMPARE(get(loginPath(1, DigestB)), QByteArray("0"));
    QCOMPARE(get(loginPath(1, DigestB)), QByteArray("0"));

    // The third guess waits; another login meanwhile does not.
    QTcpSocket slowed;
    slowed.connectToHost(QHostAddress::LocalHost, m_server->port());
    QTRY_COMPARE(slowed.state(), QAbstractSocket::ConnectedState);
    QElapsedTimer clock;
    clock.start();
    slowed.write(request(m_server->baseUrl().path().toUtf8() + loginPath(1, DigestB).toUtf8()));
    QCOMPARE(get(loginPath(2, DigestA)), QByteArray(LoginAccepted));
    QCOMPARE(slowed.bytesAvailable(), 0);
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += slowed.readAll()).endsWith("\r\n\r\n0"), 10000);
    QVERIFY(clock.elapsed() >= 300);

    // The right password still gets in after its wait, and starts the count again.
    clock.restart();
    QCOMPARE(get(loginPath(1, DigestA)), QByteArray(LoginAccepted));
    QVERIFY(clock.elapsed() >= 600);
    QCOMPARE(get(loginPath(1, DigestB)), QByteArray("0"));
    QCOMPARE(m_log.filter(QLatin1String("slowed down")).size(), 2);
}

void tst_ServerLimits::parallelGuessesRefused()
{
    LiveServerOptions options;
    options.signInThrottle.freeFailures = 2;
    options.signInThrottle.firstDelayMs = 200;
    options.signInThrottle.maxDelayMs = 1000;
    QVERIFY(startServer(options));
    QCOMPARE(registerAccount(DigestA), 1);

    // Many connections, one login: beyond the longest wait they are turned away.
    QStringList guesses;
    for (int i = 0; i < 16; ++i)
        guesses << m_server->baseUrl().path() + loginPath(1, digestOf(i));
    int refusals = 0;
    int answers = 0;
    HttpLoad load({m_server->port()}, 16);
    QVERIFY(load.run(guesses, [&](qsizetype, int status, const QByteArray &body) {
        refusals += status == 503 ? 1 : 0;
        answers += status == 200 && body == "0" ? 1 : 0;
    }));
    QCOMPARE(refusals + answers, guesses.size());
    QVERIFY(answers >= options.signInThrottle.freeFailures);
    QVERIFY(refusals >= guesses.size() / 2);
    QVERIFY(m_log.filter(QLatin1String(" 503 - ")).size() == refusals);
}

void tst_ServerLimits::fullDiskAnswersCode()
{
    // A real full file system: a small tmpfs, which only root may mount.
    QTemporaryDir mountPoint;
    if (geteuid() != 0
        || QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                                       QStringLiteral("-o"), QStringLiteral("size=1m"),
                                                       QStringLiteral("tmpfs"), mountPoint.path()})
            != 0) {
        QSKIP("needs root and mount for a small file system to fill");
    }
    const auto unmount = qScopeGuard([&] {
        m_server.reset();
        QProcess::execute(QStringLiteral("umount"), {mountPoint.path()});
    });
    LiveServerOptions options;
    options.database = mountPoint.filePath(QStringLiteral("accounts.sqlite"));
    QVERIFY(startServer(options));
    QCOMPARE(registerAccount(DigestA), 1);

    QFile filler(mountPoint.filePath(QStringLiteral("filler")));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'x');
    for (int i = 0; i < 1024 && filler.write(block) == block.size() && filler.flush(); ++i) {
    }
    filler.close();

    qint64 code = 0;
    for (int i = 0; i < 20 && code >= 0; ++i) // the WAL may hold a little room still
        code = registerAccount(DigestB);
    QCOMPARE(code, qint64(RegisterError::StorageReadOnly));
    QCOMPARE(get(loginPath(1, DigestA)), QByteArray(LoginAccepted));

    // Room again: served again, without a restart.
    QVERIFY(filler.remove());
    QVERIFY(registerAccount(DigestB) > 1);
}

QTEST_GUILESS_MAIN(tst_ServerLimits)
#include "tst_serverlimits.moc"
