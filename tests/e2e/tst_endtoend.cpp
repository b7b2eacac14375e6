#include "app/vla_mw.h"
#include "clienthelpers.h"
#include "server/liveserver.h"

#include <QTest>

// The client and the reference server together, both real, under a private HOME.
class TstEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void newcomerRegistersAndIsSignedInAgainAtNextStart();
    void wrongPasswordIsRefused();
    void oddCharactersSurviveTheRoundTrip();

private:
    QString registerNewcomer(const QString &password);
    int loginRequests() const;

    std::unique_ptr<TempHome> home;
    QTemporaryDir data;
    std::unique_ptr<LiveServer> server;
    std::unique_ptr<BoxCloser> closer;
    QStringList log;
};

void TstEndToEnd::init()
{
    home = std::make_unique<TempHome>();
    LiveServerOptions options;
    options.port = 0;
    options.database = data.filePath("accounts.sqlite");
    options.hashCost = HashCost::minimum();
    server = std::make_unique<LiveServer>(options);
    log.clear();
    connect(server.get(), &LiveServer::requestLogged, this, [this](const QString &line) { log.append(line); });
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    home->writeIni(liveIni(QStringLiteral("http://127.0.0.1:%1").arg(server->port())));
    closer = std::make_unique<BoxCloser>();
}

void TstEndToEnd::cleanup()
{
    closer.reset();
    server.reset();
    home.reset();
}

int TstEndToEnd::loginRequests() const
{
    return int(std::count_if(log.cbegin(), log.cend(), [](const QString &l) { return l.contains("login.php"); }));
}

QString TstEndToEnd::registerNewcomer(const QString &password)
{
    VLA_MW window;
    window.show();
    widget<QLineEdit>(window, "lineEditLastName")->setText("Doe");
    widget<QLineEdit>(window, "lineEditFirstName")->setText("Jo");
    widget<QLineEdit>(window, "lineEditEMail")->setText("jo@example.test");
    widget<QLineEdit>(window, "lineEditPasswordRegister1")->setText(password);
    widget<QLineEdit>(window, "lineEditPasswordRegister2")->setText(password);
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonRegister"), Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return signedIn(window); }, 20000))
        return {};
    if (closer->boxes().size() != 1 || closer->boxes().first().title != "Registration successful")
        return {};
    return widget<QLineEdit>(window, "lineEditLogin")->text();
}

void TstEndToEnd::newcomerRegistersAndIsSignedInAgainAtNextStart()
{
    const QString login = registerNewcomer("correct horse");
    QVERIFY(!login.isEmpty());
    QVERIFY(login.toInt() > 0);
    QVERIFY(closer->boxes().first().text.contains("Your login is: " + login + "<br/>"));
    QCOMPARE(loginRequests(), 1);
    QTRY_COMPARE(home->value("live/id/login"), login);

    // Next start: signed in by itself, with exactly one request.
    closer->clear();
    VLA_MW again;
    again.show();
    QCOMPARE(widget<QLineEdit>(again, "lineEditLogin")->text(), login);
    QTRY_VERIFY(signedIn(again));
    QVERIFY(closer->boxes().isEmpty());
    QCOMPARE(loginRequests(), 2);
}

void TstEndToEnd::wrongPasswordIsRefused()
{
    const QString login = registerNewcomer("right");
    QVERIFY(!login.isEmpty());
    closer->clear();
    home->writeIni(liveIni(QStringLiteral("http://127.0.0.1:%1").arg(server->port())));

    VLA_MW window;
    signInByHand(window, login, "wrong");
    QTRY_COMPARE(closer->boxes().size(), 1);
    QCOMPARE(closer->boxes().first().title, QStringLiteral("Bad identification"));
    signInByHand(window, login, "right");
    QTRY_VERIFY(signedIn(window));
    QCOMPARE(closer->boxes().size(), 1);
}

void TstEndToEnd::oddCharactersSurviveTheRoundTrip()
{
    // Quotes, SQL and spaces travel unescaped from the form and are stored as data.
    VLA_MW window;
    widget<QLineEdit>(window, "lineEditLastName")->setText("O'Brien\"); DROP TABLE accounts; --");
    widget<QLineEdit>(window, "lineEditTown")->setText("Saint Malo");
    widget<QLineEdit>(window, "lineEditPasswordRegister1")->setText("p w");
    widget<QLineEdit>(window, "lineEditPasswordRegister2")->setText("p w");
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonRegister"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(signedIn(window), 20000);
    QCOMPARE(closer->boxes().first().title, QStringLiteral("Registration successful"));
}

QTEST_MAIN(TstEndToEnd)
#include "tst_endtoend.moc"
