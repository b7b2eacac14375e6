#pragma once

#include "server/log/accesslog.h"

#include <QByteArray>
#include <QFile>
#include <QMetaObject>
#include <QStringEncoder>

// Lines for standard error, written in blocks whenever the event loop has
// nothing left to do: one write for many requests under load, none held
// back when idle. Kept out of stdio, whose locks every line would pay once
// the hashing threads exist. Lines that cannot be written (nobody reads the
// other end any more) are counted and let go.
class LogWriter
{
public:
    LogWriter();
    ~LogWriter();
    LogWriter(const LogWriter &) = delete;
    LogWriter &operator=(const LogWriter &) = delete;

    void add(const QString &line);
    // Qt's own warnings, and the database driver's, from any thread, become
    // lines of this writer's in format, one line each, until it goes.
    void takeQtMessages(LogFormat format);
    // What is held, written now.
    void flush();
    // Lines lost so far because standard error refused them.
    qint64 droppedLines() const { return m_dropped; }

private:
    QFile m_out;
    QByteArray m_pending;
    QStringEncoder m_utf8{QStringEncoder::Utf8};
    QMetaObject::Connection m_idle;
    qint64 m_dropped = 0;
};
