#include "app/vla_mw.h"
#include "clienthelpers.h"

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
        // Sign-in and registration answers of every kind are the account suite's.
        QTest::newRow("register, body in two pieces") << 2 << QByteArray("-12345");
        QTest::newRow("type 0") << 0 << QByteArray("1");
        QTest::newRow("type 99") << 99 << QByteArray("42");
    }
    void dispatch()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, body);
        rig->server.setDefaultAnswer({.body = body, .delayMs = 15, .partial = 2});
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
};

QTEST_MAIN(tst_Channel)
#include "tst_channel.moc"
