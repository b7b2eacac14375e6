#pragma once

#include "net/replydata.h"

#include <QMainWindow>
#include <QNetworkReply>
#include <QProgressBar>

#include <memory>

class QNetworkAccessManager;
class QSettings;

namespace Ui {
class VLA_MW;
}

class VLA_MW : public QMainWindow
{
    Q_OBJECT

public:
    explicit VLA_MW(QWidget *parent = nullptr);
    ~VLA_MW() override;

    void setDefaultSetting(const QString &key, const QString &defaultValue);
    void sendRequest(QString path, int type);
    void handleReply(ReplyData reply);
    void handleLoginReply(const QByteArray &data);
    void handleRegisterReply(const QByteArray &data);
    void autoLogin();

private:
    void openSettings();
    QNetworkAccessManager *manager();
    void setupProxy();
    void sendLogin(const QString &login, const QString &digest);

    Ui::VLA_MW *ui;
    std::unique_ptr<QSettings> settings;
    QNetworkAccessManager *liveManager = nullptr;
    QProgressBar progressBar;

private slots:
    void slotDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void slotError(QNetworkReply::NetworkError code);
    void slotReplyFinished(QNetworkReply *reply);
    void on_pushButtonLogin_clicked();
    void on_pushButtonRegister_clicked();
};
