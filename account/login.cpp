#include "app/vla_mw.h"

#include "account/answers.h"
#include "account/passworddigest.h"
#include "net/liveprotocol.h"
#include "settings/settingskeys.h"
#include "ui_vla_mw.h"

#include <QMessageBox>
#include <QSettings>

void VLA_MW::sendLogin(const QString &login, const QString &digest)
{
    sendRequest(QLatin1String(LiveScript::Login) + QLatin1String("?l=") + login
                    + QLatin1String("&p=") + digest,
                RequestType::Login);
}

void VLA_MW::on_pushButtonLogin_clicked()
{
    sendLogin(ui->lineEditLogin->text(), passwordDigest(ui->lineEditPassword->text()));
}

void VLA_MW::autoLogin()
{
    const QString login = settings->value(SettingsKey::Login).toString();
    const QString digest = settings->value(SettingsKey::Password).toString();
    if (login.isEmpty() || digest.isEmpty())
        return;
    ui->lineEditLogin->setText(login);
    ui->lineEditPassword->setText(digest);
    sendLogin(login, digest);
}

void VLA_MW::handleLoginReply(const QByteArray &data)
{
    if (!loginAccepted(data)) {
        QMessageBox::critical(this, tr("Bad identification"), tr("Bad login or password."));
        return;
    }

    ui->toolBoxAccount->setItemIcon(0, QIcon(QStringLiteral(":/Icons/Check.png")));
    ui->toolBoxAccount->setItemEnabled(1, false);
    ui->pushButtonLogin->setEnabled(false);
    ui->pushButtonLogin->setText(tr("Your are successfully logged"));
    ui->lineEditLogin->setEnabled(false);
    ui->lineEditPassword->setEnabled(false);

    // The fields are read now: after a start-up sign-in they hold the stored
    // values, so nothing is written; after a sign-in by hand the password field
    // holds clear text, which never equals the stored digest.
    const QString login = ui->lineEditLogin->text();
    const QString password = ui->lineEditPassword->text();
    const bool sameLogin = settings->contains(SettingsKey::Login)
        && settings->value(SettingsKey::Login).toString() == login;
    if (sameLogin && settings->value(SettingsKey::Password).toString() == password)
        return;
    settings->setValue(SettingsKey::Login, login);
    settings->setValue(SettingsKey::Password, passwordDigest(password));
}
