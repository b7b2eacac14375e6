#include "server/log/logwriter.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

namespace {

LogWriter *qtMessages = nullptr; // on the main thread alone
LogFormat qtMessagesFormat = LogFormat::Text;

void takeMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    // One line, whatever the message holds: a log of JSON objects stays one a line.
    QString line = text.simplified();
    if (line.startsWith(QLatin1String("velka-live-server: ")))
        line.remove(0, 19);
    line = messageLine(line, qtMessagesFormat);
    if (QThread::currentThread() == QCoreApplication::instance()->thread())
        return qtMessages ? qtMessages->add(line) : void();
    QMetaObject::invokeMethod(QCoreApplication::instance(), [line] {
        if (qtMessages)
            qtMessages->add(line);
    }, Qt::QueuedConnection);
}

} // namespace

LogWriter::LogWriter()
{
    m_out.open(2, QIODevice::WriteOnly | QIODevice::Unbuffered);
    m_idle = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                              [this] { flush(); });
}

LogWriter::~LogWriter()
{
    if (qtMessages == this) {
        qInstallMessageHandler(nullptr);
        qtMessages = nullptr;
    }
    QObject::disconnect(m_idle);
    flush();
}

void LogWriter::takeQtMessages(LogFormat format)
{
    qtMessages = this;
    qtMessagesFormat = format;
    qInstallMessageHandler(takeMessage);
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
