#include "clienthelpers.h"

#include <QProcess>

static const QString HostNotFound = QStringLiteral(
    "<b>ERROR</b><br/>You mus be connected to internet in order to use the live assistant.<br/>Error code: ");
static const QString Unreachable = QStringLiteral(
    "<b>ERROR</b><br/>Unable to connect to the VELKA live server.<br/>Please, contact us and send by email those "
    "informations:<br/>Error code: ");

// The client in a child process: it ends by itself, so only its exit and what
// its boxes said can be seen.
class tst_Process : public QObject
{
    Q_OBJECT

private slots:
    void programEnds_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("box"); // empty: none; else its title and text up to the message
        QTest::newRow("unknown host") << "host" << "Connection error\t" + HostNotFound + "3<br/>Message: ";
        QTest::newRow("refused") << "refused" << "Connection error\t" + Unreachable + "1<br/>Message: ";
        QTest::newRow("missing script") << "404" << "Connection error\t" + Unreachable + "203<br/>Message: ";
        QTest::newRow("window closed while the progress window shows") << "close" << "";
    }
    void programEnds()
    {
        QFETCH(QString, how);
        QFETCH(QString, box);
        ClientRig rig;
        rig.server.setDefaultAnswer({.status = 404, .body = "no such script", .held = how == "close"});
        QString url;
        if (how == "host")
            url = "http://velka-live.invalid";
        if (how == "refused") {
            QTcpServer gone;
            QVERIFY(gone.listen(QHostAddress::LocalHost, 0));
            url = QStringLiteral("http://127.0.0.1:%1").arg(gone.serverPort());
        }
        // A stored account makes the first request go out at start-up.
        rig.storeAccount("ann", PwDigest, url);
        // The window is closed only once the request waits on the server.
        const QString closeSignal = rig.home.path() + "/close-now";
        if (how == "close")
            connect(&rig.server, &LoopbackServer::requestReceived, this, [&] { QFile(closeSignal).open(QIODevice::WriteOnly); });

        QProcessEnvironment env;
        env.insert("VELKA_PROBE_CLOSE", closeSignal);
        const QString out = runProbe(env);
        QVERIFY2(!out.startsWith("NOT ENDED"), qPrintable(out));
        const QStringList boxes = out.split(u'\n').filter(QRegularExpression("^BOX\t"));
        QCOMPARE(boxes.size(), box.isEmpty() ? 0 : 1);
        if (box.isEmpty())
            QCOMPARE(rig.server.targets().size(), 1);
        else
            QVERIFY2(boxes.first().startsWith("BOX\t" + box) && boxes.first().size() > box.size() + 4, qPrintable(boxes.first()));
        // The abrupt end leaves the stored account as it was.
        QCOMPARE(rig.home.value("live/id/login"), QStringLiteral("ann"));
    }
};

QTEST_MAIN(tst_Process)
#include "tst_process.moc"
