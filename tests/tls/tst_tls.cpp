#include "app/vla_mw.h"
#include "clienthelpers.h"
#include "serverfixture.h"

#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>

#include <csignal>

static const QString Certificate = QStringLiteral(VELKA_TLS_DATA "/tls-cert.pem");
static QString data(const char *name) { return QStringLiteral(VELKA_TLS_DATA "/") + QLatin1String(name); }

// The certificate a TLS client is shown by the server on port now.
static QSslCertificate presented(quint16 port)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return socket.waitForEncrypted(10000) ? socket.peerCertificate() : QSslCertificate();
}

// The client and the reference server over https, with a certificate trusted by nothing but the tests.
class tst_Tls : public QObject
{
    Q_OBJECT
    QSslConfiguration systemDefault = QSslConfiguration::defaultConfiguration();
    LocalServer s;

    bool startServer(bool tls)
    {
        s.options.tlsCertificate = tls ? Certificate : QString();
        s.options.tlsKey = tls ? QStringLiteral(VELKA_TLS_DATA "/tls-key.pem") : QString();
        return s.start();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QSslSocket::supportsSsl(), qPrintable(QSslSocket::availableBackends().join(u',')));
        // Trusted in this process alone; the child processes below do not inherit it.
        QSslConfiguration trusting = systemDefault;
        trusting.addCaCertificates(QSslCertificate::fromPath(Certificate));
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    void cleanupTestCase() { QSslConfiguration::setDefaultConfiguration(systemDefault); }

    // Registered through the form, then signed in with the new account, both over https.
    void registerAndSignInOverHttps()
    {
        QVERIFY(startServer(true));
        TempHome home;
        home.writeIni(liveIni(QStringLiteral("https://127.0.0.1:%1").arg(s.port())));
        BoxCloser closer;
        VLA_MW window;
        registerByHand(window, "over tls", "over tls");
        QTRY_VERIFY_WITH_TIMEOUT(signedIn(window), 20000);
        QCOMPARE(s.log.filter(" GET /VELKA/be/register.php 200 " + home.value("live/id/login") + ' ').size(), 1);
        QCOMPARE(s.log.filter(" GET /VELKA/be/login.php 200 1 ").size(), 1);
    }

    // A pair that cannot serve is refused at start, not found out at every handshake.
    void unusableTlsFilesRefused_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("error");
        QTest::newRow("key of another certificate") << Certificate << data("other-key.pem") << "does not belong to the certificate";
        QTest::newRow("expired certificate") << data("expired-cert.pem") << data("tls-key.pem") << "expired on 2021-01-01";
    }
    void unusableTlsFilesRefused()
    {
        QFETCH(QString, certificate);
        QFETCH(QString, key);
        QFETCH(QString, error);
        s.options.tlsCertificate = certificate;
        s.options.tlsKey = key;
        QVERIFY(!s.start());
        QVERIFY2(s.server->errorString().contains(error), qPrintable(s.server->errorString()));
    }

    // SIGHUP reads the pair again for new connections; a pair that cannot serve is refused,
    // said so in the log, and the one in use kept. The server goes on serving throughout.
    void hangUpReloadsTheTlsPair()
    {
        QTemporaryDir dir;
        const QString cert = dir.filePath("cert.pem"), key = dir.filePath("key.pem");
        const auto use = [&](const char *certificate, const char *privateKey) {
            QFile::remove(cert);
            QFile::remove(key);
            return QFile::copy(data(certificate), cert) && QFile::copy(data(privateKey), key);
        };
        QVERIFY(use("tls-cert.pem", "tls-key.pem"));
        ServerProcess server;
        server.log = dir.filePath("log");
        QVERIFY(server.start(dir.filePath("accounts.sqlite"), {"--tls-cert", cert, "--tls-key", key}));
        const QList<QSslCertificate> first = QSslCertificate::fromPath(Certificate), other = QSslCertificate::fromPath(data("other-cert.pem"));
        QCOMPARE(presented(server.port), first.first());
        QVERIFY(use("other-cert.pem", "other-key.pem"));
        ::kill(pid_t(server.process.processId()), SIGHUP);
        QTRY_COMPARE(presented(server.port), other.first());
        QVERIFY(use("other-cert.pem", "tls-key.pem"));
        ::kill(pid_t(server.process.processId()), SIGHUP);
        const auto log = [&] { QFile file(server.log); return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(); };
        QTRY_VERIFY(log().contains("reload refused, the TLS pair in use kept: the key"));
        QCOMPARE(presented(server.port), other.first());
        QCOMPARE(server.process.state(), QProcess::Running);
    }

    // A connection error ends the program, so the client runs in a child process.
    void failedTlsIsAConnectionError_data()
    {
        QTest::addColumn<QString>("url"); // %1 is the port
        QTest::addColumn<bool>("serverTls");
        QTest::addColumn<bool>("clientTrusts");
        QTest::addColumn<QString>("error"); // code and message
        QTest::newRow("untrusted certificate") << "https://127.0.0.1:%1" << true << false << "6<br/>Message: .*self-signed, and untrusted";
        QTest::newRow("trusted, other host name") << "https://localhost:%1" << true << true << "6<br/>Message: .*host name did not match";
        // The server's refusal of the handshake bytes or its close may come first.
        QTest::newRow("https to a plain server") << "https://127.0.0.1:%1" << false << true << "(2|6)<br/>Message: .*(closed|wrong version number)";
        QTest::newRow("plain http to a TLS server") << "http://127.0.0.1:%1" << true << true << "2<br/>Message: .*closed";
    }
    void failedTlsIsAConnectionError()
    {
        QFETCH(QString, url);
        QFETCH(bool, serverTls);
        QFETCH(bool, clientTrusts);
        QFETCH(QString, error);
        QVERIFY(startServer(serverTls));
        TempHome home; // the child's HOME too; its account sends the sign-in at start-up
        home.writeIni(liveIni(url.arg(s.port()), "id\\login=7\nid\\password=" + PwDigest.toLatin1() + "\n"));
        QProcessEnvironment env;
        env.insert("VELKA_PROBE_CA_CERT", clientTrusts ? Certificate : QString());
        const QString out = runProbe(env);
        QVERIFY2(!out.startsWith("NOT ENDED") && out.count("BOX\t") == 1 && (!clientTrusts || !out.contains("untrusted")),
                 qPrintable(out));
        const QRegularExpression box("BOX\tConnection error\t<b>ERROR</b><br/>Unable to connect to the VELKA live server.*Error code: "
                                     + error, QRegularExpression::CaseInsensitiveOption);
        QVERIFY2(box.match(out).hasMatch(), qPrintable(out));
        QCOMPARE(home.value("live/id/login"), QStringLiteral("7"));
    }
};

QTEST_MAIN(tst_Tls)
#include "tst_tls.moc"
