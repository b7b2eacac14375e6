#include "serverfixture.h"
#include "tlsclient.h"

#include <csignal>

static const QString Certificate = tlsData("tls-cert.pem");

// The certificate a TLS client is shown by the server on port now.
static QSslCertificate presented(quint16 port)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return socket.waitForEncrypted(10000) ? socket.peerCertificate() : QSslCertificate();
}

// The client and the reference server over https, and the server's TLS files.
class tst_Tls : public TlsClientTests
{
    Q_OBJECT
    LocalServer s;

    quint16 serverPort(bool tls) override
    {
        s.options.tlsCertificate = tls ? Certificate : QString();
        s.options.tlsKey = tls ? tlsData("tls-key.pem") : QString();
        return s.start() ? s.port() : 0;
    }

private slots:
    // A pair that cannot serve is refused at start, not found out at every handshake.
    void unusableTlsFilesRefused_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("error");
        QTest::newRow("key of another certificate") << Certificate << tlsData("other-key.pem") << "does not belong to the certificate";
        QTest::newRow("expired certificate") << tlsData("expired-cert.pem") << tlsData("tls-key.pem") << "expired on 2021-01-01";
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
            return QFile::copy(tlsData(certificate), cert) && QFile::copy(tlsData(privateKey), key);
        };
        QVERIFY(use("tls-cert.pem", "tls-key.pem"));
        ServerProcess server;
        server.log = dir.filePath("log");
        QVERIFY(server.start(dir.filePath("accounts.sqlite"), {"--tls-cert", cert, "--tls-key", key}));
        const QList<QSslCertificate> first = QSslCertificate::fromPath(Certificate), other = QSslCertificate::fromPath(tlsData("other-cert.pem"));
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
};

QTEST_MAIN(tst_Tls)
#include "tst_tls.moc"
