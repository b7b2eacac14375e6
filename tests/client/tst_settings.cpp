#include "app/vla_mw.h"
#include "settings/settingskeys.h"
#include "temphome.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QTest>

// The settings object writes from the event loop; a round of it flushes.
static void letSettingsFlush()
{
    QCoreApplication::processEvents();
    QTest::qWait(0);
}

static QByteArray iniText(const TempHome &home)
{
    QFile file(home.iniPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class TstSettings : public QObject
{
    Q_OBJECT

private slots:
    void firstStartWritesEveryDefault();
    void secondStartKeepsWhatIsThere_data();
    void secondStartKeepsWhatIsThere();
    void workingDirectoryIsRestored_data();
    void workingDirectoryIsRestored();
    void unusableSettingsDirectoryStillRuns_data();
    void unusableSettingsDirectoryStillRuns();
    void proxy_data();
    void proxy();
};

void TstSettings::firstStartWritesEveryDefault()
{
    TempHome home;
    QVERIFY(!QFileInfo::exists(home.path() + "/.VELKA"));
    {
        VLA_MW window;
        QTRY_VERIFY(QFileInfo::exists(home.iniPath()));
        QTRY_VERIFY(iniText(home).contains("password"));
    }
    QSettings file(home.iniPath(), QSettings::IniFormat);
    QCOMPARE(file.allKeys().size(), 11);
    for (const SettingDefault &row : settingDefaults()) {
        QVERIFY2(file.contains(row.key), qPrintable(row.key));
        QCOMPARE(file.value(row.key).toString(), row.value);
    }
    QCOMPARE(file.value("live/server").toString(), QStringLiteral(VELKA_TEST_LIVE_URL));
    QCOMPARE(file.value("live/directory").toString(), QStringLiteral("VELKA/be"));
    QCOMPARE(file.value("updater/directory").toString(), QStringLiteral("VELKA/updater"));
    QCOMPARE(file.value("updater/proxy/enable").toString(), QStringLiteral("false"));
    for (const QString &url : {file.value("live/server").toString(), file.value("updater/server").toString()}) {
        QVERIFY(url.startsWith("http://"));
        QVERIFY(!url.endsWith('/'));
        QVERIFY(!url.mid(7).contains('/'));
    }
}

void TstSettings::secondStartKeepsWhatIsThere_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("user server") << QByteArray("[live]\nserver=http://example.org\n") << "live/server" << "http://example.org";
    QTest::newRow("empty directory") << QByteArray("[live]\ndirectory=\n") << "live/directory" << "";
    QTest::newRow("empty proxy enable") << QByteArray("[updater]\nproxy\\enable=\n") << "updater/proxy/enable" << "";
    QTest::newRow("unknown key") << QByteArray("[live]\ncolour=blue\n") << "live/colour" << "blue";
    QTest::newRow("unknown section") << QByteArray("[mine]\nnote=keep me\n") << "mine/note" << "keep me";
    QTest::newRow("comma") << QByteArray("[live]\ndirectory=a,b\n") << "live/directory" << "a,b";
    QTest::newRow("comma and spaces") << QByteArray("[updater]\nproxy\\host=h1 , h2\n") << "updater/proxy/host" << "h1 , h2";
    QTest::newRow("comma in login") << QByteArray("[live]\nid\\login=x,y\n") << "live/id/login" << "x,y";
    QTest::newRow("unreadable @ form") << QByteArray("[live]\nserver=@Invalid()\n") << "live/server" << "@Invalid()";
    QTest::newRow("hand-made digest") << QByteArray("[live]\nid\\password=secret\n") << "live/id/password" << "secret";
}

void TstSettings::secondStartKeepsWhatIsThere()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    TempHome home;
    home.writeIni(ini);
    for (int start = 0; start < 2; ++start) {
        VLA_MW window;
        letSettingsFlush();
    }
    QCOMPARE(home.value(key), expected);
    QSettings file(home.iniPath(), QSettings::IniFormat);
    QVERIFY(file.allKeys().size() >= 11);
}

void TstSettings::workingDirectoryIsRestored_data()
{
    QTest::addColumn<bool>("dirExists");
    QTest::newRow("settings directory created") << false;
    QTest::newRow("settings directory present") << true;
}

void TstSettings::workingDirectoryIsRestored()
{
    QFETCH(bool, dirExists);
    TempHome home;
    if (dirExists)
        QDir(home.path()).mkdir(".VELKA");
    QTemporaryDir start;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(start.path()));
    {
        VLA_MW window;
        QCOMPARE(QDir::currentPath(), QDir(start.path()).canonicalPath());
        letSettingsFlush();
    }
    QVERIFY(QFileInfo::exists(home.iniPath()));
    QVERIFY(!QFileInfo::exists(start.path() + "/velka.ini"));
    QDir::setCurrent(before);
}

void TstSettings::unusableSettingsDirectoryStillRuns_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow(".VELKA is a file") << "file";
    QTest::newRow("HOME cannot hold a directory") << "home";
}

void TstSettings::unusableSettingsDirectoryStillRuns()
{
    QFETCH(QString, how);
    TempHome home;
    QTemporaryDir start;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(start.path()));
    if (how == "file") {
        QFile blocker(home.path() + "/.VELKA");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    } else {
        // Running as root ignores permission bits; a HOME below a plain file
        // can hold nothing, whoever runs the test.
        QFile plain(home.path() + "/plain");
        QVERIFY(plain.open(QIODevice::WriteOnly));
        qputenv("HOME", QFile::encodeName(home.path() + "/plain/home"));
    }
    {
        VLA_MW window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(QDir::currentPath(), QDir(start.path()).canonicalPath());
        letSettingsFlush();
    }
    // The settings land beside the program's working directory instead.
    QTRY_VERIFY(QFileInfo::exists(start.path() + "/velka.ini"));
    QCOMPARE(QSettings(start.path() + "/velka.ini", QSettings::IniFormat).allKeys().size(), 11);
    QDir::setCurrent(before);
}

void TstSettings::proxy_data()
{
    QTest::addColumn<QString>("enable");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("expectProxy");
    QTest::addColumn<int>("expectPort");

    QTest::newRow("true") << "true" << "3128" << true << 3128;
    QTest::newRow("true, empty port") << "true" << "" << true << 0;
    QTest::newRow("true, word port") << "true" << "http" << true << 0;
    QTest::newRow("true, port out of range") << "true" << "70000" << true << 0;
    QTest::newRow("True") << "True" << "3128" << false << 0;
    QTest::newRow("1") << "1" << "3128" << false << 0;
    QTest::newRow("yes") << "yes" << "3128" << false << 0;
    QTest::newRow("false") << "false" << "3128" << false << 0;
    QTest::newRow("empty") << "" << "3128" << false << 0;
}

void TstSettings::proxy()
{
    QFETCH(QString, enable);
    QFETCH(QString, port);
    QFETCH(bool, expectProxy);
    QFETCH(int, expectPort);

    TempHome home;
    home.writeIni("[updater]\nproxy\\enable=" + enable.toUtf8() + "\nproxy\\host=proxy.test\nproxy\\port="
                  + port.toUtf8() + "\nproxy\\username=ann\nproxy\\password=p w\n");
    VLA_MW window;
    auto *manager = window.findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    const QNetworkProxy proxy = manager->proxy();
    if (!expectProxy) {
        QCOMPARE(proxy.type(), QNetworkProxy::DefaultProxy);
        return;
    }
    QCOMPARE(proxy.type(), QNetworkProxy::HttpProxy);
    QCOMPARE(proxy.hostName(), QStringLiteral("proxy.test"));
    QCOMPARE(int(proxy.port()), expectPort);
    QCOMPARE(proxy.user(), QStringLiteral("ann"));
    QCOMPARE(proxy.password(), QStringLiteral("p w"));
}

QTEST_MAIN(TstSettings)
#include "tst_settings.moc"
