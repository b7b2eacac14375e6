#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <functional>

// A box as the closer saw it: icon, title and text on one line.
inline QString boxLine(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    return QString::number(icon) + u'\t' + title + u'\t' + text;
}

// Reads every modal message box the program opens and presses its Ok, as a
// person would, so handlers that block in a box can be driven by tests.
class BoxCloser
{
public:
    BoxCloser()
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            m_lines << boxLine(box->icon(), box->windowTitle(), box->text());
            if (whileOpen)
                whileOpen();
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
        });
        m_timer.start(5);
    }
    // Every box so far, in the order they opened.
    QStringList lines() const { return m_lines; }
    // Runs while the box is still open, before Ok is pressed.
    std::function<void()> whileOpen;

private:
    QTimer m_timer;
    QStringList m_lines;
};
