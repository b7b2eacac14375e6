#pragma once

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QSettings>
#include <QTemporaryDir>

// A HOME of the test's own, so nothing reaches the real ~/.VELKA. Windows takes the
// home from the user's profile, never from HOME: there the suites run only under Wine
// in a prefix of their own, whose profile's .VELKA they clear before and after.
class TempHome
{
public:
    TempHome()
    {
#ifdef Q_OS_WIN
        if (!QLibrary::resolve("ntdll", "wine_get_version") || qEnvironmentVariableIsEmpty("WINEPREFIX"))
            qFatal("On Windows the suites run only under Wine, with a WINEPREFIX of their own");
#endif
        setHome(QFile::encodeName(m_path));
    }
    ~TempHome() { setHome(m_oldHome); }

    QString path() const { return m_path; }
    QString iniPath() const { return m_path + QStringLiteral("/.VELKA/velka.ini"); }
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
    // HOME set to home; on Windows, whose home is the profile, its .VELKA cleared instead.
    void setHome(const QByteArray &home) const
    {
#ifdef Q_OS_WIN
        Q_UNUSED(home)
        QDir(m_path + QStringLiteral("/.VELKA")).removeRecursively();
        QFile::remove(m_path + QStringLiteral("/.VELKA"));
#else
        qputenv("HOME", home);
#endif
    }

    QByteArray m_oldHome = qgetenv("HOME");
    QTemporaryDir m_dir;
#ifdef Q_OS_WIN
    QString m_path = QDir::homePath();
#else
    QString m_path = m_dir.path();
#endif
};
