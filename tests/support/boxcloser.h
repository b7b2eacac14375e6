#pragma once

#include <QMessageBox>
#include <QObject>
#include <QTimer>

#include <functional>

// Reads every modal message box the application opens and closes it with Ok,
// the way a user would, so handlers that block in a box can be driven by tests.
class BoxCloser : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        bool parentIsMainWindow = false;
        Qt::TextFormat textFormat = Qt::AutoText;
    };

    explicit BoxCloser(QObject *parent = nullptr);

    QList<Box> boxes() const { return m_boxes; }
    void clear() { m_boxes.clear(); }

    // Runs while the box is still open, before Ok is pressed.
    void setWhileOpen(std::function<void(QMessageBox *)> hook) { m_whileOpen = std::move(hook); }

signals:
    void boxSeen(const QString &title, const QString &text);

private:
    void poll();

    QTimer m_timer;
    QList<Box> m_boxes;
    std::function<void(QMessageBox *)> m_whileOpen;
};
