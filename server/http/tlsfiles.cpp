#include "server/http/tlsfiles.h"

#if QT_CONFIG(ssl)
#include <QDateTime>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace {

// Whether the key is the one the certificate was made for. Qt has no way to
// tell: a wrong pair loads, then fails every handshake without a word. So
// OpenSSL, which Qt's own TLS backend runs on here, compares the two.
bool keyMatches(const QSslCertificate &certificate, const QByteArray &keyPem)
{
    const QByteArray certificatePem = certificate.toPem();
    const std::unique_ptr<BIO, decltype(&BIO_free)> certificateBio(
        BIO_new_mem_buf(certificatePem.constData(), int(certificatePem.size())), BIO_free);
    const std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())),
                                                           BIO_free);
    const std::unique_ptr<X509, decltype(&X509_free)> x509(
        PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr), X509_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    return x509 && key && X509_check_private_key(x509.get(), key.get()) == 1;
}

} // namespace

std::optional<QSslConfiguration> loadTlsFiles(const QString &certificatePath, const QString &keyPath, QString *error)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificatePath, QSsl::Pem);
    if (chain.isEmpty()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(certificatePath);
        return std::nullopt;
    }
    // Clients refuse it: better not to start than to fail every handshake.
    const QSslCertificate &certificate = chain.first();
    if (certificate.expiryDate() <= QDateTime::currentDateTimeUtc()) {
        *error = QStringLiteral("the certificate in %1 expired on %2")
                     .arg(certificatePath, certificate.expiryDate().toUTC().toString(Qt::ISODate));
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
    if (!keyMatches(certificate, pem)) {
        *error = QStringLiteral("the key in %1 does not belong to the certificate in %2").arg(keyPath, certificatePath);
        return std::nullopt;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    return configuration;
}
#endif
