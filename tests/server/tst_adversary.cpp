#include "serverfixture.h"

#include <QSslSocket>

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

static QByteArray request(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

// chunk sent `times` on fd, nothing read back, as fast as the server takes it; untilCut:
// then until the server cuts the connection. Stops at a cut, or after 20 s of no progress.
static qint64 push(int fd, const QByteArray &chunk, qint64 times, bool untilCut, bool *cut)
{
    qint64 sent = 0;
    while (sent < chunk.size() * times || untilCut) {
        const bool more = sent < chunk.size() * times;
        const qint64 at = sent % chunk.size();
        const ssize_t n = more ? ::send(fd, chunk.constData() + at, size_t(chunk.size() - at), MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
        if (n > 0) {
            sent += n;
            continue;
        }
        pollfd watch = {fd, short(more ? POLLOUT : 0), 0};
        *cut = (more && errno != EAGAIN) || (::poll(&watch, 1, 20000) > 0 && (watch.revents & (POLLERR | POLLHUP)));
        if (*cut || watch.revents == 0)
            break;
    }
    return sent;
}

// A field of a process's status, in KiB: VmRSS its memory now, VmHWM its peak.
static qint64 kib(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const qsizetype at = text.indexOf("\n" + field + ':');
    return at < 0 ? -1 : text.mid(at + field.size() + 2, 32).trimmed().split(' ').first().toLongLong();
}

// The HTTP side held against clients that mean harm: each row is an attack the server
// once gave in to.
class tst_Adversary : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    // Connections to the TLS port that never start their handshake take no one's place: TLS
    // clients are served while 100 of them are open (from one address, at its cap), and after.
    void silentTlsConnections()
    {
        LocalServer s;
        s.options.tlsCertificate = QStringLiteral(VELKA_TLS_DATA "/tls-cert.pem");
        s.options.tlsKey = QStringLiteral(VELKA_TLS_DATA "/tls-key.pem");
        QVERIFY(s.start());
        const auto served = [&] {
            QSslSocket client;
            client.setPeerVerifyMode(QSslSocket::VerifyNone);
            client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), s.port());
            return exchange(client, s.port(), request("/VELKA/be/none.php")).startsWith("HTTP/1.1 404 ");
        };
        std::vector<std::unique_ptr<QTcpSocket>> silent(100);
        for (auto &socket : silent) {
            socket = std::make_unique<QTcpSocket>();
            QVERIFY(socket->bind(QHostAddress(QStringLiteral("127.0.0.2"))));
            socket->connectToHost(QHostAddress::LocalHost, s.port());
        }
        QTRY_COMPARE(s.server->connectionCount(), 100);
        for (int i = 0; i < 3; ++i)
            QVERIFY(served());
        silent.clear();
        QTRY_COMPARE(s.log.filter("TLS handshake failed").size(), 100);
        for (int i = 0; i < 3; ++i)
            QVERIFY(served());
    }

    // Out of descriptors, the listener stops accepting: not ready, as a connection already
    // open is told; once descriptors are free, it accepts and is ready again.
    void notReadyWhileNotAccepting()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("the sanitizers look at memory through a pipe, which a process out of descriptors cannot open");
#endif
        ServerProcess server;
        server.process.setChildProcessModifier([] {
            const rlimit few = {48, 48};
            ::setrlimit(RLIMIT_NOFILE, &few);
        });
        QVERIFY(server.start(m_dir.filePath("descriptors.sqlite")));
        QTcpSocket held, fresh;
        const auto ready = [&] { return exchange(held, server.port, request("/health/ready")); };
        QVERIFY(ready().startsWith("HTTP/1.1 200 "));
        std::vector<std::unique_ptr<QTcpSocket>> filling(48);
        for (auto &socket : filling)
            (socket = std::make_unique<QTcpSocket>())->connectToHost(QHostAddress::LocalHost, server.port);
        QTRY_VERIFY(ready().startsWith("HTTP/1.1 503 ") && ready().endsWith("not accepting connections"));
        filling.clear();
        QTRY_VERIFY(ready().startsWith("HTTP/1.1 200 "));
        QVERIFY(exchange(fresh, server.port, request("/health/ready")).startsWith("HTTP/1.1 200 "));
    }

    // What one connection sends, or leaves unread, costs the server a bounded amount of memory:
    // it reads no more while answers wait, and cuts a client that reads nothing at the idle timeout.
    void boundedMemory_data()
    {
        QTest::addColumn<QByteArray>("chunk"); // sent over and over, 1 MiB or so
        QTest::addColumn<qint64>("times");
        QTest::addColumn<QByteArray>("answer"); // the start of the first answer; empty: cut, nothing read
        QTest::newRow("128 MiB of blank lines") << QByteArray("\r\n").repeated(512 * 1024) << qint64(128) << QByteArray("HTTP/1.1 414 ");
        QTest::newRow("500,000 requests, answers unread") << request("/VELKA/be/none.php").repeated(25000) << qint64(20) << QByteArray();
    }
    void boundedMemory()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(qint64, times);
        QFETCH(QByteArray, answer);
        ServerProcess server;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // Under AddressSanitizer freed memory waits in a quarantine: the server's own is measured.
        environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":quarantine_size_mb=8");
        server.process.setProcessEnvironment(environment);
        // Cut at the idle timeout: a client that reads nothing at once, one that sends after its refusal at last.
        QVERIFY(server.start(m_dir.filePath("memory.sqlite"), {"--idle-timeout", answer.isEmpty() ? "1" : "30"}));
        QNetworkAccessManager client;
        QCOMPARE(get(client, scriptUrl(server.port, NoScript)).status, 404);
        const qint64 pid = server.process.processId();
        QFile peak(QStringLiteral("/proc/%1/clear_refs").arg(pid));
        QVERIFY(peak.open(QIODevice::WriteOnly) && peak.write("5") == 1 && peak.flush()); // the peak counted from now
        const qint64 before = kib(pid, "VmRSS");
        QTcpSocket raw; // its descriptor alone: no event loop runs, so Qt reads nothing of it
        raw.connectToHost(QHostAddress::LocalHost, server.port);
        QVERIFY(raw.waitForConnected(5000));
        const int fd = int(raw.socketDescriptor());
        bool cut = false;
        const qint64 sent = push(fd, chunk, times, answer.isEmpty(), &cut);
        char first[64] = {};
        pollfd in = {fd, POLLIN, 0};
        if (!answer.isEmpty() && ::poll(&in, 1, 20000) > 0)
            (void)::recv(fd, first, sizeof first - 1, 0);
        const qint64 grown = kib(pid, "VmHWM") - before;
        qInfo("%s: %lld of %lld MiB sent, server grew by %lld KiB", QTest::currentDataTag(), sent >> 20,
              (chunk.size() * times) >> 20, grown);
        QVERIFY2(grown < 32 * 1024, qPrintable(QString::number(grown)));
        QCOMPARE(cut, answer.isEmpty()); // reading nothing, cut; else all taken, though refused
        QVERIFY(cut || sent == chunk.size() * times);
        QVERIFY2(QByteArray(first).startsWith(answer), first);
        QCOMPARE(get(client, scriptUrl(server.port, NoScript)).status, 404);
    }

    // A request followed by the client's end of sending is still answered, a sign-in too,
    // though its answer waits for a hash that outlasts a few looks for a client gone.
    void halfClosedAnswered()
    {
        LocalServer s;
        s.options.hashCost = {4, 64 * 1024 * 1024};
        QVERIFY(s.start());
        QCOMPARE(s.registerAccount(DigestA), 1);
        std::vector<std::unique_ptr<QTcpSocket>> clients(10);
        for (size_t i = 0; i < clients.size(); ++i) {
            QTcpSocket &client = *(clients[i] = std::make_unique<QTcpSocket>());
            client.connectToHost(QHostAddress::LocalHost, s.port());
            QVERIFY(client.waitForConnected(5000));
            client.write(request(i % 3 ? "/VELKA/be/" + signInScript(i % 3 == 1 ? 1 : 7, DigestA).toUtf8() : "/VELKA/be/none.php"));
            QVERIFY(client.flush() && ::shutdown(int(client.socketDescriptor()), SHUT_WR) == 0);
        }
        for (size_t i = 0; i < clients.size(); ++i) {
            QTRY_COMPARE(clients[i]->state(), QAbstractSocket::UnconnectedState); // answered, then ended
            const QByteArray answer = clients[i]->readAll();
            QVERIFY2(i % 3 ? answer.endsWith(i % 3 == 1 ? "\r\n\r\n1" : "\r\n\r\n0") : answer.startsWith("HTTP/1.1 404 "), answer.constData());
        }
    }

    // A connection pipelining 20,000 sign-ins is answered at the pace of the others, not
    // before them: another client's requests come back while it still waits, and none is refused.
    void pipelinedFloodShares()
    {
        LocalServer s;
        QVERIFY(s.start());
        QCOMPARE(s.registerAccount(DigestA), 1);
        QByteArray flood, answers;
        for (int i = 0; i < 20000; ++i) // a login each, so that none is slowed down
            flood += request("/VELKA/be/" + signInScript(1000 + i, DigestB).toUtf8());
        QTcpSocket flooding;
        connect(&flooding, &QIODevice::readyRead, this, [&] { answers += flooding.readAll(); });
        flooding.connectToHost(QHostAddress::LocalHost, s.port());
        flooding.write(flood);
        QTRY_VERIFY(answers.contains("HTTP/1.1 "));
        QCOMPARE(s.get(NoScript).status, 404);
        QCOMPARE(s.signIn(1, DigestA), Yes);
        const qsizetype answered = answers.count("HTTP/1.1 ");
        QVERIFY2(answered < 20000, qPrintable(QString::number(answered)));
        QCOMPARE(answers.count("HTTP/1.1 200 "), answered);
        reset(flooding);
    }

private:
    const QString NoScript = QStringLiteral("none.php");
    const QByteArray Yes = LoginAccepted;
};

QTEST_GUILESS_MAIN(tst_Adversary)
#include "tst_adversary.moc"
