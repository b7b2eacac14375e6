#include "temphome.h"

#include <QFile>
#include <QSettings>

TempHome::TempHome()
    : m_oldHome(qgetenv("HOME"))
{
    qputenv("HOME", QFile::encodeName(m_dir.path()));
}

TempHome::~TempHome()
{
    qputenv("HOME", m_oldHome);
}

void TempHome::writeIni(const QByteArray &text) const
{
    QDir(m_dir.path()).mkpath(QStringLiteral(".VELKA"));
    QFile file(iniPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text);
}

QString TempHome::value(const QString &key) const
{
    return QSettings(iniPath(), QSettings::IniFormat).value(key).toString();
}

bool TempHome::contains(const QString &key) const
{
    return QSettings(iniPath(), QSettings::IniFormat).contains(key);
}
