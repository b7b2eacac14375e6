#pragma once

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

// A HOME of the test's own, so nothing reaches the real ~/.VELKA.
class TempHome
{
public:
    TempHome() { qputenv("HOME", QFile::encodeName(m_dir.path())); }
    ~TempHome() { qputenv("HOME", m_oldHome); }

    QString path() const { return m_dir.path(); }
    QString iniPath() const { return m_dir.path() + QStringLiteral("/.VELKA/velka.ini"); }
    // The settings file as a user writes it by hand.
    void writeIni(const QByteArray &text) const
    {
        QDir(path()).mkpath(QStringLiteral(".VELKA"));
        QFile file(iniPath());
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(text);
    }
    // What the file holds now, read by a settings object of its own.
    QString value(const QString &key) const { return QSettings(iniPath(), QSettings::IniFormat).value(key).toString(); }

private:
    QByteArray m_oldHome = qgetenv("HOME");
    QTemporaryDir m_dir;
};
