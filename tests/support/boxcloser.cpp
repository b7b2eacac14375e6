#include "boxcloser.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMainWindow>

BoxCloser::BoxCloser(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &BoxCloser::poll);
    m_timer.start();
}

void BoxCloser::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box->property("seenByCloser").toBool())
        return;
    box->setProperty("seenByCloser", true);
    Box seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.buttons = box->standardButtons();
    seen.parentIsMainWindow = qobject_cast<QMainWindow *>(box->parentWidget()) != nullptr;
    seen.textFormat = box->textFormat();
    m_boxes.append(seen);
    emit boxSeen(seen.title, seen.text);
    if (m_whileOpen)
        m_whileOpen(box);
    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->reject();
}
