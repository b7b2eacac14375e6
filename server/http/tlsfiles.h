#pragma once

#include <QString>
#include <QtNetwork/qtnetworkglobal.h>

#if QT_CONFIG(ssl)
#include <QSslConfiguration>

#include <optional>

// A server configuration that presents the certificate chain of certificatePath
// with the unencrypted RSA or EC key of keyPath (PEM files); nothing, with
// error set, when either cannot be used.
std::optional<QSslConfiguration> loadTlsFiles(const QString &certificatePath, const QString &keyPath, QString *error);
#endif
