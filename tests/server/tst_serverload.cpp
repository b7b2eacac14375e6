#include "serverfixture.h"

#include <QTimer>

#include <csignal>
#include <functional>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// GETs of the scripts, all at once over `parallel` connections spread over ports (six a
// manager); onAnswer(index, status or 0 for none, body) until it returns false, after
// which what is still out is left unheard (a killed server's connection may never end).
static void load(const QList<quint16> &ports, int parallel, const QStringList &scripts,
                 const std::function<bool(qsizetype, int, const QByteArray &)> &onAnswer)
{
    std::vector<std::unique_ptr<QNetworkAccessManager>> managers(qMax(parallel / 6, 1));
    for (auto &manager : managers)
        manager = std::make_unique<QNetworkAccessManager>();
    qsizetype left = scripts.size();
    QTimer done;
    for (qsizetype i = 0; i < scripts.size(); ++i) {
        const size_t m = size_t(i) % managers.size(); // each manager to one server
        QNetworkReply *reply = managers[m]->get(QNetworkRequest(scriptUrl(ports[qsizetype(m) % ports.size()], scripts[i])));
        // Heard by done, so that nothing still out reaches this frame once it has gone.
        QObject::connect(reply, &QNetworkReply::finished, &done, [&, i, reply] {
            // Network errors (below 200) leave no answer, even after a status line came in.
            const bool answered = reply->error() == QNetworkReply::NoError || reply->error() >= 200;
            if (!onAnswer(i, answered ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0,
                          answered ? reply->readAll() : QByteArray()) || --left == 0)
                done.start(0);
        });
    }
    QVERIFY(scripts.isEmpty() || QSignalSpy(&done, &QTimer::timeout).wait(qMax(120000, int(scripts.size()) * 4)));
}

// Registrations racing on many connections to shipped servers on one database, of which one may
// be killed (SIGKILL) part way. Every login answered is distinct and signs in after a restart,
// and the next one is beyond them all. CI raises VELKA_LOAD_SCALE and reads the counts printed.
class tst_ServerLoad : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void registrations_data()
    {
        QTest::addColumn<QString>("database"); // empty: an SQLite file of its own
        QTest::addColumn<int>("servers");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("atAThird"); // "kill" the first server, or take a "backup" while it goes on
        const int scale = qMax(1, qEnvironmentVariableIntValue("VELKA_LOAD_SCALE"));
        QTest::newRow("racing, with a backup") << QString() << 1 << 200 * scale << "backup";
        QTest::newRow("kill -9 at a third") << QString() << 1 << 400 * scale << "kill";
        // Started together, they race to create the tables too.
        QTest::newRow("three servers, one SQLite file") << QString() << 3 << 150 * scale << "";
        QTest::newRow("three servers, one PostgreSQL") << qEnvironmentVariable("VELKA_TEST_PG", "none") << 3 << 150 * scale << "";
    }
    void registrations()
    {
        QFETCH(QString, database);
        QFETCH(int, servers);
        QFETCH(int, count);
        QFETCH(QString, atAThird);
        const bool kill = atAThird == "kill", backup = atAThird == "backup";
        if (database == "none")
            QSKIP("VELKA_TEST_PG is not set: run under scripts/with-postgres.sh");
        if (database.isEmpty())
            database = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        std::vector<std::unique_ptr<ServerProcess>> running;
        QList<quint16> ports;
        for (int i = 0; i < servers; ++i)
            running.emplace_back(new ServerProcess)->launch(database);
        for (auto &server : running) {
            QVERIFY(server->started());
            ports << server->port;
        }

        QHash<qint64, int> owner; // login -> registration
        int refused = 0;          // answered without a login, or with one handed out before
        QStringList answeredBeforeCopy;
        QProcess copying; // --backup, beside the registrations still going on
        QStringList scripts;
        for (int i = 0; i < count; ++i)
            scripts << registerScript(registration(digestOf(i), QString::number(i)));
        load(ports, 60, scripts, [&](qsizetype i, int status, const QByteArray &body) {
            const qint64 login = status == 200 ? body.toLongLong() : 0;
            if (status) {
                refused += login <= 0 || owner.contains(login);
                owner.insert(login, int(i));
            }
            if (kill && owner.size() >= count / 3)
                running[0]->kill();
            if (backup && owner.size() >= count / 3 && answeredBeforeCopy.isEmpty()) {
                for (const qint64 login : owner.keys())
                    answeredBeforeCopy << QString::number(login);
                copying.start(VELKA_SERVER_EXE, {"--database", database, "--backup", database + ".copy"});
            }
            return running[0]->process.state() == QProcess::Running;
        });
        // The copy opens as a database of its own and holds every account answered before it began.
        if (backup) {
            QTRY_VERIFY_WITH_TIMEOUT(copying.state() == QProcess::NotRunning && copying.exitCode() == 0, 30000);
            const auto forget = qScopeGuard([] { QSqlDatabase::removeDatabase("inspect"); });
            QVERIFY(inspect(database + ".copy"));
            QCOMPARE(sqlValue("SELECT count(*) FROM accounts WHERE login IN (" + answeredBeforeCopy.join(',') + ")"),
                     answeredBeforeCopy.size());
            QVERIFY(sqlValue("SELECT count(*) FROM accounts") <= count);
        }
        running.clear();

        ServerProcess restarted;
        QVERIFY(restarted.start(database));
        scripts.clear();
        for (auto it = owner.cbegin(); it != owner.cend(); ++it)
            scripts << signInScript(it.key(), digestOf(it.value()));
        int found = 0;
        load({restarted.port}, 32, scripts, [&](qsizetype, int status, const QByteArray &body) {
            found += status == 200 && body == LoginAccepted;
            return true;
        });
        QNetworkAccessManager client;
        const qint64 next = get(client, scriptUrl(restarted.port, registerScript(registration(DigestA)))).body.toLongLong();
        qInfo("%s: %d registrations over 60 connections to %d server(s), %d logins answered, %d refused or repeated; "
              "after restart %d of them found", QTest::currentDataTag(), count, servers, int(owner.size()), refused, found);
        QCOMPARE(refused, 0);
        QCOMPARE(found, owner.size());
        QVERIFY(kill ? owner.size() >= count / 3 && owner.size() < count : owner.size() == count);
        const QList<qint64> logins = owner.keys();
        QVERIFY(next > *std::max_element(logins.cbegin(), logins.cend()));
    }

    // Guesses at one login spread over three servers on one database are slowed as on one, and a
    // restart forgets nothing; a flood of other logins frees it from nothing.
    void sharedSignInCount()
    {
        const QString database = m_dir.filePath("shared.sqlite");
        const QStringList policy = {"--free-failed-sign-ins", "1", "--sign-in-delay", "100"};
        std::vector<std::unique_ptr<ServerProcess>> servers(3);
        for (auto &server : servers)
            QVERIFY((server = std::make_unique<ServerProcess>())->start(database, policy));
        QNetworkAccessManager client;
        const qint64 login = get(client, scriptUrl(servers[0]->port, registerScript(registration(DigestA)))).body.toLongLong();
        const qint64 other = get(client, scriptUrl(servers[0]->port, registerScript(registration(DigestA)))).body.toLongLong();
        QElapsedTimer clock;
        // Waits of 0, 100, 200, 400 ms from one address, at one server or spread over three.
        for (const int spread : {1, 3}) {
            qint64 waited = 0;
            for (int i = 0; i < 4; ++i) {
                clock.start();
                const QString script = signInScript(spread == 1 ? other : login, DigestB);
                QCOMPARE(get(client, scriptUrl(servers[size_t(i % spread)]->port, script)).body, "0");
                QVERIFY2(clock.elapsed() >= (i ? 100 << (i - 1) : 0), qPrintable(QString::number(clock.elapsed())));
                waited += clock.elapsed();
            }
            qInfo("4 guesses at %d server(s) took %lld ms: %lld a minute", spread, waited, 4 * 60000 / qMax<qint64>(waited, 1));
        }
        servers.resize(1);
        servers[0]->kill();
        QVERIFY(servers[0]->start(database, policy));
        const int flood = 2000 * qMax(1, qEnvironmentVariableIntValue("VELKA_LOAD_SCALE"));
        QStringList others;
        for (int i = 0; i < flood; ++i)
            others << signInScript(1000 + i, DigestB);
        load({servers[0]->port}, 32, others, [](qsizetype, int, const QByteArray &) { return true; });
        clock.restart();
        QCOMPARE(get(client, scriptUrl(servers[0]->port, signInScript(login, DigestB))).body, "0");
        QVERIFY2(clock.elapsed() >= 800, "the guess after a restart and a flood was not slowed"); // its fifth: 100 << 3
        qInfo("%d other logins flooded: the guess after them still waited", flood);
    }

    // Registrations from one client are limited over every server on one database and through a
    // restart, another address's not; behind a trusted proxy the addresses of one IPv6 /64 are
    // one client, for registrations and guesses alike.
    void registrationLimit()
    {
        const QString database = m_dir.filePath("limit.sqlite");
        const QStringList options = {"--registrations-per-hour", "3", "--trusted-proxy", "127.0.0.1",
                                     "--free-failed-sign-ins", "1", "--sign-in-delay", "300"};
        std::vector<std::unique_ptr<ServerProcess>> servers(3);
        for (auto &server : servers)
            QVERIFY((server = std::make_unique<ServerProcess>())->start(database, options));
        QNetworkAccessManager client;
        const QString signUp = registerScript(registration(DigestA));
        // The body answered to script on socket, for the client the proxy names if any.
        const auto ask = [](QTcpSocket &socket, quint16 port, const QString &script, const QByteArray &named = {}) {
            const QByteArray answer = exchange(socket, port, "GET /VELKA/be/" + script.toUtf8() + " HTTP/1.1\r\nHost: x\r\n"
                                                                 + (named.isEmpty() ? "" : "X-Forwarded-For: " + named + "\r\n") + "\r\n");
            return answer.mid(answer.indexOf("\r\n\r\n") + 4).toLongLong();
        };
        QList<qint64> logins;
        for (int i = 0; i < 4; ++i) // the fourth at the first server again
            logins << get(client, scriptUrl(servers[size_t(i % 3)]->port, signUp)).body.toLongLong();
        QTcpSocket elsewhere;
        QVERIFY(elsewhere.bind(QHostAddress(QStringLiteral("127.0.0.2"))));
        elsewhere.connectToHost(QHostAddress::LocalHost, servers[1]->port);
        logins << ask(elsewhere, servers[1]->port, signUp);
        servers.resize(1);
        servers[0]->kill();
        QVERIFY(servers[0]->start(database, options));
        const quint16 port = servers[0]->port;
        logins << get(client, scriptUrl(port, signUp)).body.toLongLong();
        QCOMPARE(logins, (QList<qint64>{1, 2, 3, RegisterError::TooManyFromClient, 4, RegisterError::TooManyFromClient}));
        QTcpSocket proxy;
        int made = 0;
        for (int i = 1; i <= 200; ++i)
            made += ask(proxy, port, signUp, "2001:db8:1:2::" + QByteArray::number(i, 16)) > 0;
        QCOMPARE(made, 3);
        QVERIFY(ask(proxy, port, signUp, "2001:db8:1:3::1") > 0);
        QCOMPARE(ask(proxy, port, signInScript(1, DigestB), "2001:db8:1:2::1"), 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(ask(proxy, port, signInScript(1, DigestB), "2001:db8:1:2::2"), 0);
        QVERIFY2(clock.elapsed() >= 300, "a guess from another address of the /64 was not slowed");
    }

    // SIGTERM while 20 sign-ins or more are being hashed or wait for it: every one is answered, rightly,
    // then the server ends with status 0.
    void stopAnswersEveryRequest()
    {
        // systemd's side of Type=notify: a datagram socket in NOTIFY_SOCKET.
        const QByteArray notifyPath = m_dir.filePath("notify").toUtf8();
        const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, notifyPath.constData(), sizeof address.sun_path);
        QVERIFY(::bind(notify, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        const timeval patience = {10, 0};
        ::setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        const auto told = [notify] {
            char said[512] = {};
            return ::recv(notify, said, sizeof said - 1, 0) > 0 ? QByteArray(said) : QByteArray();
        };
        ServerProcess server;
        server.log = m_dir.filePath("stop.log");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("NOTIFY_SOCKET", QString::fromUtf8(notifyPath));
        server.process.setProcessEnvironment(environment);
        QVERIFY(server.start(m_dir.filePath("stop.sqlite"), {"--hash-cost", "interactive"}));
        QVERIFY(told().startsWith("READY=1\nSTATUS=serving http://"));
        QNetworkAccessManager client;
        const qint64 login = get(client, scriptUrl(server.port, registerScript(registration(DigestA)))).body.toLongLong();
        QVERIFY(login > 0);
        // Four for the account, the others for unknown logins, so that none is slowed down.
        std::vector<std::unique_ptr<QTcpSocket>> signIns(30);
        QByteArrayList answers(30);
        for (size_t i = 0; i < signIns.size(); ++i) {
            signIns[i] = std::make_unique<QTcpSocket>();
            connect(signIns[i].get(), &QIODevice::readyRead, this, [&, i] { answers[i] += signIns[i]->readAll(); });
            signIns[i]->connectToHost(QHostAddress::LocalHost, server.port);
            const QString script = signInScript(i < 4 ? login : 1000 + qint64(i), DigestA);
            signIns[i]->write("GET /VELKA/be/" + script.toUtf8() + " HTTP/1.1\r\nHost: x\r\n\r\n");
            QVERIFY(signIns[i]->waitForBytesWritten(10000));
        }
        // A connection after them: once it is answered, the server has taken theirs and read them.
        QTcpSocket last;
        QVERIFY(exchange(last, server.port, "GET /none HTTP/1.1\r\nHost: x\r\n\r\n").startsWith("HTTP/1.1 404 "));
        ::kill(pid_t(server.process.processId()), SIGTERM);
        QCOMPARE(told(), "STOPPING=1");
        ::close(notify);
        QTRY_VERIFY_WITH_TIMEOUT(server.process.state() == QProcess::NotRunning, 30000);
        for (qsizetype i = 0; i < answers.size(); ++i)
            QVERIFY2(answers[i].startsWith("HTTP/1.1 200 ") && answers[i].endsWith(i < 4 ? "\r\n\r\n1" : "\r\n\r\n0"),
                     answers[i].constData());
        QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process.exitCode(), 0);
        QFile log(server.log);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray said = log.readAll();
        const qsizetype at = said.indexOf("stopping once ") + 14;
        QVERIFY2(said.mid(at, said.indexOf(' ', at) - at).toInt() >= 20, said.constData()); // under way or queued
    }

    // Standard error a pipe nobody reads any more, as when a log's reader has ended: the
    // server goes on answering.
    void logReaderGone()
    {
        ServerProcess server;
        server.process.setChildProcessModifier([] {
            int ends[2];
            if (pipe(ends) == 0 && dup2(ends[1], 2) == 2 && close(ends[0]) == 0)
                std::signal(SIGPIPE, SIG_DFL); // as a service starts, whatever this process does
        });
        QVERIFY(server.start(m_dir.filePath("log-reader-gone")));
        QNetworkAccessManager client;
        for (int i = 0; i < 3; ++i)
            QCOMPARE(get(client, scriptUrl(server.port, "none.php")).status, 404);
        QCOMPARE(server.process.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(tst_ServerLoad)
#include "tst_serverload.moc"
