#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// Cost of the slow hash kept for every password digest. Both limits are
// written into each stored hash, so a change applies to new hashes only.
struct HashCost
{
    unsigned long long opsLimit = 0;
    std::size_t memLimit = 0; // bytes

    static HashCost minimum();
    static HashCost interactive();
    static HashCost moderate();
    static HashCost sensitive();
    // "minimum", "interactive", "moderate" or "sensitive"; ok is false for anything else.
    static HashCost fromName(const QString &name, bool *ok);

    bool isValid() const;
    bool operator==(const HashCost &other) const
    {
        return opsLimit == other.opsLimit && memLimit == other.memLimit;
    }
};

// Loads the hashing library; safe to call any number of times, from any thread.
bool initPasswordHashing();

// A salted Argon2id hash of secret in the library's text form, empty when
// hashing failed (it fails when the memory cannot be had).
QByteArray hashPassword(const QByteArray &secret, const HashCost &cost);

// Constant-time check of secret against a stored hash.
bool verifyPassword(const QByteArray &storedHash, const QByteArray &secret);

// True when storedHash was made with another cost or algorithm than cost.
bool hashNeedsRenewal(const QByteArray &storedHash, const HashCost &cost);
