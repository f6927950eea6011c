// Makes throw-away certificates: one self-signed pair for the demo, or the set the tests
// use (a CA of their own and certificates it signed: good, renewed, expired, ending soon,
// for another host). Keys are P-256, certificates signed with SHA-256.
//
//   make-cert self-signed DIR   DIR/tls.pem and DIR/tls.key (localhost, 127.0.0.1, ::1)
//   make-cert test-set DIR      DIR/ca.pem, and NAME.pem with NAME.key for NAME in
//                               server, renewed, expired, soon, otherhost
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr long kDay = 86400;

struct Issued {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
};

[[noreturn]] void die(const std::string& what) {
    fprintf(stderr, "make-cert: %s\n", what.c_str());
    exit(1);
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext || !X509_add_ext(cert, ext, -1)) die("cannot add the extension " + value);
    X509_EXTENSION_free(ext);
}

// A certificate for `commonName` with the subject alternative names `names` ("DNS:x",
// "IP:y"), valid from `fromDays` to `untilDays` (relative to now), signed by `issuer` (or
// by itself).
Issued issue(const std::string& commonName, const std::string& names, long fromDays, long untilDays,
             const Issued* issuer, bool isCa) {
    Issued out;
    out.key = EVP_EC_gen("P-256");
    out.cert = X509_new();
    if (!out.key || !out.cert) die("cannot make a key");
    X509* x = out.cert;
    X509_set_version(x, 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(x), fromDays * kDay);
    X509_gmtime_adj(X509_getm_notAfter(x), untilDays * kDay);
    X509_set_pubkey(x, out.key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509* signer = issuer ? issuer->cert : x;
    X509_set_issuer_name(x, X509_get_subject_name(signer));
    if (isCa) {
        addExtension(x, signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(x, signer, NID_basic_constraints, "CA:FALSE");
        addExtension(x, signer, NID_ext_key_usage, "serverAuth");
        addExtension(x, signer, NID_subject_alt_name, names);
    }
    addExtension(x, signer, NID_subject_key_identifier, "hash");
    if (!X509_sign(x, issuer ? issuer->key : out.key, EVP_sha256())) die("cannot sign " + commonName);
    return out;
}

void writePair(const std::string& dir, const std::string& stem, const Issued& i, bool withKey = true) {
    const std::string certPath = dir + "/" + stem + ".pem";
    FILE* f = fopen(certPath.c_str(), "w");
    if (!f || !PEM_write_X509(f, i.cert)) die("cannot write " + certPath);
    fclose(f);
    if (!withKey) return;
    const std::string keyPath = dir + "/" + stem + ".key";
    f = fopen(keyPath.c_str(), "w");
    if (!f) die("cannot write " + keyPath);
    chmod(keyPath.c_str(), 0600);
    if (!PEM_write_PrivateKey(f, i.key, nullptr, nullptr, 0, nullptr, nullptr)) die("cannot write " + keyPath);
    fclose(f);
}

void release(Issued& i) {
    X509_free(i.cert);
    EVP_PKEY_free(i.key);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: make-cert self-signed|test-set DIR\n");
        return 2;
    }
    const std::string what = argv[1], dir = argv[2];
    const std::string local = "DNS:localhost,IP:127.0.0.1,IP:::1";
    if (what == "self-signed") {
        Issued pair = issue("localhost", local, -1, 30, nullptr, false);
        writePair(dir, "tls", pair);
        release(pair);
        return 0;
    }
    if (what != "test-set") die("unknown kind " + what);
    Issued ca = issue("Quorva Test CA", "", -1, 3650, nullptr, true);
    writePair(dir, "ca", ca, false);
    struct Leaf {
        const char* stem;
        const char* commonName;
        std::string names;
        long from, until;
    };
    const std::vector<Leaf> leaves = {
        {"server", "localhost", local, -1, 90},
        {"renewed", "localhost renewed", local, -1, 180},
        {"expired", "localhost expired", local, -60, -30},
        {"soon", "localhost soon", local, -80, 5},
        {"otherhost", "other.example.org", "DNS:other.example.org", -1, 90},
    };
    for (const Leaf& l : leaves) {
        Issued leaf = issue(l.commonName, l.names, l.from, l.until, &ca, false);
        writePair(dir, l.stem, leaf);
        release(leaf);
    }
    release(ca);
    return 0;
}
