#include "app/vla_mw.h"

#include "account/answers.h"
#include "account/passworddigest.h"
#include "net/liveprotocol.h"
#include "settings/settingskeys.h"
#include "ui_vla_mw.h"

#include <QMessageBox>
#include <QSettings>

void VLA_MW::on_pushButtonRegister_clicked()
{
    if (ui->lineEditPasswordRegister1->text() != ui->lineEditPasswordRegister2->text()) {
        QMessageBox::critical(this, tr("Password verification failed!"),
                              tr("The passwords you entered are differents!"));
        return;
    }

    const QString values[] = {
        ui->comboBoxCivilite->currentText(),
        ui->lineEditLastName->text(),
        ui->lineEditFirstName->text(),
        ui->lineEditEMail->text(),
        ui->lineEditMailingAddress1->text(),
        ui->lineEditMailingAddress2->text(),
        ui->lineEditZipCode->text(),
        ui->lineEditTown->text(),
        ui->lineEditCountry->text(),
        ui->lineEditPhone->text(),
        ui->lineEditInstitution->text(),
        passwordDigest(ui->lineEditPasswordRegister1->text()),
        ui->checkBoxNewByEMail->checkState() == Qt::Checked ? QStringLiteral("1") : QStringLiteral("0"),
    };
    static_assert(std::size(values) == std::size(RegisterParam::Order));

    QString path = QLatin1String(LiveScript::Register) + u'?';
    for (size_t i = 0; i < std::size(values); ++i) {
        if (i > 0)
            path += u'&';
        path += QLatin1String(RegisterParam::Order[i]) + u'=' + values[i];
    }
    sendRequest(path, RequestType::Register);
}

void VLA_MW::handleRegisterReply(const QByteArray &data)
{
    const QString body = QString::fromUtf8(data);
    if (registrationNumber(data) <= 0) {
        QMessageBox::critical(this, tr("Bad registration"),
                              tr("An error has occured during registration.<br/>Error code:<br/>") + body);
        return;
    }

    QMessageBox::information(this, tr("Registration successful"),
                             tr("Congratulation!<br/>Your login is: ") + body
                                 + tr("<br/>It is automatically saved in this application, but we recomment you to save it elsewhere."));

    settings->setValue(SettingsKey::Login, body);
    settings->setValue(SettingsKey::Password, passwordDigest(ui->lineEditPasswordRegister1->text()));
    const QString login = settings->value(SettingsKey::Login).toString();
    const QString digest = settings->value(SettingsKey::Password).toString();
    ui->lineEditLogin->setText(login);
    ui->lineEditPassword->setText(digest);
    sendLogin(login, digest);
}
