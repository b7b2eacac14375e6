#include "account/passworddigest.h"

#include <QCryptographicHash>

QString passwordDigest(const QString &password)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(password.toLatin1(), QCryptographicHash::Md5).toHex());
}
