#include "serverfixture.h"

// Registrations racing on many connections to the shipped server, which may be killed (SIGKILL)
// part way. Every login answered is distinct and signs in after a restart on the same database,
// and the next one is beyond them all. CI raises VELKA_LOAD_SCALE and reads the counts printed.
class tst_ServerLoad : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void registrations_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("kill");
        const int scale = qMax(1, qEnvironmentVariableIntValue("VELKA_LOAD_SCALE"));
        QTest::newRow("racing") << 200 * scale << false;
        QTest::newRow("kill -9 at a third") << 400 * scale << true;
    }
    void registrations()
    {
        QFETCH(int, count);
        QFETCH(bool, kill);
        const QString database = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        ServerProcess server, restarted;
        server.launch(database);
        QVERIFY(server.started());
        const Registrations made({server.port}, count, [&](qsizetype answered) {
            if (kill && answered >= count / 3)
                server.kill();
            return server.process.state() == QProcess::Running;
        });
        server.kill();
        restarted.launch(database);
        QVERIFY(restarted.started());
        const int found = made.signInAll({restarted.port});
        QTcpSocket socket;
        const qint64 next = send(socket, restarted.port, request(registerTarget(registration(DigestA)))).body.toLongLong();
        qInfo("%s: %d registrations sent over 64 connections, %d logins answered, %d refused or repeated; "
              "after restart %d of %d answered accounts found",
              QTest::currentDataTag(), made.sent, int(made.owner.size()), made.refused, found, int(made.owner.size()));
        QCOMPARE(made.refused, 0);
        QCOMPARE(found, made.owner.size());
        QVERIFY2(made.sent > 0, "replies still out when the load gave up");
        QVERIFY(kill ? made.owner.size() >= count / 3 && made.sent < count : made.owner.size() == count);
        const QList<qint64> logins = made.owner.keys();
        QVERIFY(next > *std::max_element(logins.cbegin(), logins.cend()));
    }
};

QTEST_GUILESS_MAIN(tst_ServerLoad)
#include "tst_serverload.moc"
