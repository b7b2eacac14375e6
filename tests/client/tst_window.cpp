#include "app/vla_mw.h"
#include "clienthelpers.h"
#include "ui_vla_mw.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QTabWidget>

class TstWindow : public QObject
{
    Q_OBJECT
    std::unique_ptr<TempHome> home;

private slots:
    void init() { home = std::make_unique<TempHome>(); }
    void cleanup() { home.reset(); }

    void form()
    {
        VLA_MW window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(800, 600));
        window.resize(300, 200);
        QCOMPARE(window.size(), QSize(800, 600));

        auto *tabs = widget<QTabWidget>(window, "tabWidget");
        QCOMPARE(tabs->count(), 2);
        QCOMPARE((QStringList{tabs->tabText(0), tabs->tabText(1)}), (QStringList{"Account settings", "Updater"}));
        QVERIFY(!tabs->widget(1)->isEnabled() && tabs->widget(1)->children().isEmpty());
        auto *box = widget<QToolBox>(window, "toolBoxAccount");
        QCOMPARE(box->itemText(0), QStringLiteral("Login"));
        QVERIFY(sameIcon(box->itemIcon(0), ":/Icons/Delete.png"));
        QVERIFY(sameIcon(window.windowIcon(), ":/Icons/cubeRouge.png"));

        auto *combo = widget<QComboBox>(window, "comboBoxCivilite");
        QCOMPARE((QStringList{combo->itemText(0), combo->itemText(1), combo->itemText(2)}), (QStringList{"Mr.", "Mrs.", "Miss"}));
        QCOMPARE(combo->count(), 3);
        QVERIFY(widget<QCheckBox>(window, "checkBoxNewByEMail")->isChecked());
        QStringList masked;
        for (const QLineEdit *edit : window.findChildren<QLineEdit *>()) {
            if (edit->echoMode() == QLineEdit::Password)
                masked << edit->objectName();
        }
        masked.sort();
        QCOMPARE(masked, (QStringList{"lineEditPassword", "lineEditPasswordRegister1", "lineEditPasswordRegister2"}));

        const QStringList rows = {"E-mail", "lineEditEMail", "Mailing address 1", "lineEditMailingAddress1",
            "Mailing address 2", "lineEditMailingAddress2", "Zip Code", "lineEditZipCode", "Town", "lineEditTown",
            "Country", "lineEditCountry", "Phone", "lineEditPhone", "Institution", "lineEditInstitution",
            "Password", "lineEditPasswordRegister1", "Password (checking)", "lineEditPasswordRegister2"};
        auto *grid = window.findChild<QGridLayout *>("gridLayout");
        QCOMPARE(grid->rowCount(), rows.size() / 2);
        for (int row = 0; row < grid->rowCount(); ++row) {
            auto *label = qobject_cast<QLabel *>(grid->itemAtPosition(row, 0)->widget());
            QCOMPARE(label->text(), rows[2 * row]);
            QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);
            QCOMPARE(grid->itemAtPosition(row, 1)->widget()->objectName(), rows[2 * row + 1]);
        }

        const QStringList chain = {"tabWidget", "lineEditLogin", "lineEditPassword", "pushButtonLogin",
            "comboBoxCivilite", "lineEditLastName", "lineEditFirstName", "lineEditEMail", "lineEditMailingAddress1",
            "lineEditMailingAddress2", "lineEditZipCode", "lineEditTown", "lineEditCountry", "lineEditPhone",
            "lineEditInstitution", "lineEditPasswordRegister1", "lineEditPasswordRegister2", "checkBoxNewByEMail",
            "pushButtonRegister"};
        // The tool box's own scroll areas and item buttons come between: skip them.
        QStringList reached = {chain.first()};
        for (QWidget *at = widget<QWidget>(window, chain.first())->nextInFocusChain(); reached.size() < chain.size();
             at = at->nextInFocusChain()) {
            if (chain.contains(at->objectName()))
                reached << at->objectName();
        }
        QCOMPARE(reached, chain);
    }

    void existingObjectNameKept()
    {
        QMainWindow named;
        named.setObjectName("mine");
        Ui::VLA_MW form;
        form.setupUi(&named);
        QCOMPARE(named.objectName(), QStringLiteral("mine"));
    }
};

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
