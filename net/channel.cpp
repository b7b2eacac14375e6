#include "app/vla_mw.h"

#include "settings/settingskeys.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSettings>

void VLA_MW::sendRequest(QString path, int type)
{
    progressBar.setWindowTitle(tr("Data transfert..."));
    progressBar.setMinimum(0);
    progressBar.setValue(0);
    progressBar.show();

    if (!path.startsWith(u'/'))
        path.prepend(u'/');
    // Values go in as the user stored them; QUrl's tolerant parser does the rest.
    const QUrl url(settings->value(SettingsKey::LiveServer).toString() + u'/'
                   + settings->value(SettingsKey::LiveDirectory).toString() + path);

    QNetworkReply *reply = manager()->get(QNetworkRequest(url));
    reply->setProperty("myHttpType", type);
    connect(reply, &QNetworkReply::downloadProgress, this, &VLA_MW::slotDownloadProgress);
    connect(reply, &QNetworkReply::errorOccurred, this, &VLA_MW::slotError);
}

void VLA_MW::slotDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    progressBar.setMaximum(int(bytesTotal));
    progressBar.setValue(int(bytesReceived));
}

void VLA_MW::slotError(QNetworkReply::NetworkError)
{
    // Failures are reported once, when the reply finishes.
}
