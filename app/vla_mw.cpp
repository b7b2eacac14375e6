#include "app/vla_mw.h"

#include "settings/settingskeys.h"
#include "ui_vla_mw.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>

VLA_MW::VLA_MW(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::VLA_MW)
{
    // The progress window is a top-level of its own; it must never keep the
    // program alive once the main window has been closed.
    progressBar.setAttribute(Qt::WA_QuitOnClose, false);

    openSettings();
    ui->setupUi(this);
    autoLogin();
}

VLA_MW::~VLA_MW()
{
    delete ui;
    if (!liveManager)
        return;
    // The base class deletes the manager and its replies after this object is
    // gone; nothing of theirs may reach a slot of it on the way.
    liveManager->disconnect(this);
    for (QNetworkReply *reply : liveManager->findChildren<QNetworkReply *>())
        reply->disconnect(this);
}

// Made with the first request: a start with nothing to send never wakes the
// network library's code, about half a megabyte of it.
QNetworkAccessManager *VLA_MW::manager()
{
    if (liveManager)
        return liveManager;
    liveManager = new QNetworkAccessManager(this);
    // Qt 6 follows redirects by default; a redirect is an answer like any other here.
    liveManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(liveManager, &QNetworkAccessManager::finished, this, &VLA_MW::slotReplyFinished);
    setupProxy();
    return liveManager;
}

void VLA_MW::setupProxy()
{
    if (settings->value(SettingsKey::ProxyEnable).toString() != QLatin1String("true"))
        return;
    // An HTTP proxy carries plain requests and tunnels https with CONNECT.
    QNetworkProxy proxy(QNetworkProxy::HttpProxy,
                        settings->value(SettingsKey::ProxyHost).toString(),
                        settings->value(SettingsKey::ProxyPort).toString().toUShort(nullptr, 10),
                        settings->value(SettingsKey::ProxyUsername).toString(),
                        settings->value(SettingsKey::ProxyPassword).toString());
    liveManager->setProxy(proxy);
}
