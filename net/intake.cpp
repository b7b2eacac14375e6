#include "app/vla_mw.h"

#include "net/liveprotocol.h"

#include <QMessageBox>

#include <cstdlib>

void VLA_MW::slotReplyFinished(QNetworkReply *reply)
{
    const QNetworkReply::NetworkError code = reply->error();
    if (code == QNetworkReply::NoError) {
        handleReply({reply->property("myHttpType").toInt(), reply->readAll()});
        progressBar.hide();
        return;
    }

    const QString opening = code == QNetworkReply::HostNotFoundError
        ? tr("<b>ERROR</b><br/>You mus be connected to internet in order to use the live assistant.<br/>Error code: ")
        : tr("<b>ERROR</b><br/>Unable to connect to the VELKA live server.<br/>Please, contact us and send by email those informations:<br/>Error code: ");
    QMessageBox::critical(this, tr("Connection error"),
                          opening + QString::number(int(code)) + tr("<br/>Message: ") + reply->errorString());
    progressBar.hide();
    // The process ends here without unwinding. Nothing stored is lost: the box's own
    // event loop has already let the settings write what was pending.
    std::exit(0);
}

void VLA_MW::handleReply(ReplyData reply)
{
    switch (reply.type) {
    case RequestType::Login:
        handleLoginReply(reply.data);
        break;
    case RequestType::Register:
        handleRegisterReply(reply.data);
        break;
    default:
        break;
    }
}
