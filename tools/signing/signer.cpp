#include "signing/signer.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>

#include "verify/curve25519_check.h"
#include "verify/signature.h"

namespace signing {
namespace {

struct bn_free {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct ctx_free {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
struct group_free {
    void operator()(EC_GROUP* g) const { EC_GROUP_free(g); }
};
struct point_free {
    void operator()(EC_POINT* p) const { EC_POINT_clear_free(p); }
};
struct pkey_free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct md_ctx_free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using bignum = std::unique_ptr<BIGNUM, bn_free>;
using point = std::unique_ptr<EC_POINT, point_free>;

bignum new_bn() { return bignum(BN_new()); }

bignum bn_from_hex(const char* text) {
    BIGNUM* b = nullptr;
    if (BN_hex2bn(&b, text) == 0) return nullptr;
    return bignum(b);
}

bignum bn_from_le(const std::uint8_t* bytes, int n) { return bignum(BN_lebin2bn(bytes, n, nullptr)); }

bool bn_to_le(const BIGNUM* b, std::uint8_t out[32]) { return BN_bn2lebinpad(b, out, 32) == 32; }

// Curve25519, v^2 = u^3 + A u^2 + u, in the short Weierstrass form that
// OpenSSL's generic prime-field arithmetic takes: x = u + A/3, y = v, with
// a = (3 - A^2)/3 and b = (2A^3 - 9A)/27. OpenSSL does the point arithmetic;
// only the change of coordinates is done here.
class curve {
public:
    bool init() {
        ctx_.reset(BN_CTX_new());
        // p = 2^255 - 19, l = 2^252 + 27742317777372353535851937790883648493
        // (the order of B), A = 486662, v_B the base point's v-coordinate.
        p_ = bn_from_hex("7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
        l_ = bn_from_hex("1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed");
        bignum A = bn_from_hex("76d06");
        bignum vb = bn_from_hex("20ae19a1b8a086b4e01edd2c7748d14c923d4d7e6d7c61b229e9c5a27eced3d9");
        if (!ctx_ || !p_ || !l_ || !A || !vb) return false;
        BN_CTX* c = ctx_.get();

        bignum three = bn_from_hex("3"), nine = bn_from_hex("9"), inv3 = new_bn(), inv27 = new_bn();
        bignum a = new_bn(), b = new_bn(), t = new_bn(), t2 = new_bn();
        a_third_ = new_bn();
        if (!three || !nine || !inv3 || !inv27 || !a || !b || !t || !t2 || !a_third_) return false;
        if (!BN_mod_inverse(inv3.get(), three.get(), p_.get(), c)) return false;
        if (!BN_mod_sqr(inv27.get(), inv3.get(), p_.get(), c)) return false;
        if (!BN_mod_mul(inv27.get(), inv27.get(), inv3.get(), p_.get(), c)) return false;
        if (!BN_mod_mul(a_third_.get(), A.get(), inv3.get(), p_.get(), c)) return false;
        // a = (3 - A^2) / 3
        if (!BN_mod_sqr(t.get(), A.get(), p_.get(), c)) return false;
        if (!BN_mod_sub(t.get(), three.get(), t.get(), p_.get(), c)) return false;
        if (!BN_mod_mul(a.get(), t.get(), inv3.get(), p_.get(), c)) return false;
        // b = (2 A^3 - 9 A) / 27
        if (!BN_mod_sqr(t.get(), A.get(), p_.get(), c)) return false;
        if (!BN_mod_mul(t.get(), t.get(), A.get(), p_.get(), c)) return false;
        if (!BN_mod_add(t.get(), t.get(), t.get(), p_.get(), c)) return false;
        if (!BN_mod_mul(t2.get(), nine.get(), A.get(), p_.get(), c)) return false;
        if (!BN_mod_sub(t.get(), t.get(), t2.get(), p_.get(), c)) return false;
        if (!BN_mod_mul(b.get(), t.get(), inv27.get(), p_.get(), c)) return false;

        group_.reset(EC_GROUP_new_curve_GFp(p_.get(), a.get(), b.get(), c));
        if (!group_) return false;
        base_.reset(EC_POINT_new(group_.get()));
        bignum bx = new_bn();
        if (!base_ || !bx) return false;
        if (!BN_mod_add(bx.get(), nine.get(), a_third_.get(), p_.get(), c)) return false;
        if (EC_POINT_set_affine_coordinates(group_.get(), base_.get(), bx.get(), vb.get(), c) != 1) return false;
        return EC_POINT_is_on_curve(group_.get(), base_.get(), c) == 1;
    }

    // (u, v) of k B; false for the point at infinity or a failure.
    bool multiply(const BIGNUM* k, BIGNUM* u, BIGNUM* v) {
        point r(EC_POINT_new(group_.get()));
        bignum x = new_bn();
        if (!r || !x) return false;
        if (EC_POINT_mul(group_.get(), r.get(), nullptr, base_.get(), k, ctx_.get()) != 1) return false;
        if (EC_POINT_is_at_infinity(group_.get(), r.get())) return false;
        if (EC_POINT_get_affine_coordinates(group_.get(), r.get(), x.get(), v, ctx_.get()) != 1) return false;
        return BN_mod_sub(u, x.get(), a_third_.get(), p_.get(), ctx_.get()) == 1;
    }

    const BIGNUM* order() const { return l_.get(); }
    BN_CTX* ctx() const { return ctx_.get(); }

private:
    std::unique_ptr<BN_CTX, ctx_free> ctx_;
    bignum p_, l_, a_third_;
    std::unique_ptr<EC_GROUP, group_free> group_;
    point base_;
};

// The private scalar reduced modulo l and negated when a B has odd y, so
// that its point is the one the verifier lifts from the x-coordinate; u is
// that point's x-coordinate.
bool normalized_scalar(curve& c, const std::uint8_t scalar[32], BIGNUM* a, BIGNUM* u) {
    bignum raw = bn_from_le(scalar, 32);
    bignum v = new_bn();
    if (!raw || !v) return false;
    if (BN_nnmod(a, raw.get(), c.order(), c.ctx()) != 1 || BN_is_zero(a)) return false;
    if (!c.multiply(a, u, v.get())) return false;
    if (BN_is_odd(v.get())) {
        if (BN_sub(a, c.order(), a) != 1) return false;
    }
    return true;
}

bool eddsa_public_of(const std::uint8_t seed[32], std::uint8_t out[32]) {
    std::unique_ptr<EVP_PKEY, pkey_free> key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32));
    std::size_t length = 32;
    return key && EVP_PKEY_get_raw_public_key(key.get(), out, &length) == 1 && length == 32;
}

bool eddsa_sign(const std::uint8_t seed[32], const std::uint8_t* message, std::size_t n, std::uint8_t out[64]) {
    std::unique_ptr<EVP_PKEY, pkey_free> key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32));
    std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(EVP_MD_CTX_new());
    if (!key || !ctx) return false;
    if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
    std::size_t length = 64;
    return EVP_DigestSign(ctx.get(), out, &length, message, n) == 1 && length == 64;
}

// The nonce of a signature, derived from the private key and the digest as
// deterministic signature schemes derive theirs: SHA-512 over both private
// keys and the digest, reduced modulo l. The same key and digest always give
// the same signature, so a package is rebuilt byte for byte; another digest
// gives an unrelated nonce. A nonce of 0 (a chance of one in l) is refused.
bool derived_nonce(curve& c, const private_keys& keys, const std::uint8_t digest[32], BIGNUM* k) {
    static constexpr char label[] = "qpk level-1 nonce";
    std::uint8_t hashed[64];
    unsigned int length = 0;
    std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), label, sizeof label - 1) != 1 ||
        EVP_DigestUpdate(ctx.get(), keys.curve25519_private, sizeof keys.curve25519_private) != 1 ||
        EVP_DigestUpdate(ctx.get(), keys.eddsa_seed, sizeof keys.eddsa_seed) != 1 ||
        EVP_DigestUpdate(ctx.get(), digest, 32) != 1 || EVP_DigestFinal_ex(ctx.get(), hashed, &length) != 1 ||
        length != sizeof hashed)
        return false;
    bignum wide = bn_from_le(hashed, sizeof hashed);
    OPENSSL_cleanse(hashed, sizeof hashed);
    return wide && BN_nnmod(k, wide.get(), c.order(), c.ctx()) == 1 && !BN_is_zero(k);
}

}  // namespace

bool public_keys_of(const private_keys& keys, verify::public_keys& out) {
    curve c;
    bignum a = new_bn(), u = new_bn();
    if (!a || !u || !c.init()) return false;
    if (!normalized_scalar(c, keys.curve25519_private, a.get(), u.get())) return false;
    if (!bn_to_le(u.get(), out.curve25519_public)) return false;
    if (!eddsa_public_of(keys.eddsa_seed, out.eddsa_public)) return false;
    std::memcpy(out.table, keys.table, sizeof out.table);
    return true;
}

bool sign_digest(const private_keys& keys, const std::uint8_t digest[32], int level,
                 std::vector<std::uint8_t>& signature, const std::uint8_t* nonce) {
    if (level != 1 && level != 2) return false;
    curve c;
    bignum a = new_bn(), u = new_bn(), k = new_bn(), ru = new_bn(), rv = new_bn(), s = new_bn(), inv = new_bn();
    if (!a || !u || !k || !ru || !rv || !s || !inv || !c.init()) return false;
    if (!normalized_scalar(c, keys.curve25519_private, a.get(), u.get())) return false;

    if (nonce != nullptr) {
        bignum given = bn_from_le(nonce, 32);
        if (!given || BN_nnmod(k.get(), given.get(), c.order(), c.ctx()) != 1) return false;
    } else if (!derived_nonce(c, keys, digest, k.get())) {
        return false;
    }

    // r = the first 16 bytes of sign_hash(x(k B)).
    if (!c.multiply(k.get(), ru.get(), rv.get())) return false;
    std::uint8_t x[32], h[32];
    if (!bn_to_le(ru.get(), x)) return false;
    verify::sign_hash(h, x, sizeof x, keys.table);
    std::uint8_t r[16];
    std::memcpy(r, h, sizeof r);

    // s = (k + e) / a mod l, so that s P - e B = k B.
    std::uint8_t e_bytes[32];
    verify::derive_e(e_bytes, digest, r, keys.table);
    bignum e = bn_from_le(e_bytes, 32);
    if (!e) return false;
    if (BN_mod_add(s.get(), k.get(), e.get(), c.order(), c.ctx()) != 1) return false;
    if (!BN_mod_inverse(inv.get(), a.get(), c.order(), c.ctx())) return false;
    if (BN_mod_mul(s.get(), s.get(), inv.get(), c.order(), c.ctx()) != 1) return false;

    std::vector<std::uint8_t> out(level == 2 ? verify::full_signature_size : verify::curve25519_signature_size, 0);
    std::memcpy(out.data() + 20, r, sizeof r);
    if (!bn_to_le(s.get(), out.data() + 36)) return false;
    if (level == 2 && !eddsa_sign(keys.eddsa_seed, digest, 32, out.data() + verify::curve25519_signature_size)) {
        return false;
    }

    // Nothing leaves here that the installer would refuse.
    verify::public_keys pub;
    if (!public_keys_of(keys, pub)) return false;
    if (!verify::curve25519_check(digest, out.data() + 20, out.data() + 36, pub)) return false;
    if (verify::signature_level(digest, out.data(), out.size(), pub) != level) return false;

    signature = std::move(out);
    return true;
}

bool random_table(std::uint32_t table[verify::sign_hash_table_words]) {
    std::uint8_t bytes[4 * verify::sign_hash_table_words];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    for (std::size_t i = 0; i < verify::sign_hash_table_words; ++i) {
        table[i] = std::uint32_t{bytes[4 * i]} << 24 | std::uint32_t{bytes[4 * i + 1]} << 16 |
                   std::uint32_t{bytes[4 * i + 2]} << 8 | std::uint32_t{bytes[4 * i + 3]};
    }
    return true;
}

bool generate_private_keys(const std::uint32_t table[verify::sign_hash_table_words], private_keys& out) {
    curve c;
    bignum a = new_bn(), u = new_bn();
    if (!a || !u || !c.init()) return false;
    if (RAND_priv_bytes(out.eddsa_seed, sizeof out.eddsa_seed) != 1) return false;
    do {
        if (BN_priv_rand_range(a.get(), c.order()) != 1) return false;
    } while (BN_is_zero(a.get()));
    std::uint8_t raw[32];
    if (!bn_to_le(a.get(), raw)) return false;
    if (!normalized_scalar(c, raw, a.get(), u.get())) return false;
    if (!bn_to_le(a.get(), out.curve25519_private)) return false;
    std::memcpy(out.table, table, sizeof out.table);
    return true;
}

}  // namespace signing
