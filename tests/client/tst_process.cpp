#include "clienthelpers.h"
#include "loopbackserver.h"
#include "temphome.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

static const QString HostNotFoundOpening = QStringLiteral(
    "<b>ERROR</b><br/>You mus be connected to internet in order to use the live assistant.<br/>Error code: ");
static const QString OtherOpening = QStringLiteral(
    "<b>ERROR</b><br/>Unable to connect to the VELKA live server.<br/>Please, contact us and send by email those "
    "informations:<br/>Error code: ");

// The client in a child process: it ends by itself, so only its exit and what
// its boxes said can be observed.
class TstProcess : public QObject
{
    Q_OBJECT

private slots:
    void connectionFailureEndsTheProgram_data();
    void connectionFailureEndsTheProgram();
    void closingTheWindowEndsTheProgram();

private:
    struct Run
    {
        int exitCode = -1;
        QProcess::ExitStatus status = QProcess::CrashExit;
        QStringList boxes;
        QByteArray errors;
    };
    Run runProbe(const TempHome &home, const QProcessEnvironment &extra = {});
};

TstProcess::Run TstProcess::runProbe(const TempHome &home, const QProcessEnvironment &extra)
{
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert(extra);
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(VELKA_PROBE), {});
    Run run;
    if (!probe.waitForStarted())
        return run;
    // The parent's own event loop must keep running: the loopback server lives here.
    if (!QTest::qWaitFor([&] { return probe.state() == QProcess::NotRunning; }, 60000))
        return run;
    run.exitCode = probe.exitCode();
    run.status = probe.exitStatus();
    for (const QByteArray &line : probe.readAllStandardOutput().split('\n')) {
        if (line.startsWith("BOX\t"))
            run.boxes.append(QString::fromUtf8(line.mid(4)));
    }
    run.errors = probe.readAllStandardError();
    return run;
}

void TstProcess::connectionFailureEndsTheProgram_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("code");
    QTest::newRow("unknown host") << "host" << 3;
    QTest::newRow("refused") << "refused" << 1;
    QTest::newRow("missing script") << "404" << 203;
}

void TstProcess::connectionFailureEndsTheProgram()
{
    QFETCH(QString, failure);
    QFETCH(int, code);

    LoopbackServer server;
    server.setDefaultAnswer({.status = 404, .body = "no such script"});

    QString url = server.url();
    if (failure == "host") {
        url = QStringLiteral("http://velka-live.invalid");
    } else if (failure == "refused") {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        url = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    }
    TempHome home;
    // A stored account makes the first request go out at start-up.
    home.writeIni(liveIni(url, "id\\login=ann\nid\\password=8fe4c11451281c094a6578e6ddbf5eed\n"));

    const Run run = runProbe(home);
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.boxes.size(), 1);
    const QStringList parts = run.boxes.first().split('\t');
    QCOMPARE(parts.value(0), QStringLiteral("Connection error"));
    const QString opening = code == 3 ? HostNotFoundOpening : OtherOpening;
    const QString text = parts.value(1);
    QVERIFY2(text.startsWith(opening + QString::number(code) + "<br/>Message: "), qPrintable(text));
    QVERIFY(text.size() > (opening + QString::number(code) + "<br/>Message: ").size());
    // The stored account survives the abrupt end.
    QCOMPARE(home.value("live/id/login"), QStringLiteral("ann"));
}

void TstProcess::closingTheWindowEndsTheProgram()
{
    LoopbackServer server;
    server.setDefaultAnswer({.held = true});
    TempHome home;
    home.writeIni(liveIni(server.url(), "id\\login=ann\nid\\password=8fe4c11451281c094a6578e6ddbf5eed\n"));
    // The window closes only once the request is waiting on the server.
    const QString closeSignal = home.path() + QStringLiteral("/close-now");
    connect(&server, &LoopbackServer::requestReceived, this, [&] { QFile(closeSignal).open(QIODevice::WriteOnly); });
    QProcessEnvironment env;
    env.insert("VELKA_PROBE_CLOSE", closeSignal);

    const Run run = runProbe(home, env);
    QCOMPARE(server.targets().size(), 1);
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.boxes.isEmpty());
}

QTEST_MAIN(TstProcess)
#include "tst_process.moc"
