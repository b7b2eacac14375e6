#pragma once

#include <QApplication>
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

    void answer(const QByteArray &script, const QByteArray &body)
    {
        LoopbackServer::Answer a;
        a.body = body;
        server.setAnswer(script, a);
    }
};
