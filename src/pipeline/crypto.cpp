#include "pipeline/crypto.h"

#include "pipeline/crypt_exception.h"

#include <string>

namespace {
constexpr unsigned long kSha1Length = 20;
constexpr unsigned long kSaltLength = 8;

// Written once by registerCrypto() before any check runs, read-only afterwards.
int s_sha1Index = -1;
int s_sprngIndex = -1;

[[noreturn]] void throwError(const char *operation, int err)
{
    throw crypt_exception(std::string(operation) + ": " + error_to_string(err));
}
} // namespace

RsaKey::~RsaKey()
{
    if (m_loaded)
        rsa_free(&m_key);
}

void registerCrypto()
{
    const int prng = register_prng(&sprng_desc);
    ltc_mp = ltm_desc;
    const int hash = register_hash(&sha1_desc);
    if (prng == -1 || hash == -1)
        throw crypt_exception("Error registering sha1");
    s_sha1Index = find_hash("sha1");
    s_sprngIndex = find_prng("sprng");
}

int sha1HashIndex()
{
    return s_sha1Index;
}

int sprngIndex()
{
    return s_sprngIndex;
}

void importPublicKey(RsaKey &key, const unsigned char *der, unsigned long length)
{
    const int err = rsa_import(der, length, key.get());
    if (err != CRYPT_OK)
        throwError("rsa_import", err);
    key.setLoaded();
}

bool verifySignature(RsaKey &key, const unsigned char *data, unsigned long length,
                     const unsigned char *signature, unsigned long signatureLength)
{
    unsigned char digest[kSha1Length];
    hash_state state;
    sha1_init(&state);
    sha1_process(&state, data, length);
    sha1_done(&state, digest);

    int stat = 0;
    const int err = rsa_verify_hash_ex(signature, signatureLength, digest, kSha1Length, LTC_PKCS_1_PSS,
                                       s_sha1Index, kSaltLength, &stat, key.get());
    if (err != CRYPT_OK)
        throwError("rsa_verify_hash", err);
    return stat == 1;
}
