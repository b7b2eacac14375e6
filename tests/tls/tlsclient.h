#pragma once

// The client over https, wherever the server runs: tst_tls has the reference
// server in its own process; tst_tls_remote, the client built for Windows and
// run under Wine, reaches the Linux server the Windows step starts beside it.
#include "app/vla_mw.h"
#include "clienthelpers.h"

#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>

inline QString tlsData(const char *name) { return QStringLiteral(VELKA_TLS_DATA "/") + QLatin1String(name); }

// The rows of either suite; a certificate trusted by nothing but the tests.
class TlsClientTests : public QObject
{
    Q_OBJECT

protected:
    // The port on 127.0.0.1 of a running server that serves https (tls) or plain http; 0 if there is none.
    virtual quint16 serverPort(bool tls) = 0;

private:
    const QString certificate = tlsData("tls-cert.pem");
    const QSslConfiguration systemDefault = QSslConfiguration::defaultConfiguration();

private slots:
    void initTestCase()
    {
        QVERIFY2(QSslSocket::supportsSsl(), qPrintable(QSslSocket::availableBackends().join(u',')));
        // Trusted in this process alone; the child processes below do not inherit it.
        QSslConfiguration trusting = systemDefault;
        trusting.addCaCertificates(QSslCertificate::fromPath(certificate));
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    void cleanupTestCase() { QSslConfiguration::setDefaultConfiguration(systemDefault); }

    // Registered through the form, then signed in with the new account, both over https
    // (the server's port serves nothing else).
    void registerAndSignInOverHttps()
    {
        const quint16 port = serverPort(true);
        QVERIFY(port);
        TempHome home;
        home.writeIni(liveIni(QStringLiteral("https://127.0.0.1:%1").arg(port)));
        BoxCloser closer;
        VLA_MW window;
        registerByHand(window, "over tls", "over tls");
        QTRY_VERIFY_WITH_TIMEOUT(signedIn(window), 20000);
        QVERIFY2(home.value("live/id/login").toLongLong() > 0, qPrintable(closer.lines().join(u'\n')));
    }

    // A connection error ends the program, so the client runs in a child process.
    void failedTlsIsAConnectionError_data()
    {
        QTest::addColumn<QString>("url"); // %1 is the port
        QTest::addColumn<bool>("serverTls");
        QTest::addColumn<bool>("clientTrusts");
        QTest::addColumn<QString>("error"); // code and message, as Qt's OpenSSL or Schannel backend words it
        QTest::newRow("untrusted certificate") << "https://127.0.0.1:%1" << true << false
                                               << "6<br/>Message: .*(self-signed, and untrusted|root CA certificate is not trusted)";
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
        const quint16 port = serverPort(serverTls);
        QVERIFY(port);
        TempHome home; // the child's HOME too; its account sends the sign-in at start-up
        home.writeIni(liveIni(url.arg(port), "id\\login=7\nid\\password=" + PwDigest.toLatin1() + "\n"));
        QProcessEnvironment env;
        env.insert("VELKA_PROBE_CA_CERT", clientTrusts ? certificate : QString());
        const QString out = runProbe(env);
        QVERIFY2(!out.startsWith("NOT ENDED") && out.count("BOX\t") == 1 && (!clientTrusts || !out.contains("untrusted")),
                 qPrintable(out));
        const QRegularExpression box("BOX\tConnection error\t<b>ERROR</b><br/>Unable to connect to the VELKA live server.*Error code: "
                                     + error, QRegularExpression::CaseInsensitiveOption);
        QVERIFY2(box.match(out).hasMatch(), qPrintable(out));
        QCOMPARE(home.value("live/id/login"), QStringLiteral("7"));
    }
};
