#include "app/vla_mw.h"
#include "clienthelpers.h"

static const QString HostNotFound = QStringLiteral(
    "<b>ERROR</b><br/>You mus be connected to internet in order to use the live assistant.<br/>Error code: ");
static const QString Unreachable = QStringLiteral(
    "<b>ERROR</b><br/>Unable to connect to the VELKA live server.<br/>Please, contact us and send by email those "
    "informations:<br/>Error code: ");

// Connection failures end the program, so the client runs in a child process for them.
class tst_Channel : public QObject
{
    Q_OBJECT
    std::unique_ptr<ClientRig> rig;

private slots:
    void init() { rig = std::make_unique<ClientRig>(); }
    void cleanup() { rig.reset(); }

    void urlForming_data()
    {
        QTest::addColumn<QString>("serverSuffix");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("urlTail");
        QTest::addColumn<QByteArray>("target");
        QTest::newRow("unescaped value") << "" << "a/b" << "login.php?l=a b&c=d&p=1" << "/a/b/login.php?l=a b&c=d&p=1" << QByteArray("/a/b/login.php?l=a%20b&c=d&p=1");
        QTest::newRow("leading slash kept single") << "" << "VELKA/be" << "/login.php" << "/VELKA/be/login.php" << QByteArray("/VELKA/be/login.php");
        QTest::newRow("empty path") << "" << "VELKA/be" << "" << "/VELKA/be/" << QByteArray("/VELKA/be/");
        // The URL keeps every slash as formed; Qt 6 collapses a doubled one on the request line.
        QTest::newRow("empty directory") << "" << "" << "login.php" << "//login.php" << QByteArray("/login.php");
        QTest::newRow("server with trailing slash") << "/" << "VELKA/be" << "login.php" << "//VELKA/be/login.php" << QByteArray("/VELKA/be/login.php");
    }
    void urlForming()
    {
        QFETCH(QString, serverSuffix);
        QFETCH(QString, directory);
        QFETCH(QString, path);
        QFETCH(QString, urlTail);
        QFETCH(QByteArray, target);
        rig->home.writeIni("[live]\nserver=" + (rig->server.url() + serverSuffix).toUtf8() + "\ndirectory=" + directory.toUtf8() + "\n");
        VLA_MW window;
        window.sendRequest(path, 99);
        QCOMPARE(window.findChild<QNetworkReply *>()->url(), QUrl(rig->server.url() + urlTail));
        QTRY_COMPARE(rig->server.targets(), QList<QByteArray>{target});
    }

    void progressWindow()
    {
        rig->server.setAnswer("slow.php", {.body = QByteArray(5000, 'x'), .delayMs = 150, .held = true, .partial = 1200});
        VLA_MW window;
        QProgressBar *bar = ::progressWindow();
        QVERIFY(!bar->isVisible() && !bar->parentWidget());
        bar->setValue(70);
        window.sendRequest("slow.php", 99);
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->windowTitle(), QStringLiteral("Data transfert..."));
        QCOMPARE(bar->value(), 0);
        QTRY_COMPARE(bar->maximum(), 5000);
        QTRY_COMPARE(bar->value(), 1200);
        rig->server.release();
        QTRY_VERIFY(!bar->isVisible());
        // Every send sets it up again.
        bar->setWindowTitle("stale");
        window.sendRequest("fast.php", 99);
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->windowTitle(), QStringLiteral("Data transfert..."));
        QCOMPARE(bar->value(), 0);
        QTRY_VERIFY(!bar->isVisible());
        QVERIFY(rig->closer.lines().isEmpty());
    }

    void dispatch_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        // Sign-in and registration answers of every kind are the account suite's.
        QTest::newRow("register, body in two pieces") << 2 << QByteArray("-12345") << 200;
        QTest::newRow("type 0") << 0 << QByteArray("1") << 200;
        QTest::newRow("type 99") << 99 << QByteArray("42") << 200;
        // Not followed: "/moved" would answer with an empty body.
        QTest::newRow("redirect") << 2 << QByteArray("-12345") << 302;
    }
    void dispatch()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        rig->server.setDefaultAnswer({.status = status, .body = body, .delayMs = 15, .partial = 2});
        rig->server.setAnswer("moved", {});
        bool visibleWhileOpen = false;
        rig->closer.whileOpen = [&] { visibleWhileOpen = ::progressWindow()->isVisible(); };
        VLA_MW window;
        window.sendRequest("any.php", type);
        QTRY_VERIFY(!::progressWindow()->isVisible());
        QCOMPARE(rig->server.targets().size(), 1);
        QCOMPARE(rig->closer.lines(), type == 2 ? QStringList{badRegistrationBox(body)} : QStringList());
        // The window goes only once the handler has returned.
        QCOMPARE(visibleWhileOpen, type == 2);
        QVERIFY(!signedIn(window));
    }

    // A transfer under way never keeps the program alive once its window is closed.
    void windowClosedWhileTransferring()
    {
        rig->server.setDefaultAnswer({.held = true});
        VLA_MW window;
        window.show();
        window.sendRequest("slow.php", 1);
        QVERIFY(::progressWindow()->isVisible());
        QTimer::singleShot(0, &window, &QWidget::close);
        QTimer::singleShot(10000, &window, [] { QCoreApplication::exit(1); }); // still running: a fault
        QCOMPARE(QApplication::exec(), 0);
    }

    // Requests reach the proxy in absolute form, and its challenge is met with the stored credentials.
    void throughProxy()
    {
        rig->server.challengeProxy = true;
        rig->server.setAnswer("login.php", {.body = "1"});
        rig->home.writeIni(liveIni("http://live.invalid", "id\\login=ann\nid\\password=" + PwDigest.toUtf8())
                           + "\n[updater]\nproxy\\enable=true\nproxy\\host=127.0.0.1\nproxy\\port="
                           + rig->server.url().section(':', -1).toUtf8() + "\nproxy\\username=ann\nproxy\\password=p w\n");
        VLA_MW window;
        QTRY_VERIFY(signedIn(window));
        const QByteArray target = "http://live.invalid/VELKA/be/login.php?l=ann&p=" + PwDigest.toLatin1();
        QCOMPARE(rig->server.targets(), (QList<QByteArray>{target, target + " Basic " + QByteArray("ann:p w").toBase64()}));
    }

    void programEnds_data()
    {
        QTest::addColumn<QString>("url"); // empty: the loopback server, which has no scripts
        QTest::addColumn<QString>("box"); // its title and text up to the message
        QTest::newRow("unknown host") << "http://velka-live.invalid" << "Connection error\t" + HostNotFound + "3<br/>Message: ";
        QTest::newRow("missing script") << "" << "Connection error\t" + Unreachable + "203<br/>Message: ";
    }
    void programEnds()
    {
        QFETCH(QString, url);
        QFETCH(QString, box);
        rig->server.setDefaultAnswer({.status = 404, .body = "no such script"});
        // A stored account makes the first request go out at start-up.
        rig->storeAccount("ann", PwDigest, url);
        const QString out = runProbe();
        const QStringList boxes = out.split(u'\n').filter(QRegularExpression("^BOX\t"));
        QVERIFY2(!out.startsWith("NOT ENDED") && boxes.size() == 1, qPrintable(out));
        QVERIFY2(boxes.first().startsWith("BOX\t" + box) && boxes.first().size() > box.size() + 4, qPrintable(boxes.first()));
        // The abrupt end leaves the stored account as it was, and the defaults written at start on disk.
        QCOMPARE(rig->home.value("live/id/login"), QStringLiteral("ann"));
        QCOMPARE(QSettings(rig->home.iniPath(), QSettings::IniFormat).allKeys().size(), 11);
    }
};

QTEST_MAIN(tst_Channel)
#include "tst_channel.moc"
