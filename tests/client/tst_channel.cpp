#include "app/vla_mw.h"
#include "clienthelpers.h"
#include "net/liveserver.h"

class TstChannel : public QObject
{
    Q_OBJECT

private slots:
    void init() { rig = std::make_unique<ClientRig>(); }
    void cleanup() { rig.reset(); }

    void urlForming_data();
    void urlForming();
    void typeTravelsWithTheReply();
    void progressWindow();
    void progressVisibleWhileHandlerBoxOpen();
    void twoSendsShareTheProgressWindow();
    void dispatch_data();
    void dispatch();

private:
    std::unique_ptr<ClientRig> rig;
};


void TstChannel::urlForming_data()
{
    QTest::addColumn<QString>("serverSuffix");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QString>("urlTail");

    QTest::newRow("plain") << "" << "VELKA/be" << "login.php?l=ann&p=abc" << QByteArray("/VELKA/be/login.php?l=ann&p=abc") << "/VELKA/be/login.php?l=ann&p=abc";
    QTest::newRow("leading slash kept single") << "" << "VELKA/be" << "/login.php?l=a" << QByteArray("/VELKA/be/login.php?l=a") << "/VELKA/be/login.php?l=a";
    QTest::newRow("empty path") << "" << "VELKA/be" << "" << QByteArray("/VELKA/be/") << "/VELKA/be/";
    QTest::newRow("empty directory") << "" << "" << "login.php" << QByteArray("/login.php") << "//login.php";
    QTest::newRow("server with trailing slash") << "/" << "VELKA/be" << "login.php" << QByteArray("/VELKA/be/login.php") << "//VELKA/be/login.php";
    QTest::newRow("other directory") << "" << "a/b/c" << "register.php?civ=Mr." << QByteArray("/a/b/c/register.php?civ=Mr.") << "/a/b/c/register.php?civ=Mr.";
    QTest::newRow("unescaped value") << "" << "VELKA/be" << "login.php?l=a b&c=d&p=1" << QByteArray("/VELKA/be/login.php?l=a%20b&c=d&p=1") << "/VELKA/be/login.php?l=a b&c=d&p=1";
    QTest::newRow("hash ends the query") << "" << "VELKA/be" << "login.php?l=a#b&p=1" << QByteArray("/VELKA/be/login.php?l=a") << "/VELKA/be/login.php?l=a#b&p=1";
}

void TstChannel::urlForming()
{
    QFETCH(QString, serverSuffix);
    QFETCH(QString, directory);
    QFETCH(QString, path);
    QFETCH(QByteArray, target);
    QFETCH(QString, urlTail);

    rig->home.writeIni("[live]\nserver=" + (rig->server.url() + serverSuffix).toUtf8() + "\ndirectory=" + directory.toUtf8() + "\n");
    VLA_MW window;
    window.sendRequest(path, 99);
    // The URL keeps every slash as formed; Qt 6 then collapses a doubled
    // slash on the request line it writes.
    QCOMPARE(window.findChild<QNetworkReply *>()->url(), QUrl(rig->server.url() + urlTail));
    QTRY_COMPARE(rig->server.targets().size(), 1);
    QCOMPARE(rig->server.targets().first(), target);
    QCOMPARE(rig->server.requestLines().first(), "GET " + target + " HTTP/1.1");
}

void TstChannel::typeTravelsWithTheReply()
{
    VLA_MW window;
    for (int type : {RequestType::Login, RequestType::Register, 0, 99}) {
        window.sendRequest("x", type);
        const QList<QNetworkReply *> replies = window.findChildren<QNetworkReply *>();
        QCOMPARE(replies.last()->property("myHttpType"), QVariant(type));
    }
}

void TstChannel::progressWindow()
{
    rig->server.setAnswer("slow.php", {.body = QByteArray(5000, 'x'), .chunkDelayMs = 150, .held = true, .partial = 1200});

    VLA_MW window;
    QProgressBar *bar = ::progressWindow();
    QVERIFY(bar);
    QVERIFY(!bar->isVisible());
    QVERIFY(!bar->parentWidget());
    bar->setValue(70);

    window.sendRequest("slow.php", 99);
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->windowTitle(), QStringLiteral("Data transfert..."));
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->maximum(), 100);

    QTRY_COMPARE(bar->maximum(), 5000);
    QTRY_COMPARE(bar->value(), 1200);
    rig->server.release();
    QTRY_VERIFY(!bar->isVisible());
    QVERIFY(rig->closer.boxes().isEmpty());
}

void TstChannel::progressVisibleWhileHandlerBoxOpen()
{
    rig->answer("login.php", "0");
    bool visibleWhileOpen = false;
    rig->closer.setWhileOpen([&](QMessageBox *) { visibleWhileOpen = ::progressWindow()->isVisible(); });

    VLA_MW window;
    window.sendRequest("login.php?l=a&p=b", RequestType::Login);
    QTRY_COMPARE(rig->closer.boxes().size(), 1);
    QVERIFY(visibleWhileOpen);
    QTRY_VERIFY(!::progressWindow()->isVisible());
}

void TstChannel::twoSendsShareTheProgressWindow()
{
    rig->server.setAnswer("held.php", {.held = true});
    rig->server.setAnswer("slow.php", {.body = QByteArray(300, 'y'), .chunks = 3, .chunkDelayMs = 20});

    VLA_MW window;
    QProgressBar *bar = ::progressWindow();
    window.sendRequest("held.php", 99);
    window.sendRequest("slow.php", 99);
    QCOMPARE(bar->value(), 0);
    QTRY_COMPARE(rig->server.targets().size(), 2);
    // The first reply to finish hides the window while the other is still out.
    QTRY_VERIFY(!bar->isVisible());
    rig->server.release();
}

void TstChannel::dispatch_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("chunks");
    QTest::addColumn<QString>("boxTitle");
    QTest::addColumn<QString>("boxText");

    const QString badRegistration = "An error has occured during registration.<br/>Error code:<br/>";
    QTest::newRow("login, accepted") << 1 << QByteArray("1") << 0 << "" << "";
    QTest::newRow("login, empty body") << 1 << QByteArray() << 0 << "Bad identification" << "Bad login or password.";
    QTest::newRow("register, empty body") << 2 << QByteArray() << 0 << "Bad registration" << badRegistration;
    QTest::newRow("register, slow chunked body") << 2 << QByteArray("-12345") << 6 << "Bad registration" << badRegistration + "-12345";
    QTest::newRow("type 0") << 0 << QByteArray("1") << 0 << "" << "";
    QTest::newRow("type 99") << 99 << QByteArray("42") << 0 << "" << "";
    QTest::newRow("negative type") << -1 << QByteArray("1") << 0 << "" << "";
}

void TstChannel::dispatch()
{
    QFETCH(int, type);
    QFETCH(QByteArray, body);
    QFETCH(int, chunks);
    QFETCH(QString, boxTitle);
    QFETCH(QString, boxText);

    rig->server.setDefaultAnswer({.body = body, .chunks = chunks, .chunkDelayMs = 15});
    VLA_MW window;
    window.sendRequest("any.php", type);
    QTRY_COMPARE(rig->server.targets().size(), 1);
    QTRY_VERIFY(!::progressWindow()->isVisible());
    QCOMPARE(rig->closer.boxes().size(), boxTitle.isEmpty() ? 0 : 1);
    if (!boxTitle.isEmpty()) {
        QCOMPARE(rig->closer.boxes().first().title, boxTitle);
        QCOMPARE(rig->closer.boxes().first().text, boxText);
    }
    QCOMPARE(signedIn(window), type == 1 && body == "1");
    QCOMPARE(rig->home.value("live/id/login"), QString());
}

QTEST_MAIN(TstChannel)
#include "tst_channel.moc"
