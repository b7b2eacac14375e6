#include "app/vla_mw.h"
#include "clienthelpers.h"

#include <QTabWidget>

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    // What the form alone cannot promise: the icons are compiled in, the window keeps
    // its size, and no password shows on the screen.
    void window()
    {
        TempHome home;
        VLA_MW window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
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
};

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
