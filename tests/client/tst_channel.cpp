#include "app/vla_mw.h"
#include "boxcloser.h"
#include "clienthelpers.h"
#include "loopbackserver.h"
#include "net/liveserver.h"
#include "temphome.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

class TstChannel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void urlForming_data();
    void urlForming();
    void typeTravelsWithTheReply();
    void progressWindow();
    void progressVisibleWhileHandlerBoxOpen();
    void twoSendsShareTheProgressWindow();
    void dispatch_data();
    void dispatch();
    void slowChunkedBodyArrivesWhole();

private:
    std::unique_ptr<TempHome> home;
    std::unique_ptr<LoopbackServer> server;
    std::unique_ptr<BoxCloser> closer;
};

void TstChannel::init()
{
    home = std::make_unique<TempHome>();
    server = std::make_unique<LoopbackServer>();
    closer = std::make_unique<BoxCloser>();
    home->writeIni(liveIni(server->url()));
}

void TstChannel::cleanup()
{
    closer.reset();
    server.reset();
    home.reset();
}

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

    home->writeIni("[live]\nserver=" + (server->url() + serverSuffix).toUtf8() + "\ndirectory=" + directory.toUtf8() + "\n");
    VLA_MW window;
    window.sendRequest(path, 99);
    // The URL keeps every slash as formed; Qt 6 then collapses a doubled
    // slash on the request line it writes.
    QCOMPARE(window.findChild<QNetworkReply *>()->url(), QUrl(server->url() + urlTail));
    QTRY_COMPARE(server->targets().size(), 1);
    QCOMPARE(server->targets().first(), target);
    QCOMPARE(server->requestLines().first(), "GET " + target + " HTTP/1.1");
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
    LoopbackServer::Answer slow;
    slow.body = QByteArray(5000, 'x');
    slow.held = true;
    slow.partial = 1200;
    slow.chunkDelayMs = 150;
    server->setAnswer("slow.php", slow);

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
    server->release();
    QTRY_VERIFY(!bar->isVisible());
    QVERIFY(closer->boxes().isEmpty());
}

void TstChannel::progressVisibleWhileHandlerBoxOpen()
{
    LoopbackServer::Answer refused;
    refused.body = "0";
    server->setAnswer("login.php", refused);
    bool visibleWhileOpen = false;
    closer->setWhileOpen([&](QMessageBox *) { visibleWhileOpen = ::progressWindow()->isVisible(); });

    VLA_MW window;
    window.sendRequest("login.php?l=a&p=b", RequestType::Login);
    QTRY_COMPARE(closer->boxes().size(), 1);
    QVERIFY(visibleWhileOpen);
    QTRY_VERIFY(!::progressWindow()->isVisible());
}

void TstChannel::twoSendsShareTheProgressWindow()
{
    LoopbackServer::Answer held;
    held.held = true;
    server->setAnswer("held.php", held);
    LoopbackServer::Answer slow;
    slow.body = QByteArray(300, 'y');
    slow.chunks = 3;
    slow.chunkDelayMs = 20;
    server->setAnswer("slow.php", slow);

    VLA_MW window;
    QProgressBar *bar = ::progressWindow();
    window.sendRequest("held.php", 99);
    window.sendRequest("slow.php", 99);
    QCOMPARE(bar->value(), 0);
    QTRY_COMPARE(server->targets().size(), 2);
    // The first reply to finish hides the window while the other is still out.
    QTRY_VERIFY(!bar->isVisible());
    server->release();
}

void TstChannel::dispatch_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("boxTitle");
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<bool>("locked");

    QTest::newRow("login, accepted") << 1 << QByteArray("1") << "" << "" << true;
    QTest::newRow("login, empty body") << 1 << QByteArray() << "Bad identification" << "Bad login or password." << false;
    QTest::newRow("register, empty body") << 2 << QByteArray() << "Bad registration"
                                          << "An error has occured during registration.<br/>Error code:<br/>" << false;
    QTest::newRow("register, refused") << 2 << QByteArray("-7") << "Bad registration"
                                       << "An error has occured during registration.<br/>Error code:<br/>-7" << false;
    QTest::newRow("type 0") << 0 << QByteArray("1") << "" << "" << false;
    QTest::newRow("type 99") << 99 << QByteArray("42") << "" << "" << false;
    QTest::newRow("negative type") << -1 << QByteArray("1") << "" << "" << false;
}

void TstChannel::dispatch()
{
    QFETCH(int, type);
    QFETCH(QByteArray, body);
    QFETCH(QString, boxTitle);
    QFETCH(QString, boxText);
    QFETCH(bool, locked);

    LoopbackServer::Answer answer;
    answer.body = body;
    server->setDefaultAnswer(answer);
    VLA_MW window;
    auto *button = widget<QPushButton>(window, "pushButtonLogin");
    window.sendRequest("any.php", type);
    QTRY_COMPARE(server->targets().size(), 1);
    QTRY_VERIFY(!::progressWindow()->isVisible());
    if (boxTitle.isEmpty()) {
        QVERIFY(closer->boxes().isEmpty());
    } else {
        QTRY_COMPARE(closer->boxes().size(), 1);
        QCOMPARE(closer->boxes().first().title, boxTitle);
        QCOMPARE(closer->boxes().first().text, boxText);
    }
    QCOMPARE(!button->isEnabled(), locked);
    QCOMPARE(home->value("live/id/login"), QString());
}

void TstChannel::slowChunkedBodyArrivesWhole()
{
    LoopbackServer::Answer slow;
    slow.body = "-12345";
    slow.chunks = 6;
    slow.chunkDelayMs = 15;
    server->setDefaultAnswer(slow);
    VLA_MW window;
    window.sendRequest("register.php", RequestType::Register);
    QTRY_COMPARE(closer->boxes().size(), 1);
    QVERIFY(closer->boxes().first().text.endsWith("<br/>-12345"));
}

QTEST_MAIN(TstChannel)
#include "tst_channel.moc"
