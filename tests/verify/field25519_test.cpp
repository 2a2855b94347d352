#include "verify/field25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <functional>
#include <memory>
#include <random>

#include "verify/curve25519_check.h"
#include "verify/vectors.h"

using namespace verify;

namespace {

using big = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
big make_big(const std::vector<std::uint8_t>& le = {}) { return big(BN_lebin2bn(le.data(), static_cast<int>(le.size()), nullptr), BN_free); }
std::string hex(const BIGNUM* v) {
    std::uint8_t bytes[32];
    BN_bn2lebinpad(v, bytes, 32);
    return test_vectors::to_hex(bytes, 32);
}
std::string encoded(const field_element& f) {
    std::uint8_t out[32];
    fe_encode(out, f);
    return test_vectors::to_hex(out, 32);
}

}  // namespace

// Every operation, on values at and around p and at random, against
// OpenSSL's big numbers modulo p; sums and differences enter the products
// uncarried, and negative values as held encode as their residues.
TEST(Field25519Test, OperationsAgreeWithBigNumbers) {
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context(BN_CTX_new(), BN_CTX_free);
    BN_CTX* ctx = context.get();
    big p = make_big(), r = make_big(), t = make_big(), exponent = make_big();
    BN_set_bit(p.get(), 255), BN_sub_word(p.get(), 19);
    BN_rshift(exponent.get(), p.get(), 3);  // (p - 5) / 8
    std::vector<std::vector<std::uint8_t>> values;
    for (const char* edge : {"00", "01", "ec", "ed", "ee", "ff"}) {  // 0, 1, p - 1, p, p + 1, 2^255 - 1
        values.push_back(test_vectors::from_hex(edge + std::string(62, edge[0] == '0' ? '0' : 'f')));
        values.back()[31] &= 0x7f;
    }
    values.push_back(test_vectors::from_hex(std::string(62, '0') + "80"));
    values.push_back(std::vector<std::uint8_t>(32, 0xff));
    values.push_back(test_vectors::from_hex("ffffff03" + std::string(54, '0') + "c0"));
    std::mt19937_64 rng(25519);
    for (int i = 0; i < 60; ++i) values.emplace_back(32), std::generate(values.back().begin(), values.back().end(), rng);
    for (std::size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(test_vectors::to_hex(values[i]));
        field_element a, b, h, s, d;
        fe_decode(a, values[i].data());
        fe_decode(b, values[(i * 7 + 3) % values.size()].data());
        big A = make_big(values[i]), B = make_big(values[(i * 7 + 3) % values.size()]);
        BN_nnmod(A.get(), A.get(), p.get(), ctx), BN_nnmod(B.get(), B.get(), p.get(), ctx);
        fe_add(s, a, b), fe_sub(d, a, b);
        const BIGNUM *x = A.get(), *y = B.get(), *m = p.get();
        const std::pair<std::function<void()>, std::function<void()>> ops[] = {
            {[&] { h = a; }, [&] { BN_copy(r.get(), x); }},
            {[&] { fe_mul(h, a, b); }, [&] { BN_mod_mul(r.get(), x, y, m, ctx); }},
            {[&] { fe_sq(h, a); }, [&] { BN_mod_sqr(r.get(), x, m, ctx); }},
            {[&] { fe_mul(h, s, d); }, [&] { BN_mod_sqr(r.get(), x, m, ctx), BN_mod_sqr(t.get(), y, m, ctx), BN_mod_sub(r.get(), r.get(), t.get(), m, ctx); }},
            {[&] { fe_sq(h, d); }, [&] { BN_mod_sub(r.get(), x, y, m, ctx), BN_mod_sqr(r.get(), r.get(), m, ctx); }},
            {[&] { h = d; }, [&] { BN_mod_sub(r.get(), x, y, m, ctx); }},
            {[&] { fe_mul_small(h, s, 121665); }, [&] { BN_mod_add(r.get(), x, y, m, ctx), BN_mul_word(r.get(), 121665), BN_nnmod(r.get(), r.get(), m, ctx); }},
            {[&] { fe_invert(h, a); }, [&] { BN_is_zero(x) ? BN_zero(r.get()) : (void)BN_mod_inverse(r.get(), x, m, ctx); }},
            {[&] { fe_pow22523(h, a); }, [&] { BN_mod_exp(r.get(), x, exponent.get(), m, ctx); }},
        };
        for (std::size_t op = 0; op < std::size(ops); ++op) {
            ops[op].first(), ops[op].second();
            EXPECT_EQ(encoded(h), hex(r.get())) << "operation " << op;
            EXPECT_EQ(fe_is_odd(h), BN_is_odd(r.get()) == 1) << "operation " << op;
            EXPECT_EQ(fe_is_zero(h), BN_is_zero(r.get()) == 1) << "operation " << op;
        }
        EXPECT_EQ(fe_equal(s, d), BN_is_zero(y) == 1);
    }
}

// The lift finds the even square root of w = x^3 + 486662 x^2 + x, and
// refuses an x without a point and the base point's own x (9).
TEST(Field25519Test, KeyLiftSquareRoot) {
    int lifted = 0;
    for (std::uint8_t x = 1; x < 60; ++x) {
        std::uint8_t xb[32] = {x};
        lifted_key key;
        if (!lift_public_key(key, xb)) continue;
        ++lifted;
        field_element y2, w;
        fe_sq(y2, key.y);
        fe_set(w, x * x * x + 486662 * x * x + x);
        EXPECT_TRUE(fe_equal(y2, w) && !fe_is_odd(key.y) && x != 9) << int(x);
    }
    EXPECT_TRUE(lifted > 5 && lifted < 50);
}
