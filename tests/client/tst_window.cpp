#include "app/vla_mw.h"
#include "clienthelpers.h"
#include "loopbackserver.h"
#include "temphome.h"
#include "ui_vla_mw.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QToolBox>
#include <QtEndian>

// Same pixels as the resource: the icon really came from ":/Icons/...".
static bool sameIcon(const QIcon &icon, const QString &resource)
{
    const QImage expected = QImage(resource).convertToFormat(QImage::Format_ARGB32);
    return !expected.isNull() && icon.pixmap(256).toImage().convertToFormat(QImage::Format_ARGB32) == expected;
}

class TstWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { home = std::make_unique<TempHome>(); }
    void cleanup() { home.reset(); }

    void widgetProperties_data();
    void widgetProperties();
    void windowKeepsItsMinimumSize();
    void pagesTabsAndIcons();
    void iconsAreRgba256();
    void gridRows();
    void focusChain();
    void loginPageKeepsToTheTopLeft();
    void existingObjectNameKept();
    void buttonsConnectedByName();

private:
    std::unique_ptr<TempHome> home;
};

void TstWindow::widgetProperties_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");

    const auto row = [](const char *object, const char *property, const QVariant &value) {
        QTest::addRow("%s.%s", object, property) << object << QByteArray(property) << value;
    };
    const QVariant masked = QVariant::fromValue(QLineEdit::Password);
    const QVariant plain = QVariant::fromValue(QLineEdit::Normal);
    row("VLA_MW", "size", QSize(800, 600));
    row("VLA_MW", "minimumSize", QSize(800, 600));
    row("VLA_MW", "windowTitle", "VELKA Live Assistant");
    row("lineEditLogin", "echoMode", plain);
    row("lineEditLogin", "maximumWidth", 100);
    row("lineEditPassword", "echoMode", masked);
    row("lineEditPassword", "maximumWidth", 100);
    row("label", "minimumWidth", 60);
    row("label_2", "minimumWidth", 60);
    row("pushButtonLogin", "text", "Login");
    row("pushButtonLogin", "maximumWidth", 170);
    row("lineEditLastName", "minimumWidth", 150);
    row("lineEditFirstName", "minimumWidth", 150);
    for (const char *name : {"lineEditEMail", "lineEditMailingAddress1", "lineEditMailingAddress2"})
        row(name, "minimumWidth", 250);
    for (const char *name : {"lineEditZipCode", "lineEditPhone"})
        row(name, "maximumWidth", 100);
    for (const char *name : {"lineEditLastName", "lineEditEMail", "lineEditTown", "lineEditCountry", "lineEditInstitution"})
        row(name, "echoMode", plain);
    for (const char *name : {"lineEditPasswordRegister1", "lineEditPasswordRegister2"}) {
        row(name, "echoMode", masked);
        row(name, "maximumWidth", 100);
    }
    row("label_13", "minimumWidth", 60);
    row("label_14", "minimumWidth", 60);
    row("checkBoxNewByEMail", "checked", true);
    row("checkBoxNewByEMail", "text", "I want to receive news about VELKA by e-mail (about 3 e-mails per years)");
    row("pushButtonRegister", "maximumWidth", 100);
    row("comboBoxCivilite", "count", 3);
    row("comboBoxCivilite", "currentText", "Mr.");
    row("tabWidget", "currentIndex", 0);
    row("tabUpdater", "enabled", false);
    row("toolBoxAccount", "currentIndex", 0);
    row("verticalLayout_4", "contentsMargins", QVariant::fromValue(QMargins(5, 5, 5, 5)));
    row("verticalLayout_3", "contentsMargins", QVariant::fromValue(QMargins(11, 11, 11, 11)));
}

void TstWindow::widgetProperties()
{
    QFETCH(QString, object);
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);

    VLA_MW window;
    QObject *target = object == "VLA_MW" ? &window : window.findChild<QObject *>(object);
    QVERIFY(target);
    QVariant actual = target->property(property);
    if (actual.metaType() != value.metaType())
        QVERIFY(actual.convert(value.metaType()));
    QCOMPARE(actual, value);
}

void TstWindow::windowKeepsItsMinimumSize()
{
    VLA_MW window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.resize(300, 200);
    QCOMPARE(window.size(), QSize(800, 600));
}

void TstWindow::pagesTabsAndIcons()
{
    VLA_MW window;
    auto *tabs = widget<QTabWidget>(window, "tabWidget");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Account settings"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Updater"));
    QVERIFY(tabs->widget(1)->children().isEmpty());

    auto *box = widget<QToolBox>(window, "toolBoxAccount");
    QCOMPARE(box->count(), 2);
    QCOMPARE(box->itemText(0), QStringLiteral("Login"));
    QCOMPARE(box->itemText(1), QStringLiteral("Register"));
    QCOMPARE(box->widget(0)->objectName(), QStringLiteral("PageLogin"));
    QCOMPARE(box->widget(1)->objectName(), QStringLiteral("PageRegister"));
    QVERIFY(sameIcon(box->itemIcon(0), ":/Icons/Delete.png"));
    QVERIFY(box->itemIcon(1).isNull());
    QVERIFY(sameIcon(window.windowIcon(), ":/Icons/cubeRouge.png"));

    auto *combo = widget<QComboBox>(window, "comboBoxCivilite");
    QCOMPARE((QStringList{combo->itemText(0), combo->itemText(1), combo->itemText(2)}), (QStringList{"Mr.", "Mrs.", "Miss"}));
    QVERIFY(window.menuBar()->actions().isEmpty());
}

void TstWindow::iconsAreRgba256()
{
    for (const char *path : {":/Icons/cubeRouge.png", ":/Icons/Delete.png", ":/Icons/Check.png"}) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), path);
        const QByteArray png = file.read(26);
        QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
        // IHDR: width, height, bit depth 8, colour type 6 (RGBA).
        QCOMPARE(qFromBigEndian<quint32>(png.constData() + 16), 256u);
        QCOMPARE(qFromBigEndian<quint32>(png.constData() + 20), 256u);
        QCOMPARE(int(png[24]), 8);
        QCOMPARE(int(png[25]), 6);
    }
}

void TstWindow::gridRows()
{
    VLA_MW window;
    auto *grid = window.findChild<QGridLayout *>("gridLayout");
    const QList<std::pair<QString, QString>> rows = {
        {"E-mail", "lineEditEMail"}, {"Mailing address 1", "lineEditMailingAddress1"},
        {"Mailing address 2", "lineEditMailingAddress2"}, {"Zip Code", "lineEditZipCode"},
        {"Town", "lineEditTown"}, {"Country", "lineEditCountry"}, {"Phone", "lineEditPhone"},
        {"Institution", "lineEditInstitution"}, {"Password", "lineEditPasswordRegister1"},
        {"Password (checking)", "lineEditPasswordRegister2"},
    };
    QCOMPARE(grid->rowCount(), rows.size());
    for (int row = 0; row < rows.size(); ++row) {
        auto *label = qobject_cast<QLabel *>(grid->itemAtPosition(row, 0)->widget());
        QCOMPARE(label->text(), rows[row].first);
        QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);
        QCOMPARE(grid->itemAtPosition(row, 1)->widget()->objectName(), rows[row].second);
    }
}

void TstWindow::focusChain()
{
    VLA_MW window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    const QStringList chain = {
        "tabWidget", "lineEditLogin", "lineEditPassword", "pushButtonLogin", "comboBoxCivilite",
        "lineEditLastName", "lineEditFirstName", "lineEditEMail", "lineEditMailingAddress1",
        "lineEditMailingAddress2", "lineEditZipCode", "lineEditTown", "lineEditCountry",
        "lineEditPhone", "lineEditInstitution", "lineEditPasswordRegister1",
        "lineEditPasswordRegister2", "checkBoxNewByEMail", "pushButtonRegister",
    };
    // Tab as a user presses it; widgets on the closed page are skipped, so
    // follow the chain itself for those.
    QWidget *at = window.findChild<QWidget *>(chain.first());
    for (qsizetype i = 1; i < chain.size(); ++i) {
        QWidget *next = at->nextInFocusChain();
        while (!chain.contains(next->objectName()))
            next = next->nextInFocusChain();
        QCOMPARE(next->objectName(), chain[i]);
        at = next;
    }
    // Pressing Tab from the tab bar reaches the open page's fields in chain
    // order; the tool box's own scroll area and item buttons may come between.
    widget<QWidget>(window, "tabWidget")->setFocus();
    QStringList reached;
    for (int press = 0; press < 12 && reached.size() < 3; ++press) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        const QString name = QApplication::focusWidget()->objectName();
        if (chain.contains(name) && !reached.contains(name))
            reached.append(name);
    }
    QCOMPARE(reached, chain.mid(1, 3));
}

void TstWindow::loginPageKeepsToTheTopLeft()
{
    VLA_MW window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize page = widget<QWidget>(window, "PageLogin")->size();
    for (const char *name : {"label", "lineEditLogin", "label_2", "lineEditPassword", "pushButtonLogin"}) {
        const QRect r = widget<QWidget>(window, name)->geometry();
        QVERIFY2(r.right() < page.width() / 3 && r.bottom() < page.height() / 3, name);
    }
}

void TstWindow::existingObjectNameKept()
{
    QMainWindow named;
    named.setObjectName("mine");
    Ui::VLA_MW form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("mine"));
}

void TstWindow::buttonsConnectedByName()
{
    LoopbackServer server;
    server.setDefaultAnswer({.held = true});
    home->writeIni(liveIni(server.url()));
    VLA_MW window;
    // One click, one request: each slot is connected once, by name.
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonLogin"), Qt::LeftButton);
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonRegister"), Qt::LeftButton);
    QTRY_COMPARE(server.targets().size(), 2);
    QCOMPARE(sentRequests(window), 2);
    QVERIFY(server.targets()[0].startsWith("/VELKA/be/login.php?"));
    QVERIFY(server.targets()[1].startsWith("/VELKA/be/register.php?"));
}

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
