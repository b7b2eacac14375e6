#include "account/answers.h"
#include "account/passworddigest.h"
#include "app/vla_mw.h"
#include "clienthelpers.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolBox>

static const QString EmptyDigest = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
static const QString PwDigest = QStringLiteral("8fe4c11451281c094a6578e6ddbf5eed"); // "pw"

class TstAccount : public QObject
{
    Q_OBJECT

private slots:
    void init() { rig = std::make_unique<ClientRig>(); }
    void cleanup() { rig.reset(); }

    void digest_data();
    void digest();
    void registrationNumber_data();
    void registrationNumber();

    void signInBody_data();
    void signInBody();
    void startUpSignIn_data();
    void startUpSignIn();
    void signInByHandStores_data();
    void signInByHandStores();
    void refusedAfterAcceptedStaysLocked();
    void signInRequestIsUnescaped();
    void retryAfterRefusedStartUpHashesTheField();

    void passwordMismatch();
    void registrationRequest_data();
    void registrationRequest();
    void registrationRefused_data();
    void registrationRefused();
    void registrationAccepted();
    void passwordReadWhenAnswerArrives();

private:
    void submitRegistration(VLA_MW &window, const QString &password, const QString &check);

    std::unique_ptr<ClientRig> rig;
};


void TstAccount::digest_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("digest");

    QTest::newRow("empty") << "" << EmptyDigest;
    QTest::newRow("abc") << "abc" << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("message digest") << "message digest" << "f96b697d7cb7938d525a2f31aaf161d0";
    QTest::newRow("latin-1") << QString::fromUtf8("été") << "70b06e3087350c8c4fc3f13e741879f3";
    QTest::newRow("beyond latin-1") << QString::fromUtf8("€") << "d1457b72c3fb323a2671125aef3eab5d";
    QTest::newRow("surrogate pair") << QString::fromUtf8("😀") << "ea03fcb8c47822bce772cf6c07d0ebbb";
}

void TstAccount::digest()
{
    QFETCH(QString, password);
    QFETCH(QString, digest);
    QCOMPARE(passwordDigest(password), digest);
}

void TstAccount::registrationNumber_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("number");

    QTest::newRow("42") << QByteArray("42") << 42;
    QTest::newRow("int max") << QByteArray("2147483647") << 2147483647;
    QTest::newRow("past int max") << QByteArray("2147483648") << 0;
    QTest::newRow("negative") << QByteArray("-1") << -1;
    QTest::newRow("zero") << QByteArray("0") << 0;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("word") << QByteArray("abc") << 0;
    QTest::newRow("line break") << QByteArray("42\n") << 0;
    QTest::newRow("crlf") << QByteArray("42\r\n") << 0;
    QTest::newRow("leading space") << QByteArray(" 42") << 0;
    QTest::newRow("digits then word") << QByteArray("42abc") << 0;
    QTest::newRow("embedded nul") << QByteArray("42\0", 3) << 0;
    QTest::newRow("hex") << QByteArray("0x2a") << 0;
    QTest::newRow("decimal point") << QByteArray("42.0") << 0;
    QTest::newRow("sign alone") << QByteArray("-") << 0;
    QTest::newRow("plus sign") << QByteArray("+42") << 42;
}

void TstAccount::registrationNumber()
{
    QFETCH(QByteArray, body);
    QFETCH(int, number);
    QCOMPARE(::registrationNumber(body), number);
}

void TstAccount::signInBody_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("1") << QByteArray("1") << true;
    QTest::newRow("1 and line break") << QByteArray("1\n") << false;
    QTest::newRow("space 1") << QByteArray(" 1") << false;
    QTest::newRow("01") << QByteArray("01") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("0") << QByteArray("0") << false;
    QTest::newRow("1 and nul") << QByteArray("1\0", 2) << false;
}

void TstAccount::signInBody()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, accepted);

    rig->answer("login.php", body);
    VLA_MW window;
    signInByHand(window, "ann", "pw");
    QTRY_COMPARE(rig->server.targets().size(), 1);
    QCOMPARE(rig->server.targets().first(), QByteArray("/VELKA/be/login.php?l=ann&p=") + PwDigest.toLatin1());
    QTRY_VERIFY(!progressWindow()->isVisible());
    QCOMPARE(signedIn(window), accepted);
    if (accepted) {
        QVERIFY(rig->closer.boxes().isEmpty());
        QCOMPARE(widget<QLineEdit>(window, "lineEditPassword")->text(), QStringLiteral("pw"));
        QTRY_COMPARE(rig->home.value("live/id/login"), QStringLiteral("ann"));
        QCOMPARE(rig->home.value("live/id/password"), PwDigest);
        return;
    }
    QCOMPARE(rig->closer.boxes().size(), 1);
    const BoxCloser::Box seen = rig->closer.boxes().first();
    QCOMPARE(seen.title, QStringLiteral("Bad identification"));
    QCOMPARE(seen.text, QStringLiteral("Bad login or password."));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(seen.parentIsMainWindow);
    QVERIFY(widget<QPushButton>(window, "pushButtonLogin")->isEnabled());
    QVERIFY(widget<QToolBox>(window, "toolBoxAccount")->isItemEnabled(1));
    QCOMPARE(rig->home.value("live/id/login"), QString());
}

void TstAccount::startUpSignIn_data()
{
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("sends");

    QTest::newRow("both stored") << "ann" << PwDigest << true;
    QTest::newRow("hand-made password") << "ann" << "plain" << true;
    QTest::newRow("no password") << "ann" << "" << false;
    QTest::newRow("no login") << "" << PwDigest << false;
    QTest::newRow("nothing stored") << "" << "" << false;
}

void TstAccount::startUpSignIn()
{
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(bool, sends);

    rig->answer("login.php", "1");
    rig->storeAccount(login, password);
    VLA_MW window;
    // The request is out before the window is shown.
    QCOMPARE(sentRequests(window), sends ? 1 : 0);
    QCOMPARE(progressWindow()->isVisible(), sends);
    QCOMPARE(widget<QLineEdit>(window, "lineEditLogin")->text(), sends ? login : QString());
    QCOMPARE(widget<QLineEdit>(window, "lineEditPassword")->text(), sends ? password : QString());
    window.show();
    if (!sends)
        return;
    QTRY_VERIFY(signedIn(window));
    QCOMPARE(rig->server.targets(), QList<QByteArray>{"/VELKA/be/login.php?l=" + login.toUtf8() + "&p=" + password.toUtf8()});
    // Accepted with the stored values: nothing is rewritten, least of all a digest of the digest.
    QTest::qWait(0);
    QCOMPARE(rig->home.value("live/id/login"), login);
    QCOMPARE(rig->home.value("live/id/password"), password);
}

void TstAccount::signInByHandStores_data()
{
    QTest::addColumn<QString>("storedLogin");
    QTest::addColumn<QString>("typedLogin");

    QTest::newRow("same login and password") << "ann" << "ann";
    QTest::newRow("another login") << "bob" << "ann";
    QTest::newRow("login differing in case") << "Ann" << "ann";
}

void TstAccount::signInByHandStores()
{
    QFETCH(QString, storedLogin);
    QFETCH(QString, typedLogin);

    rig->answer("login.php", "0");
    rig->storeAccount(storedLogin, PwDigest);
    VLA_MW window;
    QTRY_COMPARE(rig->closer.boxes().size(), 1); // the stored account is refused at start-up
    rig->answer("login.php", "1");
    signInByHand(window, typedLogin, "pw");
    QTRY_VERIFY(signedIn(window));
    // The typed password is hashed once: the stored digest is that of "pw", not of the field's old digest.
    QTRY_COMPARE(rig->home.value("live/id/login"), typedLogin);
    QCOMPARE(rig->home.value("live/id/password"), PwDigest);
}

void TstAccount::refusedAfterAcceptedStaysLocked()
{
    rig->server.setAnswer("login.php", {.body = "0", .held = true});
    VLA_MW window;
    signInByHand(window, "ann", "pw");
    QTRY_COMPARE(rig->server.targets().size(), 1);
    rig->answer("login.php", "1");
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonLogin"), Qt::LeftButton);
    QTRY_VERIFY(signedIn(window));
    rig->server.release();
    QTRY_COMPARE(rig->closer.boxes().size(), 1);
    QCOMPARE(rig->closer.boxes().first().title, QStringLiteral("Bad identification"));
    QVERIFY(signedIn(window));
    QCOMPARE(rig->home.value("live/id/login"), QStringLiteral("ann"));
}

void TstAccount::signInRequestIsUnescaped()
{
    rig->answer("login.php", "0");
    VLA_MW window;
    signInByHand(window, "a b&c=d", "pw");
    signInByHand(window, "x#y", "pw");
    QTRY_COMPARE(rig->server.targets().size(), 2);
    QCOMPARE(rig->server.targets()[0], "/VELKA/be/login.php?l=a%20b&c=d&p=" + PwDigest.toLatin1());
    // Everything after '#' is a fragment and never reaches the server.
    QCOMPARE(rig->server.targets()[1], QByteArray("/VELKA/be/login.php?l=x"));
}

void TstAccount::retryAfterRefusedStartUpHashesTheField()
{
    rig->answer("login.php", "0");
    rig->storeAccount("ann", PwDigest);
    VLA_MW window;
    QTRY_COMPARE(rig->closer.boxes().size(), 1);
    QCOMPARE(widget<QLineEdit>(window, "lineEditPassword")->text(), PwDigest);
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonLogin"), Qt::LeftButton);
    QTRY_COMPARE(rig->server.targets().size(), 2);
    QCOMPARE(rig->server.targets()[1], "/VELKA/be/login.php?l=ann&p=" + passwordDigest(PwDigest).toLatin1());
}

void TstAccount::submitRegistration(VLA_MW &window, const QString &password, const QString &check)
{
    widget<QLineEdit>(window, "lineEditPasswordRegister1")->setText(password);
    widget<QLineEdit>(window, "lineEditPasswordRegister2")->setText(check);
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonRegister"), Qt::LeftButton);
}

void TstAccount::passwordMismatch()
{
    VLA_MW window;
    submitRegistration(window, "Secret", "secret");
    QTRY_COMPARE(rig->closer.boxes().size(), 1);
    const BoxCloser::Box seen = rig->closer.boxes().first();
    QCOMPARE(seen.title, QStringLiteral("Password verification failed!"));
    QCOMPARE(seen.text, QStringLiteral("The passwords you entered are differents!"));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(sentRequests(window), 0);
    QVERIFY(!progressWindow()->isVisible());
}

void TstAccount::registrationRequest_data()
{
    QTest::addColumn<bool>("fill");
    QTest::addColumn<bool>("news");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("query");

    QTest::newRow("empty form, news") << false << true << ""
        << "civ=Mr.&lna=&fna=&ema=&ma1=&ma2=&zip=&tow=&cou=&pho=&ins=&pas=" + EmptyDigest.toLatin1() + "&new=1";
    QTest::newRow("filled, no news") << true << false << "pw"
        << "civ=Miss&lna=Doe&fna=Jo%20Ann&ema=jo@x.test&ma1=1%20Road&ma2=Flat%202&zip=75001&tow=Paris&cou=France&pho=+33%201&ins=Lab&pas="
               + PwDigest.toLatin1() + "&new=0";
}

void TstAccount::registrationRequest()
{
    QFETCH(bool, fill);
    QFETCH(bool, news);
    QFETCH(QString, password);
    QFETCH(QByteArray, query);

    rig->answer("register.php", "0");
    VLA_MW window;
    if (fill) {
        widget<QComboBox>(window, "comboBoxCivilite")->setCurrentIndex(2);
        const QList<std::pair<const char *, const char *>> fields = {
            {"lineEditLastName", "Doe"}, {"lineEditFirstName", "Jo Ann"}, {"lineEditEMail", "jo@x.test"},
            {"lineEditMailingAddress1", "1 Road"}, {"lineEditMailingAddress2", "Flat 2"},
            {"lineEditZipCode", "75001"}, {"lineEditTown", "Paris"}, {"lineEditCountry", "France"},
            {"lineEditPhone", "+33 1"}, {"lineEditInstitution", "Lab"},
        };
        for (const auto &[name, text] : fields)
            widget<QLineEdit>(window, name)->setText(text);
    }
    widget<QCheckBox>(window, "checkBoxNewByEMail")->setChecked(news);
    submitRegistration(window, password, password);
    QTRY_COMPARE(rig->server.targets().size(), 1);
    QCOMPARE(rig->server.targets().first(), "/VELKA/be/register.php?" + query);
}

void TstAccount::registrationRefused_data()
{
    QTest::addColumn<QByteArray>("body");
    for (const char *body : {"0", "-1", "abc", "", "2147483648"})
        QTest::newRow(body) << QByteArray(body);
    QTest::newRow("42 and line break") << QByteArray("42\n");
}

void TstAccount::registrationRefused()
{
    QFETCH(QByteArray, body);
    rig->answer("register.php", body);
    VLA_MW window;
    submitRegistration(window, "pw", "pw");
    QTRY_COMPARE(rig->closer.boxes().size(), 1);
    const BoxCloser::Box seen = rig->closer.boxes().first();
    QCOMPARE(seen.title, QStringLiteral("Bad registration"));
    QCOMPARE(seen.text, "An error has occured during registration.<br/>Error code:<br/>" + QString::fromUtf8(body));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(rig->server.targets().size(), 1);
    QCOMPARE(widget<QLineEdit>(window, "lineEditLogin")->text(), QString());
    QTest::qWait(0);
    QVERIFY(rig->home.contains("live/id/login"));
    QCOMPARE(rig->home.value("live/id/login"), QString());
    QCOMPARE(rig->home.value("live/id/password"), QString());
}

void TstAccount::registrationAccepted()
{
    rig->answer("register.php", "42");
    rig->answer("login.php", "1");
    VLA_MW window;
    auto *box = widget<QToolBox>(window, "toolBoxAccount");
    box->setCurrentIndex(1);
    submitRegistration(window, "pw", "pw");
    QTRY_COMPARE(rig->closer.boxes().size(), 1);
    const BoxCloser::Box seen = rig->closer.boxes().first();
    QCOMPARE(seen.title, QStringLiteral("Registration successful"));
    QCOMPARE(seen.text, QStringLiteral("Congratulation!<br/>Your login is: 42<br/>It is automatically saved in this "
                                       "application, but we recomment you to save it elsewhere."));
    QCOMPARE(seen.icon, QMessageBox::Information);

    QTRY_COMPARE(rig->server.targets().size(), 2);
    QCOMPARE(rig->server.targets()[1], "/VELKA/be/login.php?l=42&p=" + PwDigest.toLatin1());
    QTRY_VERIFY(signedIn(window));
    QCOMPARE(widget<QLineEdit>(window, "lineEditLogin")->text(), QStringLiteral("42"));
    QCOMPARE(widget<QLineEdit>(window, "lineEditPassword")->text(), PwDigest);
    // Disabling the open registration page brings the sign-in page forward.
    QCOMPARE(box->currentIndex(), 0);
    QCOMPARE(rig->home.value("live/id/login"), QStringLiteral("42"));
    QCOMPARE(rig->home.value("live/id/password"), PwDigest);
    QCOMPARE(rig->closer.boxes().size(), 1);
}

void TstAccount::passwordReadWhenAnswerArrives()
{
    rig->server.setAnswer("register.php", {.body = "7", .held = true});
    rig->answer("login.php", "1");
    VLA_MW window;
    submitRegistration(window, "first", "first");
    QTRY_COMPARE(rig->server.targets().size(), 1);
    widget<QLineEdit>(window, "lineEditPasswordRegister1")->setText("pw");
    rig->server.release();
    QTRY_COMPARE(rig->server.targets().size(), 2);
    QCOMPARE(rig->server.targets()[1], "/VELKA/be/login.php?l=7&p=" + PwDigest.toLatin1());
    QCOMPARE(rig->home.value("live/id/password"), PwDigest);
}

QTEST_MAIN(TstAccount)
#include "tst_account.moc"
