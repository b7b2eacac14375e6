#include "account/passworddigest.h"
#include "app/vla_mw.h"
#include "clienthelpers.h"

#include <QCheckBox>
#include <QComboBox>

// Sent as typed or stored, unescaped: QUrl alone encodes the space.
static const QString Login = QStringLiteral("a b&c=d");
static const QString EmptyDigest = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
static const QString BadSignInBox = boxLine(QMessageBox::Critical, "Bad identification", "Bad login or password.");

// What a person does on the sign-in page.
static void signInByHand(const QWidget &window, const QString &login, const QString &password)
{
    widget<QLineEdit>(window, "lineEditLogin")->setText(login);
    widget<QLineEdit>(window, "lineEditPassword")->setText(password);
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonLogin"), Qt::LeftButton);
}

// Replies are children of the window's network manager for its whole life.
static qsizetype sentRequests(const QWidget &window) { return window.findChildren<QNetworkReply *>().size(); }

class tst_Account : public QObject
{
    Q_OBJECT
    std::unique_ptr<ClientRig> rig;

private slots:
    void init() { rig = std::make_unique<ClientRig>(); }
    void cleanup() { rig.reset(); }

    // MD5 of the Latin-1 bytes, '?' for what Latin-1 cannot hold.
    void digest()
    {
        QCOMPARE(passwordDigest(""), EmptyDigest);
        QCOMPARE(passwordDigest(QString::fromUtf8("été")), "70b06e3087350c8c4fc3f13e741879f3");
        QCOMPARE(passwordDigest(QString::fromUtf8("€")), passwordDigest("?"));
    }

    // Only a login and a password both stored send a sign-in at start-up.
    void signIn_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("storedLogin");
        QTest::addColumn<QString>("storedPassword");
        QTest::addColumn<bool>("byHand"); // as Login and "pw"
        QTest::newRow("at start-up") << QByteArray("1") << Login << PwDigest << false;
        QTest::newRow("by hand, nothing stored") << QByteArray("1") << "" << "" << true;
        QTest::newRow("by hand, the same login stored") << QByteArray("1") << Login << "" << true;
        QTest::newRow("by hand, another login stored") << QByteArray("1") << "bob" << "" << true;
        QTest::newRow("by hand, a password stored") << QByteArray("1") << "" << PwDigest << true;
        for (const char *body : {"1\n", " 1", "01", ""})
            QTest::addRow("refused: \"%s\"", body) << QByteArray(body) << "bob" << "" << true;
        QTest::newRow("refused: 1 and nul") << QByteArray("1\0", 2) << "bob" << "" << true;
    }
    void signIn()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, storedLogin);
        QFETCH(QString, storedPassword);
        QFETCH(bool, byHand);
        const bool accepted = body == "1";
        rig->server.setAnswer("login.php", {.body = body});
        rig->storeAccount(storedLogin, storedPassword);
        {
            VLA_MW window;
            // The start-up sign-in is out before the window is shown.
            QCOMPARE(sentRequests(window), byHand ? 0 : 1);
            if (byHand)
                signInByHand(window, Login, "pw");
            QTRY_VERIFY(!progressWindow()->isVisible());
            // One click, one request: the button's slot is connected once, by its name.
            QCOMPARE(sentRequests(window), 1);
            QCOMPARE(signedIn(window), accepted);
            // A refusal changes nothing else.
            QCOMPARE(widget<QPushButton>(window, "pushButtonLogin")->isEnabled(), !accepted);
            QCOMPARE(widget<QToolBox>(window, "toolBoxAccount")->isItemEnabled(1), !accepted);
        }
        QCOMPARE(rig->server.targets(), QList<QByteArray>{"/VELKA/be/login.php?l=a%20b&c=d&p=" + PwDigest.toLatin1()});
        QCOMPARE(rig->closer.lines(), accepted ? QStringList() : QStringList{BadSignInBox});
        // Accepted with the stored values, nothing is written: least of all a digest of the digest.
        QCOMPARE(rig->home.value("live/id/login"), accepted && byHand ? Login : storedLogin);
        QCOMPARE(rig->home.value("live/id/password"), accepted && byHand ? PwDigest : storedPassword);
    }

    void refusedAfterAcceptedStaysLocked()
    {
        rig->server.setAnswer("login.php", {.body = "0", .held = true});
        VLA_MW window;
        signInByHand(window, "ann", "pw");
        QTRY_COMPARE(rig->server.targets().size(), 1);
        rig->server.setAnswer("login.php", {.body = "1"});
        QTest::mouseClick(widget<QPushButton>(window, "pushButtonLogin"), Qt::LeftButton);
        QTRY_VERIFY(signedIn(window));
        rig->server.release();
        QTRY_COMPARE(rig->closer.lines(), QStringList{BadSignInBox});
        QVERIFY(signedIn(window));
    }

    void passwordsDifferInCase()
    {
        VLA_MW window;
        registerByHand(window, "Secret", "secret");
        QTRY_COMPARE(rig->closer.lines(), QStringList{boxLine(QMessageBox::Critical, "Password verification failed!",
                                                               "The passwords you entered are differents!")});
        QCOMPARE(sentRequests(window), 0);
    }

    // The new login is shown as answered, and only once the box is closed stored and
    // signed in with the password field as it is when the answer arrives.
    void registrationAccepted()
    {
        rig->server.setAnswer("register.php", {.body = "0077", .held = true});
        rig->server.setAnswer("login.php", {.body = "1"});
        VLA_MW window;
        registerByHand(window, "pw", "pw");
        QTRY_COMPARE(rig->server.targets().size(), 1);
        widget<QLineEdit>(window, "lineEditPasswordRegister1")->setText("changed");
        QStringList whileOpen;
        rig->closer.whileOpen = [&] {
            QCoreApplication::sendPostedEvents(); // whatever the window has set is in the file now
            whileOpen << rig->home.value("live/id/login") << QString::number(sentRequests(window));
        };
        rig->server.release();
        QTRY_VERIFY(signedIn(window));
        QCOMPARE(whileOpen, (QStringList{"", "1"}));
        QCOMPARE(rig->closer.lines(), QStringList{boxLine(QMessageBox::Information, "Registration successful",
            "Congratulation!<br/>Your login is: 0077<br/>It is automatically saved in this application, but we recomment you to save it elsewhere.")});
        const QString digest = passwordDigest("changed");
        QCOMPARE(rig->home.value("live/id/login"), QStringLiteral("0077"));
        QCOMPARE(rig->home.value("live/id/password"), digest);
        QCOMPARE(widget<QLineEdit>(window, "lineEditLogin")->text(), QStringLiteral("0077"));
        QCOMPARE(rig->server.targets().value(1), "/VELKA/be/login.php?l=0077&p=" + digest.toLatin1());
    }

    // A refused registration sends every field as typed and stores nothing.
    void registrationRefused_data()
    {
        QTest::addColumn<bool>("fill"); // every field, "pw" twice and no news; else all empty
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("filled form") << true << QByteArray("0");
        // Only a positive decimal int, alone, is a login.
        for (const char *body : {"-1", "abc", "", "2147483648", "4294967338", " 42", "42abc", "0x2a", "-"})
            QTest::newRow(body) << false << QByteArray(body);
        QTest::newRow("42 and line break") << false << QByteArray("42\n");
        QTest::newRow("42 and nul") << false << QByteArray("42\0", 3);
    }
    void registrationRefused()
    {
        QFETCH(bool, fill);
        QFETCH(QByteArray, body);
        rig->server.setAnswer("register.php", {.body = body});
        {
            VLA_MW window;
            const QStringList fields = {"LastName", "Doe", "FirstName", "Jo Ann", "EMail", "jo@x.test",
                "MailingAddress1", "1 Road", "MailingAddress2", "Flat 2", "ZipCode", "75001", "Town", "Paris",
                "Country", "France", "Phone", "+33 1", "Institution", "Lab"};
            for (qsizetype i = 0; fill && i < fields.size(); i += 2)
                widget<QLineEdit>(window, "lineEdit" + fields[i])->setText(fields[i + 1]);
            if (fill) {
                widget<QComboBox>(window, "comboBoxCivilite")->setCurrentIndex(2);
                widget<QCheckBox>(window, "checkBoxNewByEMail")->setChecked(false);
            }
            registerByHand(window, fill ? "pw" : "", fill ? "pw" : "");
            QTRY_COMPARE(rig->closer.lines(), QStringList{badRegistrationBox(body)});
            QCOMPARE(sentRequests(window), 1);
            QCOMPARE(widget<QLineEdit>(window, "lineEditLogin")->text(), QString());
        }
        QCOMPARE(rig->server.targets().value(0), "/VELKA/be/register.php?" + (fill
            ? "civ=Miss&lna=Doe&fna=Jo%20Ann&ema=jo@x.test&ma1=1%20Road&ma2=Flat%202&zip=75001&tow=Paris&cou=France&pho=+33%201&ins=Lab&pas=" + PwDigest.toLatin1() + "&new=0"
            : "civ=Mr.&lna=&fna=&ema=&ma1=&ma2=&zip=&tow=&cou=&pho=&ins=&pas=" + EmptyDigest.toLatin1() + "&new=1"));
        QCOMPARE(rig->home.value("live/id/login"), QString());
        QCOMPARE(rig->home.value("live/id/password"), QString());
    }
};

QTEST_MAIN(tst_Account)
#include "tst_account.moc"
