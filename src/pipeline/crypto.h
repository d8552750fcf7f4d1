#pragma once

#include <cstddef>
#include <tomcrypt.h>

// Thin wrapper over libtomcrypt for RSASSA-PSS (SHA-1, MGF1 SHA-1, 8-byte salt) signatures.
// Errors are thrown as crypt_exception.

// Owns one imported RSA key and frees it when it goes out of scope.
class RsaKey
{
public:
    RsaKey() = default;
    ~RsaKey();
    RsaKey(const RsaKey &) = delete;
    RsaKey &operator=(const RsaKey &) = delete;

    rsa_key *get() { return &m_key; }
    bool isLoaded() const { return m_loaded; }
    void setLoaded() { m_loaded = true; }

private:
    rsa_key m_key{};
    bool m_loaded = false;
};

// Registers SHA-1, the system PRNG and libtommath; must run once before any other call,
// because the registration tables are only read afterwards (checks run on pool threads).
void registerCrypto();

// Index of "sha1" and "sprng" in libtomcrypt's tables, as found by registerCrypto().
int sha1HashIndex();
int sprngIndex();

// Imports a DER encoded RSA key (PKCS #1 RSAPublicKey or RSAPrivateKey).
void importPublicKey(RsaKey &key, const unsigned char *der, unsigned long length);

// True when signature is a valid signature of data under key; throws when the signature
// cannot even be decoded (wrong length, not a PSS encoding).
bool verifySignature(RsaKey &key, const unsigned char *data, unsigned long length,
                     const unsigned char *signature, unsigned long signatureLength);

// The verification key built into the program (PKCS #1 RSAPublicKey DER, 1024-bit modulus).
const unsigned char *builtinPublicKey();
std::size_t builtinPublicKeyLength();
