#include "server/log/logwriter.h"

#include <QAbstractEventDispatcher>

LogWriter::LogWriter()
{
    m_out.open(2, QIODevice::WriteOnly | QIODevice::Unbuffered);
    m_idle = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                              [this] { flush(); });
}

LogWriter::~LogWriter()
{
    QObject::disconnect(m_idle);
    flush();
}

void LogWriter::add(const QString &line)
{
    const qsizetype used = m_pending.size();
    m_pending.resize(used + m_utf8.requiredSpace(line.size()) + 1);
    char *end = m_utf8.appendToBuffer(m_pending.data() + used, line);
    *end++ = '\n';
    m_pending.resize(end - m_pending.constData());
}

void LogWriter::flush()
{
    if (m_pending.isEmpty())
        return;
    const qint64 written = m_out.write(m_pending);
    // A line counts as written once its line break is.
    if (written < m_pending.size())
        m_dropped += QByteArrayView(m_pending).sliced(qMax<qint64>(written, 0)).count('\n');
    m_pending.resize(0);
}
