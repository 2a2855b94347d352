#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <random>

#include "verify/curve25519_check.h"
#include "verify/field25519.h"
#include "verify/vectors.h"

using namespace test_vectors;

using verify::field_element;

namespace {

// Reference arithmetic: OpenSSL's big numbers modulo p.
struct reference {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* p = nullptr;
    reference() { BN_hex2bn(&p, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed"); }
    ~reference() {
        BN_free(p);
        BN_CTX_free(ctx);
    }
    std::string reduce(const std::vector<std::uint8_t>& le) const {
        BIGNUM* v = BN_lebin2bn(le.data(), static_cast<int>(le.size()), nullptr);
        BN_nnmod(v, v, p, ctx);
        const std::string out = hex_of(v);
        BN_free(v);
        return out;
    }
    static std::string hex_of(const BIGNUM* v) {
        std::uint8_t bytes[32];
        BN_bn2lebinpad(v, bytes, 32);
        return to_hex(bytes, 32);
    }
    BIGNUM* from(const std::vector<std::uint8_t>& le) const {
        BIGNUM* v = BN_lebin2bn(le.data(), static_cast<int>(le.size()), nullptr);
        BN_nnmod(v, v, p, ctx);
        return v;
    }
};

std::string encoded(const field_element& f) {
    std::uint8_t out[32];
    verify::fe_encode(out, f);
    return to_hex(out, 32);
}

field_element decoded(const std::vector<std::uint8_t>& le) {
    field_element f;
    verify::fe_decode(f, le.data());
    return f;
}

std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng) {
    std::vector<std::uint8_t> out(32);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

// Bytes near the edges: all ones, all zeros, p and its neighbours.
std::vector<std::vector<std::uint8_t>> edge_values() {
    return {
        from_hex("0000000000000000000000000000000000000000000000000000000000000000"),
        from_hex("0100000000000000000000000000000000000000000000000000000000000000"),
        from_hex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p - 1
        from_hex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p
        from_hex("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p + 1
        from_hex("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // 2^255 - 1
        from_hex("0000000000000000000000000000000000000000000000000000000000000080"),  // 2^255
        from_hex("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"),  // 2^256 - 1
        from_hex("ffffff03000000000000000000000000000000000000000000000000000000c0"),
    };
}

}  // namespace

TEST(Field25519Test, DecodeAndEncodeReduceModuloP) {
    const reference ref;
    const struct {
        const char* in;
        const char* out;
    } known[] = {
        {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p
         "0000000000000000000000000000000000000000000000000000000000000000"},
        {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p + 1
         "0100000000000000000000000000000000000000000000000000000000000000"},
        {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // 2^255 - 1
         "1200000000000000000000000000000000000000000000000000000000000000"},
        {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",  // 2^256 - 1
         "2500000000000000000000000000000000000000000000000000000000000000"},
        {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p - 1 stays
         "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
    };
    for (const auto& k : known) EXPECT_EQ(encoded(decoded(from_hex(k.in))), k.out) << k.in;

    std::mt19937_64 rng(25519);
    auto values = edge_values();
    for (int i = 0; i < 200; ++i) values.push_back(random_bytes(rng));
    for (const auto& v : values) EXPECT_EQ(encoded(decoded(v)), ref.reduce(v)) << to_hex(v);
}

TEST(Field25519Test, AtLeastPOnTheValueAsHeld) {
    // p, p + 5 and 2^255 - 1 held in limbs that are each within their width.
    field_element f;
    const std::int32_t top26 = (1 << 26) - 1, top25 = (1 << 25) - 1;
    for (int i = 0; i < 10; ++i) f.limb[i] = (i & 1) ? top25 : top26;
    EXPECT_TRUE(verify::fe_at_least_p(f));  // 2^255 - 1
    EXPECT_EQ(encoded(f), "1200000000000000000000000000000000000000000000000000000000000000");
    f.limb[0] = top26 - 18;  // p
    EXPECT_TRUE(verify::fe_at_least_p(f));
    EXPECT_EQ(encoded(f), "0000000000000000000000000000000000000000000000000000000000000000");
    f.limb[0] = top26 - 19;  // p - 1
    EXPECT_FALSE(verify::fe_at_least_p(f));
    EXPECT_EQ(encoded(f), "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
    f.limb[0] = top26;
    f.limb[5] = top25 - 1;  // below p although limb 0 is at its top
    EXPECT_FALSE(verify::fe_at_least_p(f));

    // Negative values as held encode as their residue.
    field_element zero, one, minus_one;
    verify::fe_set(zero, 0);
    verify::fe_set(one, 1);
    verify::fe_sub(minus_one, zero, one);
    EXPECT_EQ(encoded(minus_one), "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
    field_element minus_p = decoded(edge_values()[5]);  // 18 as held
    for (auto& l : minus_p.limb) l = -l;
    EXPECT_EQ(encoded(minus_p), "dbffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");  // -18
}

TEST(Field25519Test, OperationsAgreeWithBigNumbers) {
    const reference ref;
    std::mt19937_64 rng(9);
    auto values = edge_values();
    for (int i = 0; i < 60; ++i) values.push_back(random_bytes(rng));
    BIGNUM* r = BN_new();
    BIGNUM* exponent = BN_new();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto& va = values[i];
        const auto& vb = values[(i * 7 + 3) % values.size()];
        const field_element a = decoded(va), b = decoded(vb);
        BIGNUM* A = ref.from(va);
        BIGNUM* B = ref.from(vb);
        field_element h, s, d;

        verify::fe_mul(h, a, b);
        BN_mod_mul(r, A, B, ref.p, ref.ctx);
        EXPECT_EQ(encoded(h), reference::hex_of(r)) << "mul " << i;

        verify::fe_sq(h, a);
        BN_mod_sqr(r, A, ref.p, ref.ctx);
        EXPECT_EQ(encoded(h), reference::hex_of(r)) << "sq " << i;

        // Uncarried sums and differences feed the products directly.
        verify::fe_add(s, a, b);
        verify::fe_sub(d, a, b);
        verify::fe_mul(h, s, d);
        BN_mod_sqr(r, A, ref.p, ref.ctx);
        BIGNUM* b2 = BN_new();
        BN_mod_sqr(b2, B, ref.p, ref.ctx);
        BN_mod_sub(r, r, b2, ref.p, ref.ctx);
        BN_free(b2);
        EXPECT_EQ(encoded(h), reference::hex_of(r)) << "(a+b)(a-b) " << i;
        verify::fe_sq(h, d);
        BN_mod_sub(r, A, B, ref.p, ref.ctx);
        BN_mod_sqr(r, r, ref.p, ref.ctx);
        EXPECT_EQ(encoded(h), reference::hex_of(r)) << "(a-b)^2 " << i;

        for (std::int32_t n : {1, 121665, 486662}) {
            verify::fe_mul_small(h, s, n);
            BN_mod_add(r, A, B, ref.p, ref.ctx);
            BN_mul_word(r, static_cast<BN_ULONG>(n));
            BN_nnmod(r, r, ref.p, ref.ctx);
            EXPECT_EQ(encoded(h), reference::hex_of(r)) << "mul_small " << n << " " << i;
        }

        verify::fe_invert(h, a);
        if (BN_is_zero(A)) {
            EXPECT_EQ(encoded(h), reference::hex_of(A)) << "inverse of 0";
        } else {
            BN_mod_inverse(r, A, ref.p, ref.ctx);
            EXPECT_EQ(encoded(h), reference::hex_of(r)) << "invert " << i;
        }

        // (p - 5) / 8 = 2^252 - 3
        BN_hex2bn(&exponent, "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd");
        verify::fe_pow22523(h, a);
        BN_mod_exp(r, A, exponent, ref.p, ref.ctx);
        EXPECT_EQ(encoded(h), reference::hex_of(r)) << "pow22523 " << i;

        BN_free(A);
        BN_free(B);
    }
    BN_free(r);
    BN_free(exponent);
}

TEST(Field25519Test, KnownInverseAndOddness) {
    field_element two, h;
    verify::fe_set(two, 2);
    verify::fe_invert(h, two);  // (p + 1) / 2
    EXPECT_EQ(encoded(h), "f7ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff3f");
    EXPECT_TRUE(verify::fe_is_odd(h));
    verify::fe_mul(h, h, two);
    field_element one;
    verify::fe_set(one, 1);
    EXPECT_TRUE(verify::fe_equal(h, one));
    // p - 1 is even as a residue although -1 is odd as held.
    field_element zero, minus_one;
    verify::fe_set(zero, 0);
    verify::fe_sub(minus_one, zero, one);
    EXPECT_FALSE(verify::fe_is_odd(minus_one));
    EXPECT_TRUE(verify::fe_is_zero(decoded(edge_values()[3])));
}

// The lift finds the square root of w = x^3 + 486662 x^2 + x by Atkin's
// method, keeps the even root, and refuses x-coordinates without a point.
TEST(Field25519Test, KeyLiftSquareRoot) {
    const reference ref;
    BIGNUM* w = BN_new();
    BIGNUM* legendre = BN_new();
    BIGNUM* half = BN_new();
    BN_rshift1(half, ref.p);  // (p - 1) / 2
    int lifted = 0, refused = 0;
    for (std::uint8_t x = 1; x < 60; ++x) {
        if (x == 9) continue;
        std::vector<std::uint8_t> xb(32, 0);
        xb[0] = x;
        BN_set_word(w, static_cast<BN_ULONG>(x) * x * x + 486662ul * x * x + x);
        BN_mod_exp(legendre, w, half, ref.p, ref.ctx);
        verify::lifted_key key;
        const bool ok = verify::lift_public_key(key, xb.data());
        EXPECT_EQ(ok, BN_is_one(legendre) == 1) << int(x);
        if (!ok) {
            ++refused;
            continue;
        }
        ++lifted;
        field_element y2;
        verify::fe_sq(y2, key.y);
        EXPECT_EQ(encoded(y2), reference::hex_of(w)) << int(x);
        EXPECT_FALSE(verify::fe_is_odd(key.y)) << int(x);
    }
    EXPECT_GT(lifted, 5);
    EXPECT_GT(refused, 5);
    BN_free(w);
    BN_free(legendre);
    BN_free(half);

    // The base point's own x-coordinate cannot serve as a key.
    std::vector<std::uint8_t> nine(32, 0);
    nine[0] = 9;
    verify::lifted_key key;
    EXPECT_FALSE(verify::lift_public_key(key, nine.data()));
}
