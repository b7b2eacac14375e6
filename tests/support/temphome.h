#pragma once

#include <QDir>
#include <QMap>
#include <QTemporaryDir>

// A HOME of the test's own, so nothing reaches the real ~/.VELKA.
class TempHome
{
public:
    TempHome();
    ~TempHome();

    QString path() const { return m_dir.path(); }
    QString iniPath() const { return m_dir.path() + QStringLiteral("/.VELKA/velka.ini"); }
    // Writes the settings file as a user would by hand.
    void writeIni(const QByteArray &text) const;
    // The value as text, read with a settings object of its own.
    QString value(const QString &key) const;
    bool contains(const QString &key) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_oldHome;
};
