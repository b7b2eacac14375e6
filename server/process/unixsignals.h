#pragma once

#include <QObject>

class QSocketNotifier;

// SIGHUP, SIGTERM and SIGINT as Qt signals, delivered by the event loop:
// the handler only writes the signal's number to a socket pair, and the
// loop reads it. Nothing else may run inside a signal handler. One per process.
class UnixSignals final : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignals(QObject *parent = nullptr);
    ~UnixSignals() override;

signals:
    void hangUp();
    void stopAsked(int signal); // SIGTERM or SIGINT

private:
    void readSignals();

    QSocketNotifier *m_notifier = nullptr;
};
