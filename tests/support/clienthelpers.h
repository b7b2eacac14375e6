#pragma once

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolBox>
#include <QByteArray>
#include <QNetworkReply>
#include <QProgressBar>
#include <QString>
#include <QWidget>

// Settings that point the client at a server of the test's own. With a
// section in extra, its keys must go in their own "[section]" lines.
inline QByteArray liveIni(const QString &serverUrl, const QByteArray &idLines = {})
{
    return "[live]\nserver=" + serverUrl.toUtf8() + "\ndirectory=VELKA/be\n" + idLines;
}

// The progress window: the one top-level progress bar of the program.
inline QProgressBar *progressWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *bar = qobject_cast<QProgressBar *>(w))
            return bar;
    }
    return nullptr;
}

template <typename T>
T *widget(const QWidget &window, const QString &name)
{
    return window.findChild<T *>(name);
}

// What a person does on the sign-in page.
inline void signInByHand(const QWidget &window, const QString &login, const QString &password)
{
    widget<QLineEdit>(window, "lineEditLogin")->setText(login);
    widget<QLineEdit>(window, "lineEditPassword")->setText(password);
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonLogin"), Qt::LeftButton);
}

// The sign-in page locked as after an accepted sign-in, every part of it.
inline bool signedIn(const QWidget &window)
{
    auto *button = widget<QPushButton>(window, "pushButtonLogin");
    auto *box = widget<QToolBox>(window, "toolBoxAccount");
    const QImage check = QImage(":/Icons/Check.png").convertToFormat(QImage::Format_ARGB32);
    return !button->isEnabled() && button->text() == QLatin1String("Your are successfully logged")
        && !widget<QLineEdit>(window, "lineEditLogin")->isEnabled()
        && !widget<QLineEdit>(window, "lineEditPassword")->isEnabled() && !box->isItemEnabled(1)
        && box->itemIcon(0).pixmap(256).toImage().convertToFormat(QImage::Format_ARGB32) == check;
}

// Replies are children of the window's network manager for its whole life.
inline qsizetype sentRequests(const QWidget &window)
{
    return window.findChildren<QNetworkReply *>().size();
}

#include "boxcloser.h"
#include "loopbackserver.h"
#include "temphome.h"

// A private HOME whose settings point at a loopback server, and a closer
// that answers the boxes: what every client suite starts from.
struct ClientRig
{
    TempHome home;
    LoopbackServer server;
    BoxCloser closer;

    ClientRig() { home.writeIni(liveIni(server.url())); }

    // An account kept from an earlier run: the start-up sign-in uses it.
    void storeAccount(const QString &login, const QString &password)
    {
        home.writeIni(liveIni(server.url(), "id\\login=" + login.toUtf8() + "\nid\\password=" + password.toUtf8() + "\n"));
    }

    void answer(const QByteArray &script, const QByteArray &body)
    {
        LoopbackServer::Answer a;
        a.body = body;
        server.setAnswer(script, a);
    }
};
