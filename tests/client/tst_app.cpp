#include "app/vla_mw.h"
#include "clienthelpers.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTabWidget>

// Start-up: the window, the settings file and the proxy.
class tst_App : public QObject
{
    Q_OBJECT

private slots:
    // The first start: the window, and the settings file in HOME or, when that fails, in
    // the working directory.
    void firstStart_data()
    {
        QTest::addColumn<QString>("plainFile"); // made in HOME before the start
        QTest::newRow("created") << "";
        // Entering the directory fails: the file lands in the working directory.
        QTest::newRow(".VELKA is a file") << ".VELKA";
#ifndef Q_OS_WIN // where the home comes from the user's profile, not from HOME
        // Root ignores permission bits; a HOME below a plain file holds nothing for anyone.
        QTest::newRow("HOME cannot hold a directory") << "home";
#endif
    }
    void firstStart()
    {
        QFETCH(QString, plainFile);
        const bool inHome = plainFile.isEmpty();
        TempHome temp;
        if (!inHome)
            QVERIFY(QFile(temp.path() + '/' + plainFile).open(QIODevice::WriteOnly));
        if (plainFile == "home")
            qputenv("HOME", QFile::encodeName(temp.path() + "/home/below"));
        QTemporaryDir start;
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(start.path()));
        const QString file = inHome ? temp.iniPath() : start.filePath("velka.ini");
        {
            VLA_MW window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QCOMPARE(QDir::currentPath(), QDir(start.path()).canonicalPath());
            // Written from the event loop while the program runs.
            QTRY_COMPARE(QSettings(file, QSettings::IniFormat).allKeys().size(), 11);
            // What the form alone cannot promise: the icons are compiled in, the window keeps
            // its size, and no password shows on the screen.
            window.resize(300, 200);
            QCOMPARE(window.size(), QSize(800, 600));
            QVERIFY(sameIcon(window.windowIcon(), ":/Icons/cubeRouge.png"));
            QVERIFY(sameIcon(widget<QToolBox>(window, "toolBoxAccount")->itemIcon(0), ":/Icons/Delete.png"));
            QVERIFY(!widget<QTabWidget>(window, "tabWidget")->widget(1)->isEnabled());
            QStringList masked;
            for (const QLineEdit *edit : window.findChildren<QLineEdit *>()) {
                if (edit->echoMode() == QLineEdit::Password)
                    masked << edit->objectName();
            }
            masked.sort();
            QCOMPARE(masked, (QStringList{"lineEditPassword", "lineEditPasswordRegister1", "lineEditPasswordRegister2"}));
        }
        QDir::setCurrent(before);
        QCOMPARE(QFileInfo::exists(start.filePath("velka.ini")), !inHome);
        // Scheme and host only: the request channel adds every slash itself.
        const QString url = QStringLiteral(VELKA_TEST_LIVE_URL);
        QVERIFY(url.startsWith("http://") && !url.mid(7).contains('/'));
        const QSettings written(file, QSettings::IniFormat);
        QStringList pairs;
        for (const QString &key : written.allKeys())
            pairs << key + '=' + written.value(key).toString();
        pairs.sort();
        QCOMPARE(pairs, (QStringList{"live/directory=VELKA/be", "live/id/login=", "live/id/password=", "live/server=" + url,
                                     "updater/directory=VELKA/updater", "updater/proxy/enable=false", "updater/proxy/host=",
                                     "updater/proxy/password=", "updater/proxy/port=", "updater/proxy/username=",
                                     "updater/server=" VELKA_TEST_UPDATER_URL}));
    }

    void nextStartKeepsWhatIsThere_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("user server") << QByteArray("[live]\nserver=http://example.org\n") << "live/server" << "http://example.org";
        QTest::newRow("empty directory") << QByteArray("[live]\ndirectory=\n") << "live/directory" << "";
        QTest::newRow("unknown key") << QByteArray("[live]\ncolour=blue\n") << "live/colour" << "blue";
        QTest::newRow("comma") << QByteArray("[updater]\nproxy\\host=h1 , h2\n") << "updater/proxy/host" << "h1 , h2";
        QTest::newRow("unreadable @ form") << QByteArray("[live]\nserver=@Invalid()\n") << "live/server" << "@Invalid()";
#ifdef Q_OS_WIN // where QSettings matches names without regard to case
        const QString otherCase = "a, b";
#else // another key: the default is added beside it
        const QString otherCase = VELKA_TEST_LIVE_URL;
#endif
        QTest::newRow("names in other case") << QByteArray("[LIVE]\nServer=a, b\n") << "live/server" << otherCase;
    }
    void nextStartKeepsWhatIsThere()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        TempHome home;
        home.writeIni(ini);
        // The second start reads what the first one wrote back.
        for (int start = 0; start < 2; ++start)
            VLA_MW window;
        QCOMPARE(home.value(key), expected);
    }

    // A file that holds every key is not written again: its layout, comments and all, stays.
    void completeFileLeftAsItIs()
    {
        TempHome home;
        { VLA_MW first; }
        const auto text = [&] { QFile file(home.iniPath()); return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(); };
        const QByteArray byHand = "; kept by hand\n" + text();
        home.writeIni(byHand);
        { VLA_MW second; }
        QCOMPARE(text(), byHand);
    }

    void proxy_data()
    {
        QTest::addColumn<QString>("enable");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("expectPort"); // -1: no proxy
        QTest::newRow("true") << "true" << "3128" << 3128;
        QTest::newRow("true, empty port") << "true" << "" << 0;
        QTest::newRow("true, word port") << "true" << "http" << 0;
        QTest::newRow("true, port out of range") << "true" << "70000" << 0;
        for (const char *off : {"True", "1", "yes", "false", ""})
            QTest::addRow("%s", *off ? off : "empty") << off << "3128" << -1;
    }
    void proxy()
    {
        QFETCH(QString, enable);
        QFETCH(QString, port);
        QFETCH(int, expectPort);
        TempHome home;
        // A stored account: the start sends its sign-in, so the manager, made with the first
        // request, exists. No event loop runs: the request goes nowhere.
        home.writeIni(liveIni(VELKA_TEST_LIVE_URL, "id\\login=7\nid\\password=" + PwDigest.toLatin1() + "\n")
                      + "[updater]\nproxy\\enable=" + enable.toUtf8() + "\nproxy\\host=proxy.test\nproxy\\port="
                      + port.toUtf8() + "\nproxy\\username=ann\nproxy\\password=p w\n");
        VLA_MW window;
        const QNetworkProxy proxy = window.findChild<QNetworkAccessManager *>()->proxy();
        QCOMPARE(proxy.type(), expectPort < 0 ? QNetworkProxy::DefaultProxy : QNetworkProxy::HttpProxy);
        if (expectPort < 0)
            return;
        QCOMPARE((QStringList{proxy.hostName(), QString::number(proxy.port()), proxy.user(), proxy.password()}),
                 (QStringList{"proxy.test", QString::number(expectPort), "ann", "p w"}));
    }
};

QTEST_MAIN(tst_App)
#include "tst_app.moc"
