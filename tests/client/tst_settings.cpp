#include "app/vla_mw.h"
#include "temphome.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QTest>

class TstSettings : public QObject
{
    Q_OBJECT

private slots:
    void firstStartWritesEveryDefault();
    void nextStartKeepsWhatIsThere_data();
    void nextStartKeepsWhatIsThere();
    void settingsDirectory_data();
    void settingsDirectory();
    void proxy_data();
    void proxy();
};

void TstSettings::firstStartWritesEveryDefault()
{
    TempHome home;
    {
        VLA_MW window;
        // Written by the settings object from the event loop, not before.
        QTRY_VERIFY(QSettings(home.iniPath(), QSettings::IniFormat).allKeys().size() == 11);
    }
    const QString url = QStringLiteral(VELKA_TEST_LIVE_URL);
    const QList<std::pair<QString, QString>> defaults = {
        {"updater/server", url}, {"updater/directory", "VELKA/updater"}, {"updater/proxy/enable", "false"},
        {"updater/proxy/host", ""}, {"updater/proxy/port", ""}, {"updater/proxy/username", ""},
        {"updater/proxy/password", ""}, {"live/server", url}, {"live/directory", "VELKA/be"},
        {"live/id/login", ""}, {"live/id/password", ""},
    };
    for (const auto &[key, value] : defaults) {
        QVERIFY2(home.contains(key), qPrintable(key));
        QCOMPARE(home.value(key), value);
    }
    // Scheme and host only: the request channel adds every slash itself.
    QVERIFY(url.startsWith("http://") && !url.mid(7).contains('/'));
}

void TstSettings::nextStartKeepsWhatIsThere_data()
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

void TstSettings::nextStartKeepsWhatIsThere()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    TempHome home;
    home.writeIni(ini);
    for (int start = 0; start < 2; ++start) {
        VLA_MW window;
        QTest::qWait(0);
    }
    QCOMPARE(home.value(key), expected);
}

void TstSettings::settingsDirectory_data()
{
    QTest::addColumn<QString>("home");
    QTest::addColumn<bool>("inHome");

    QTest::newRow("created") << "empty" << true;
    QTest::newRow("present") << "dir" << true;
    // Entering the directory fails: the file lands in the working directory.
    QTest::newRow(".VELKA is a file") << "file" << false;
    QTest::newRow("HOME cannot hold a directory") << "unusable" << false;
}

void TstSettings::settingsDirectory()
{
    QFETCH(QString, home);
    QFETCH(bool, inHome);

    TempHome temp;
    if (home == "dir")
        QDir(temp.path()).mkdir(".VELKA");
    if (home == "file" || home == "unusable") {
        QFile plain(temp.path() + (home == "file" ? "/.VELKA" : "/plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
    }
    // Root ignores permission bits; a HOME below a plain file holds nothing for anyone.
    if (home == "unusable")
        qputenv("HOME", QFile::encodeName(temp.path() + "/plain/home"));

    QTemporaryDir start;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(start.path()));
    {
        VLA_MW window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(QDir::currentPath(), QDir(start.path()).canonicalPath());
    }
    QDir::setCurrent(before);
    const QString expected = inHome ? temp.iniPath() : start.filePath("velka.ini");
    QCOMPARE(QSettings(expected, QSettings::IniFormat).allKeys().size(), 11);
    QCOMPARE(QFileInfo::exists(start.filePath("velka.ini")), !inHome);
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
    for (const char *off : {"True", "1", "yes", "false", ""})
        QTest::addRow("%s", *off ? off : "empty") << off << "3128" << false << 0;
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
    const QNetworkProxy proxy = window.findChild<QNetworkAccessManager *>()->proxy();
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
