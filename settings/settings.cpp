#include "settings/settingskeys.h"

#include "app/vla_mw.h"

#include <QDir>
#include <QFile>
#include <QSettings>

const QList<SettingDefault> &settingDefaults()
{
    static const QList<SettingDefault> table = {
        {SettingsKey::UpdaterServer, QStringLiteral(VELKA_UPDATER_SERVER_URL)},
        {SettingsKey::UpdaterDirectory, QStringLiteral("VELKA/updater")},
        {SettingsKey::ProxyEnable, QStringLiteral("false")},
        {SettingsKey::ProxyHost, QString()},
        {SettingsKey::ProxyPort, QString()},
        {SettingsKey::ProxyUsername, QString()},
        {SettingsKey::ProxyPassword, QString()},
        {SettingsKey::LiveServer, QStringLiteral(VELKA_LIVE_SERVER_URL)},
        {SettingsKey::LiveDirectory, QStringLiteral("VELKA/be")},
        {SettingsKey::Login, QString()},
        {SettingsKey::Password, QString()},
    };
    return table;
}

namespace {

// QSettings' INI reader matches section and key names without regard to case on
// Windows, and with it elsewhere; the raw text must be found the same way.
#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity IniNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity IniNameCase = Qt::CaseSensitive;
#endif

// The text after '=' on the line of key in the file, as the user wrote it.
// Only used for values QSettings does not hand back as a string, so the cost
// of a second read is paid by odd files alone.
QString rawIniText(const QString &fileName, const QString &key)
{
    const qsizetype slash = key.indexOf(u'/');
    const QString section = key.left(slash);
    // Qt's INI writer keeps the rest of the path in the key with '\' separators.
    const QString name = QString(key.mid(slash + 1)).replace(u'/', u'\\');

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QString current;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            current = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0 || current.compare(section, IniNameCase) != 0)
            continue;
        const QString lineKey = line.left(eq).trimmed().replace(u'/', u'\\');
        if (lineKey.compare(name, IniNameCase) == 0)
            return line.mid(eq + 1).trimmed();
    }
    return {};
}

} // namespace

QString settingText(const QSettings &settings, const QString &key, const QString &fallback)
{
    const QVariant value = settings.value(key, fallback);
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    // A list, or an "@..." form Qt cannot read back: keep what the user wrote.
    QString text = value.toString();
    if (text.isEmpty())
        text = rawIniText(settings.fileName(), key);
    if (text.isEmpty() && value.typeId() == QMetaType::QStringList)
        text = value.toStringList().join(u',');
    return text;
}

void VLA_MW::setDefaultSetting(const QString &key, const QString &defaultValue)
{
    // A value already held as text stays as it is without a write: setting it
    // again would rewrite the file, lock and all, and wait for the disk at every start.
    if (settings->value(key).typeId() == QMetaType::QString)
        return;
    settings->setValue(key, settingText(*settings, key, defaultValue));
}

void VLA_MW::openSettings()
{
    const QString startDir = QDir::currentPath();
    QDir home = QDir::home();
    if (!home.exists(SettingsDirName))
        home.mkdir(SettingsDirName);
    QDir::setCurrent(home.filePath(SettingsDirName));
    settings = std::make_unique<QSettings>(SettingsFileName, QSettings::IniFormat);
    for (const SettingDefault &row : settingDefaults())
        setDefaultSetting(row.key, row.value);
    QDir::setCurrent(startDir);
}
