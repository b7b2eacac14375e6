#pragma once

#include <QLatin1StringView>
#include <QList>
#include <QString>

class QSettings;

namespace SettingsKey {
inline constexpr QLatin1StringView UpdaterServer{"updater/server"};
inline constexpr QLatin1StringView UpdaterDirectory{"updater/directory"};
inline constexpr QLatin1StringView ProxyEnable{"updater/proxy/enable"};
inline constexpr QLatin1StringView ProxyHost{"updater/proxy/host"};
inline constexpr QLatin1StringView ProxyPort{"updater/proxy/port"};
inline constexpr QLatin1StringView ProxyUsername{"updater/proxy/username"};
inline constexpr QLatin1StringView ProxyPassword{"updater/proxy/password"};
inline constexpr QLatin1StringView LiveServer{"live/server"};
inline constexpr QLatin1StringView LiveDirectory{"live/directory"};
inline constexpr QLatin1StringView Login{"live/id/login"};
inline constexpr QLatin1StringView Password{"live/id/password"};
}

struct SettingDefault
{
    QLatin1StringView key;
    QString value;
};

// Every key the program knows, in the order their defaults are ensured at start-up.
const QList<SettingDefault> &settingDefaults();

// Directory and file name of the per-user settings, below the home directory.
inline constexpr QLatin1StringView SettingsDirName{".VELKA"};
inline constexpr QLatin1StringView SettingsFileName{"velka.ini"};

// The value of key as text, or fallback when absent. A hand-edited value that
// the INI reader splits into a list (an unquoted comma) comes back as the text
// written in the file, not as the empty string QVariant would give.
QString settingText(const QSettings &settings, const QString &key, const QString &fallback = {});
