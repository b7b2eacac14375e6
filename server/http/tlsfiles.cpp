#include "server/http/tlsfiles.h"

#if QT_CONFIG(ssl)
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

std::optional<QSslConfiguration> loadTlsFiles(const QString &certificatePath, const QString &keyPath, QString *error)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificatePath, QSsl::Pem);
    if (chain.isEmpty()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(certificatePath);
        return std::nullopt;
    }
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(keyPath, keyFile.errorString());
        return std::nullopt;
    }
    const QByteArray pem = keyFile.readAll();
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        if (key.isNull())
            key = QSslKey(pem, algorithm, QSsl::Pem);
    }
    if (key.isNull()) {
        *error = QStringLiteral("no unencrypted RSA or EC PEM key in %1").arg(keyPath);
        return std::nullopt;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    return configuration;
}
#endif
