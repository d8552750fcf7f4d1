// vxsign: creates the signing key pair and the ".sig" companions of product ini files.
//
//   vxsign keygen PRIV PUB   new 1024-bit pair: PKCS #1 private key DER, PKCS #1 public key DER
//   vxsign sign PRIV FILE    writes FILE.sig (RSASSA-PSS, SHA-1, 8-byte salt)
//   vxsign verify FILE [PUB] checks FILE against FILE.sig with PUB or the built-in key
#include "pipeline/crypt_exception.h"
#include "pipeline/crypto.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kKeyBytes = 128;
constexpr long kPublicExponent = 65537;
constexpr unsigned long kSaltLength = 8;

using Bytes = std::vector<unsigned char>;

struct Failure
{
    std::string text;
};

Bytes readAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure{"cannot open " + path};
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw Failure{"cannot read " + path};
    return data;
}

// Writes under a temporary name and renames, so a half-written key or signature never
// replaces a good one.
void writeAll(const std::string &path, const Bytes &data, mode_t mode)
{
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        throw Failure{"cannot create " + tmp};
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            throw Failure{"cannot write " + tmp};
        }
        done += size_t(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        throw Failure{"cannot write " + path};
    }
}

void check(int err, const char *what)
{
    if (err != CRYPT_OK)
        throw Failure{std::string(what) + ": " + error_to_string(err)};
}

Bytes exportKey(RsaKey &key, int type)
{
    Bytes out(4096);
    unsigned long length = out.size();
    check(rsa_export(out.data(), &length, type, key.get()), "rsa_export");
    out.resize(length);
    return out;
}

int keygen(const std::string &privPath, const std::string &pubPath)
{
    RsaKey key;
    check(rsa_make_key(nullptr, sprngIndex(), kKeyBytes, kPublicExponent, key.get()), "rsa_make_key");
    key.setLoaded();
    writeAll(privPath, exportKey(key, PK_PRIVATE), 0600);
    writeAll(pubPath, exportKey(key, PK_PUBLIC), 0644);
    return 0;
}

int sign(const std::string &privPath, const std::string &file)
{
    const Bytes der = readAll(privPath);
    RsaKey key;
    importPublicKey(key, der.data(), der.size());
    if (key.get()->type != PK_PRIVATE)
        throw Failure{privPath + " holds no private key"};

    const Bytes data = readAll(file);
    unsigned char digest[20];
    hash_state state;
    sha1_init(&state);
    sha1_process(&state, data.data(), data.size());
    sha1_done(&state, digest);

    Bytes signature(kKeyBytes * 2);
    unsigned long length = signature.size();
    check(rsa_sign_hash_ex(digest, sizeof(digest), signature.data(), &length, LTC_PKCS_1_PSS, nullptr,
                           sprngIndex(), sha1HashIndex(), kSaltLength, key.get()),
          "rsa_sign_hash");
    signature.resize(length);
    writeAll(file + ".sig", signature, 0644);
    return 0;
}

int verify(const std::string &file, const std::string &pubPath)
{
    Bytes der;
    if (pubPath.empty())
        der.assign(builtinPublicKey(), builtinPublicKey() + builtinPublicKeyLength());
    else
        der = readAll(pubPath);
    const Bytes data = readAll(file);
    const Bytes signature = readAll(file + ".sig");
    RsaKey key;
    importPublicKey(key, der.data(), der.size());
    try {
        const bool good = verifySignature(key, data.data(), data.size(), signature.data(), signature.size());
        std::cout << (good ? "OK" : "FAILED") << "\n";
        return good ? 0 : 1;
    } catch (const crypt_exception &e) {
        // A signature that does not even decode is a failed verification, not a usage error.
        std::cout << "FAILED (" << e.what() << ")\n";
        return 1;
    }
}

int usage()
{
    std::cerr << "usage: vxsign keygen PRIV PUB\n"
                 "       vxsign sign PRIV FILE\n"
                 "       vxsign verify FILE [PUB]\n";
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        registerCrypto();
        if (args.size() == 3 && args[0] == "keygen")
            return keygen(args[1], args[2]);
        if (args.size() == 3 && args[0] == "sign")
            return sign(args[1], args[2]);
        if ((args.size() == 2 || args.size() == 3) && args[0] == "verify")
            return verify(args[1], args.size() == 3 ? args[2] : std::string());
        return usage();
    } catch (const Failure &f) {
        std::cerr << "vxsign: " << f.text << "\n";
    } catch (const crypt_exception &e) {
        std::cerr << "vxsign: " << e.what() << "\n";
    }
    return 2;
}
