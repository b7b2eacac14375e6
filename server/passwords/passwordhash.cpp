#include "server/passwords/passwordhash.h"

#include <sodium.h>

HashCost HashCost::minimum()
{
    return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

HashCost HashCost::interactive()
{
    return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

HashCost HashCost::moderate()
{
    return {crypto_pwhash_OPSLIMIT_MODERATE, crypto_pwhash_MEMLIMIT_MODERATE};
}

HashCost HashCost::sensitive()
{
    return {crypto_pwhash_OPSLIMIT_SENSITIVE, crypto_pwhash_MEMLIMIT_SENSITIVE};
}

HashCost HashCost::fromName(const QString &name, bool *ok)
{
    *ok = true;
    if (name == QLatin1String("minimum"))
        return minimum();
    if (name == QLatin1String("interactive"))
        return interactive();
    if (name == QLatin1String("moderate"))
        return moderate();
    if (name == QLatin1String("sensitive"))
        return sensitive();
    *ok = false;
    return {};
}

bool HashCost::isValid() const
{
    return opsLimit >= crypto_pwhash_OPSLIMIT_MIN && opsLimit <= crypto_pwhash_OPSLIMIT_MAX
        && memLimit >= crypto_pwhash_MEMLIMIT_MIN && memLimit <= crypto_pwhash_MEMLIMIT_MAX;
}

bool initPasswordHashing()
{
    // sodium_init is itself safe to repeat; the static keeps the answer for free.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QByteArray hashPassword(const QByteArray &secret, const HashCost &cost)
{
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, secret.constData(), static_cast<unsigned long long>(secret.size()),
                          cost.opsLimit, cost.memLimit)
        != 0) {
        return {};
    }
    return QByteArray(out);
}

bool verifyPassword(const QByteArray &storedHash, const QByteArray &secret)
{
    // The library reads at most STRBYTES of the stored text; anything longer is not ours.
    if (storedHash.isEmpty() || storedHash.size() >= crypto_pwhash_STRBYTES)
        return false;
    return crypto_pwhash_str_verify(storedHash.constData(), secret.constData(),
                                    static_cast<unsigned long long>(secret.size()))
        == 0;
}

bool hashNeedsRenewal(const QByteArray &storedHash, const HashCost &cost)
{
    if (storedHash.isEmpty() || storedHash.size() >= crypto_pwhash_STRBYTES)
        return false;
    return crypto_pwhash_str_needs_rehash(storedHash.constData(), cost.opsLimit, cost.memLimit) != 0;
}
