#include "app/vla_mw.h"
#include "clienthelpers.h"
#include "serverfixture.h"

// The client and the reference server together, both real, under a private HOME.
class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void newcomerRegistersAndIsSignedInAgainAtNextStart()
    {
        LocalServer server;
        QVERIFY(server.start());
        TempHome home;
        home.writeIni(liveIni(QStringLiteral("http://127.0.0.1:%1").arg(server.port())));
        BoxCloser closer;
        QString login;
        {
            VLA_MW window;
            window.show();
            // Quotes and spaces go from the form to the server as typed.
            widget<QLineEdit>(window, "lineEditLastName")->setText("O'Brien \"Jo\"");
            widget<QLineEdit>(window, "lineEditTown")->setText("Saint Malo");
            auto *pages = widget<QToolBox>(window, "toolBoxAccount");
            pages->setCurrentIndex(1);
            registerByHand(window, "pw", "pw");
            // Signed in by the server with the digest the client stored.
            QTRY_VERIFY_WITH_TIMEOUT(signedIn(window), 20000);
            login = widget<QLineEdit>(window, "lineEditLogin")->text();
            QCOMPARE(widget<QLineEdit>(window, "lineEditPassword")->text(), PwDigest);
            // Disabling the open registration page brings the sign-in page forward.
            QCOMPARE(pages->currentIndex(), 0);
        }
        QVERIFY(login.toInt() > 0);
        QCOMPARE(home.value("live/id/login"), login);
        QCOMPARE(home.value("live/id/password"), PwDigest);
        QCOMPARE(closer.lines(), QStringList{boxLine(QMessageBox::Information, "Registration successful",
            "Congratulation!<br/>Your login is: " + login
                + "<br/>It is automatically saved in this application, but we recomment you to save it elsewhere.")});
        QCOMPARE(server.log.filter("login.php").size(), 1);

        // Next start: signed in by itself, with exactly one request.
        VLA_MW again;
        again.show();
        QCOMPARE(widget<QLineEdit>(again, "lineEditLogin")->text(), login);
        QTRY_VERIFY_WITH_TIMEOUT(signedIn(again), 20000);
        QCOMPARE(sentRequests(again), 1);
        QCOMPARE(server.log.filter("login.php").size(), 2);
        QCOMPARE(closer.boxes().size(), 1);
    }
};

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
