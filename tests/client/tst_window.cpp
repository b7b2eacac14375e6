#include "app/vla_mw.h"
#include "clienthelpers.h"
#include "loopbackserver.h"
#include "temphome.h"
#include "ui_vla_mw.h"

#include <QCheckBox>
#include <QtEndian>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QToolBox>

template <typename T>
static T *child(const QWidget &window, const char *name)
{
    T *found = window.findChild<T *>(QLatin1String(name));
    if (!found)
        qWarning("no child %s", name);
    return found;
}

// Same pixels as the resource: the icon really came from ":/Icons/...".
static bool sameIcon(const QIcon &icon, const QString &resource)
{
    const QImage expected = QImage(resource).convertToFormat(QImage::Format_ARGB32);
    return !icon.isNull() && !expected.isNull()
        && icon.pixmap(256, 256).toImage().convertToFormat(QImage::Format_ARGB32) == expected;
}

class TstWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_home = std::make_unique<TempHome>(); }
    void cleanup() { m_home.reset(); }

    void sizeAndTitle();
    void tabs();
    void toolBoxItems();
    void iconsAreRgba256_data();
    void iconsAreRgba256();
    void comboItems();
    void lineEdits_data();
    void lineEdits();
    void gridRows();
    void focusChain();
    void loginPageKeepsToTheTopLeft();
    void existingObjectNameKept();
    void buttonsConnectedByName();

private:
    std::unique_ptr<TempHome> m_home;
};

void TstWindow::sizeAndTitle()
{
    VLA_MW window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(800, 600));
    QCOMPARE(window.minimumSize(), QSize(800, 600));
    window.resize(300, 200);
    QCOMPARE(window.size(), QSize(800, 600));
    QCOMPARE(window.windowTitle(), QStringLiteral("VELKA Live Assistant"));
    QCOMPARE(window.objectName(), QStringLiteral("VLA_MW"));
    QVERIFY(sameIcon(window.windowIcon(), ":/Icons/cubeRouge.png"));
    QVERIFY(window.menuBar()->actions().isEmpty());
    QCOMPARE(window.statusBar()->objectName(), QStringLiteral("statusBar"));
    QCOMPARE(window.statusBar()->currentMessage(), QString());
}

void TstWindow::tabs()
{
    VLA_MW window;
    auto *tabs = child<QTabWidget>(window, "tabWidget");
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Account settings"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Updater"));
    QCOMPARE(tabs->currentIndex(), 0);
    QWidget *updater = tabs->widget(1);
    QCOMPARE(updater->objectName(), QStringLiteral("tabUpdater"));
    QVERIFY(!updater->isEnabled());
    QVERIFY(!updater->layout());
    QVERIFY(updater->findChildren<QWidget *>().isEmpty());
}

void TstWindow::toolBoxItems()
{
    VLA_MW window;
    auto *box = child<QToolBox>(window, "toolBoxAccount");
    QVERIFY(box);
    QCOMPARE(box->count(), 2);
    QCOMPARE(box->itemText(0), QStringLiteral("Login"));
    QCOMPARE(box->itemText(1), QStringLiteral("Register"));
    QCOMPARE(box->widget(0)->objectName(), QStringLiteral("PageLogin"));
    QCOMPARE(box->widget(1)->objectName(), QStringLiteral("PageRegister"));
    QCOMPARE(box->currentIndex(), 0);
    QVERIFY(sameIcon(box->itemIcon(0), ":/Icons/Delete.png"));
    QVERIFY(box->itemIcon(1).isNull());
    QVERIFY(box->isItemEnabled(1));
    QVERIFY(child<QCheckBox>(window, "checkBoxNewByEMail")->isChecked());
    QCOMPARE(child<QPushButton>(window, "pushButtonLogin")->text(), QStringLiteral("Login"));
    QCOMPARE(child<QPushButton>(window, "pushButtonLogin")->maximumWidth(), 170);
    QCOMPARE(child<QPushButton>(window, "pushButtonRegister")->maximumWidth(), 100);
}

void TstWindow::iconsAreRgba256_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("cube") << ":/Icons/cubeRouge.png";
    QTest::newRow("cross") << ":/Icons/Delete.png";
    QTest::newRow("check") << ":/Icons/Check.png";
}

void TstWindow::iconsAreRgba256()
{
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray png = file.read(26);
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    // IHDR: width, height, bit depth 8, colour type 6 (RGBA).
    QCOMPARE(qFromBigEndian<quint32>(png.constData() + 16), 256u);
    QCOMPARE(qFromBigEndian<quint32>(png.constData() + 20), 256u);
    QCOMPARE(int(png[24]), 8);
    QCOMPARE(int(png[25]), 6);
}

void TstWindow::comboItems()
{
    VLA_MW window;
    auto *combo = child<QComboBox>(window, "comboBoxCivilite");
    QVERIFY(combo);
    QCOMPARE(combo->count(), 3);
    QCOMPARE(combo->itemText(0), QStringLiteral("Mr."));
    QCOMPARE(combo->itemText(1), QStringLiteral("Mrs."));
    QCOMPARE(combo->itemText(2), QStringLiteral("Miss"));
    QCOMPARE(combo->currentText(), QStringLiteral("Mr."));
}

void TstWindow::lineEdits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("masked");
    QTest::addColumn<int>("minWidth");
    QTest::addColumn<int>("maxWidth");

    const int none = QWIDGETSIZE_MAX;
    QTest::newRow("login") << "lineEditLogin" << false << 0 << 100;
    QTest::newRow("password") << "lineEditPassword" << true << 0 << 100;
    QTest::newRow("last name") << "lineEditLastName" << false << 150 << none;
    QTest::newRow("first name") << "lineEditFirstName" << false << 150 << none;
    QTest::newRow("e-mail") << "lineEditEMail" << false << 250 << none;
    QTest::newRow("address 1") << "lineEditMailingAddress1" << false << 250 << none;
    QTest::newRow("address 2") << "lineEditMailingAddress2" << false << 250 << none;
    QTest::newRow("zip") << "lineEditZipCode" << false << 0 << 100;
    QTest::newRow("town") << "lineEditTown" << false << 0 << none;
    QTest::newRow("country") << "lineEditCountry" << false << 0 << none;
    QTest::newRow("phone") << "lineEditPhone" << false << 0 << 100;
    QTest::newRow("institution") << "lineEditInstitution" << false << 0 << none;
    QTest::newRow("register password") << "lineEditPasswordRegister1" << true << 0 << 100;
    QTest::newRow("register password check") << "lineEditPasswordRegister2" << true << 0 << 100;
}

void TstWindow::lineEdits()
{
    QFETCH(QString, name);
    QFETCH(bool, masked);
    QFETCH(int, minWidth);
    QFETCH(int, maxWidth);

    VLA_MW window;
    auto *edit = window.findChild<QLineEdit *>(name);
    QVERIFY(edit);
    QCOMPARE(edit->echoMode() == QLineEdit::Password, masked);
    QCOMPARE(edit->echoMode() == QLineEdit::Normal, !masked);
    QCOMPARE(edit->minimumWidth(), minWidth);
    QCOMPARE(edit->maximumWidth(), maxWidth);
    QCOMPARE(edit->text(), QString());
}

void TstWindow::gridRows()
{
    VLA_MW window;
    auto *grid = window.findChild<QGridLayout *>("gridLayout");
    QVERIFY(grid);
    const QList<std::pair<const char *, const char *>> rows = {
        {"E-mail", "lineEditEMail"},
        {"Mailing address 1", "lineEditMailingAddress1"},
        {"Mailing address 2", "lineEditMailingAddress2"},
        {"Zip Code", "lineEditZipCode"},
        {"Town", "lineEditTown"},
        {"Country", "lineEditCountry"},
        {"Phone", "lineEditPhone"},
        {"Institution", "lineEditInstitution"},
        {"Password", "lineEditPasswordRegister1"},
        {"Password (checking)", "lineEditPasswordRegister2"},
    };
    QCOMPARE(grid->rowCount(), rows.size());
    for (int row = 0; row < rows.size(); ++row) {
        auto *label = qobject_cast<QLabel *>(grid->itemAtPosition(row, 0)->widget());
        QVERIFY(label);
        QCOMPARE(label->text(), QString::fromUtf8(rows[row].first));
        QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);
        QCOMPARE(grid->itemAtPosition(row, 1)->widget()->objectName(), QString::fromUtf8(rows[row].second));
    }
}

void TstWindow::focusChain()
{
    VLA_MW window;
    const QStringList chain = {
        "tabWidget", "lineEditLogin", "lineEditPassword", "pushButtonLogin", "comboBoxCivilite",
        "lineEditLastName", "lineEditFirstName", "lineEditEMail", "lineEditMailingAddress1",
        "lineEditMailingAddress2", "lineEditZipCode", "lineEditTown", "lineEditCountry",
        "lineEditPhone", "lineEditInstitution", "lineEditPasswordRegister1",
        "lineEditPasswordRegister2", "checkBoxNewByEMail", "pushButtonRegister",
    };
    QWidget *at = window.findChild<QWidget *>(chain.first());
    QVERIFY(at);
    // nextInFocusChain also passes through widgets that take no tab focus.
    for (qsizetype i = 1; i < chain.size(); ++i) {
        QWidget *next = at->nextInFocusChain();
        while (next != at && !chain.contains(next->objectName()))
            next = next->nextInFocusChain();
        QCOMPARE(next->objectName(), chain[i]);
        at = next;
    }
}

void TstWindow::loginPageKeepsToTheTopLeft()
{
    VLA_MW window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget *page = child<QWidget>(window, "PageLogin");
    const int width = page->width();
    const int height = page->height();
    for (const char *name : {"label", "lineEditLogin", "label_2", "lineEditPassword", "pushButtonLogin"}) {
        const QRect r = child<QWidget>(window, name)->geometry();
        QVERIFY2(r.right() < width / 3, name);
        QVERIFY2(r.bottom() < height / 3, name);
    }
    QVERIFY(child<QWidget>(window, "label")->geometry().right() < child<QWidget>(window, "lineEditLogin")->geometry().left());
}

void TstWindow::existingObjectNameKept()
{
    QMainWindow named;
    named.setObjectName("mine");
    Ui::VLA_MW form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("mine"));

    QMainWindow unnamed;
    Ui::VLA_MW other;
    other.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QStringLiteral("VLA_MW"));
}

void TstWindow::buttonsConnectedByName()
{
    LoopbackServer server;
    LoopbackServer::Answer never;
    never.held = true;
    server.setDefaultAnswer(never);
    m_home->writeIni(liveIni(server.url()));
    VLA_MW window;
    for (const char *slot : {"on_pushButtonLogin_clicked()", "on_pushButtonRegister_clicked()"})
        QVERIFY2(window.metaObject()->indexOfSlot(slot) >= 0, slot);
    // One click, one request: the slot is connected once, by name.
    QTest::mouseClick(child<QPushButton>(window, "pushButtonLogin"), Qt::LeftButton);
    QCOMPARE(sentRequests(window), 1);
    QTest::mouseClick(child<QPushButton>(window, "pushButtonRegister"), Qt::LeftButton);
    QCOMPARE(sentRequests(window), 2);
    QTRY_COMPARE(server.targets().size(), 2);
    QVERIFY(server.targets()[0].startsWith("/VELKA/be/login.php?"));
    QVERIFY(server.targets()[1].startsWith("/VELKA/be/register.php?"));
    // Answers are never handled here: the window goes first.
}

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
