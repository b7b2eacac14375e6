#include "app/vla_mw.h"
#include "boxcloser.h"
#include "clienthelpers.h"
#include "server/liveserver.h"
#include "temphome.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTest>

static const QString OtherOpening = QStringLiteral(
    "<b>ERROR</b><br/>Unable to connect to the VELKA live server.<br/>Please, contact us and send by email those "
    "informations:<br/>Error code: ");
static const QString StoredAccount = QStringLiteral("id\\login=7\nid\\password=8fe4c11451281c094a6578e6ddbf5eed\n");

// The client and the reference server over https, with a certificate made for
// the tests and trusted by nothing but them.
class TstTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void registerAndSignInOverHttps();
    void failedTlsIsAConnectionError_data();
    void failedTlsIsAConnectionError();

private:
    std::unique_ptr<LiveServer> startServer(bool tls);

    QTemporaryDir data;
    QSslConfiguration systemDefault;
    QString certificate;
};

void TstTls::initTestCase()
{
    // A build without its TLS backend would fail every https user the same way.
    QVERIFY2(QSslSocket::supportsSsl(), qPrintable(QSslSocket::availableBackends().join(u',')));
    certificate = QStringLiteral(VELKA_TLS_DATA "/tls-cert.pem");
    QCOMPARE(QSslCertificate::fromPath(certificate).size(), 1);

    // Trusted in this process alone; the child processes below do not inherit it.
    systemDefault = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = systemDefault;
    trusting.addCaCertificates(QSslCertificate::fromPath(certificate));
    QSslConfiguration::setDefaultConfiguration(trusting);
}

void TstTls::cleanupTestCase()
{
    QSslConfiguration::setDefaultConfiguration(systemDefault);
}

std::unique_ptr<LiveServer> TstTls::startServer(bool tls)
{
    LiveServerOptions options;
    options.port = 0;
    options.database = data.filePath(QStringLiteral("accounts-%1.sqlite").arg(tls));
    options.hashCost = HashCost::minimum();
    if (tls) {
        options.tlsCertificate = certificate;
        options.tlsKey = QStringLiteral(VELKA_TLS_DATA "/tls-key.pem");
    }
    auto server = std::make_unique<LiveServer>(options);
    if (!server->start())
        qWarning("%s", qPrintable(server->errorString()));
    return server;
}

void TstTls::registerAndSignInOverHttps()
{
    const auto server = startServer(true);
    QVERIFY(server->isRunning());
    QCOMPARE(server->baseUrl().scheme(), QStringLiteral("https"));
    QStringList log;
    connect(server.get(), &LiveServer::requestLogged, this, [&log](const QString &line) { log.append(line); });
    TempHome home;
    home.writeIni(liveIni(QStringLiteral("https://127.0.0.1:%1").arg(server->port())));
    BoxCloser closer;

    QString login;
    {
        VLA_MW window;
        window.show();
        widget<QLineEdit>(window, "lineEditLastName")->setText("Doe");
        widget<QLineEdit>(window, "lineEditPasswordRegister1")->setText("over tls");
        widget<QLineEdit>(window, "lineEditPasswordRegister2")->setText("over tls");
        QTest::mouseClick(widget<QPushButton>(window, "pushButtonRegister"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!widget<QPushButton>(window, "pushButtonLogin")->isEnabled(), 20000);
        QCOMPARE(closer.boxes().size(), 1);
        QCOMPARE(closer.boxes().first().title, QStringLiteral("Registration successful"));
        login = widget<QLineEdit>(window, "lineEditLogin")->text();
        QVERIFY(login.toInt() > 0);
        QVERIFY(closer.boxes().first().text.contains("Your login is: " + login + "<br/>"));
    }
    QCOMPARE(home.value("live/id/login"), login);

    // Next start: signed in again over https by itself.
    VLA_MW again;
    again.show();
    QTRY_VERIFY_WITH_TIMEOUT(!widget<QPushButton>(again, "pushButtonLogin")->isEnabled(), 20000);
    QCOMPARE(widget<QPushButton>(again, "pushButtonLogin")->text(), QStringLiteral("Your are successfully logged"));
    QCOMPARE(closer.boxes().size(), 1);
    QCOMPARE(log.filter(" GET /VELKA/be/login.php 200 1 ").size(), 2);
}

void TstTls::failedTlsIsAConnectionError_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("serverTls");
    QTest::addColumn<bool>("clientTrusts");
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<QString>("message"); // a pattern

    QTest::newRow("untrusted certificate")
        << "https" << "127.0.0.1" << true << false << QList<int>{6} << "The certificate is self-signed, and untrusted";
    QTest::newRow("trusted certificate, other host name")
        << "https" << "localhost" << true << true << QList<int>{6} << "The host name did not match";
    // The server's refusal of the handshake bytes or its close may come first.
    QTest::newRow("https to a plain server")
        << "https" << "127.0.0.1" << false << true << QList<int>{2, 6} << "closed|wrong version number";
    QTest::newRow("plain http to a TLS server")
        << "http" << "127.0.0.1" << true << true << QList<int>{2} << "closed";
}

// A connection error ends the program, so the client runs in a child process.
void TstTls::failedTlsIsAConnectionError()
{
    QFETCH(QString, scheme);
    QFETCH(QString, host);
    QFETCH(bool, serverTls);
    QFETCH(bool, clientTrusts);
    QFETCH(QList<int>, codes);
    QFETCH(QString, message);

    const auto server = startServer(serverTls);
    QVERIFY(server->isRunning());
    TempHome home;
    // A stored account sends the sign-in at start-up.
    home.writeIni(liveIni(QStringLiteral("%1://%2:%3").arg(scheme, host).arg(server->port()), StoredAccount.toUtf8()));

    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("VELKA_PROBE_CA_CERT");
    if (clientTrusts)
        env.insert("VELKA_PROBE_CA_CERT", certificate);
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(VELKA_PROBE), {});
    QVERIFY(probe.waitForStarted());
    // The server lives in this process: its event loop must keep running.
    QVERIFY(QTest::qWaitFor([&] { return probe.state() == QProcess::NotRunning; }, 60000));
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), 0);

    QStringList boxes;
    for (const QByteArray &line : probe.readAllStandardOutput().split('\n')) {
        if (line.startsWith("BOX\t"))
            boxes.append(QString::fromUtf8(line.mid(4)));
    }
    QCOMPARE(boxes.size(), 1);
    const QStringList parts = boxes.first().split(u'\t');
    QCOMPARE(parts.value(0), QStringLiteral("Connection error"));
    const QRegularExpression text("^" + QRegularExpression::escape(OtherOpening) + "(\\d+)<br/>Message: .*(" + message + ")",
                                  QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = text.match(parts.value(1));
    QVERIFY2(match.hasMatch(), qPrintable(parts.value(1)));
    QVERIFY2(codes.contains(match.captured(1).toInt()), qPrintable(parts.value(1)));
    if (clientTrusts)
        QVERIFY2(!parts.value(1).contains("untrusted"), qPrintable(parts.value(1)));
    QCOMPARE(home.value("live/id/login"), QStringLiteral("7"));
}

QTEST_MAIN(TstTls)
#include "tst_tls.moc"
