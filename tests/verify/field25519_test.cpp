#include "verify/field25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <functional>
#include <memory>
#include <random>

#include "verify/curve25519_check.h"
#include "verify/vectors.h"

using namespace verify;
using test_vectors::from_hex;
using test_vectors::to_hex;

namespace {

using big = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
big make_big() { return big(BN_new(), BN_free); }

// The reference: OpenSSL's big numbers modulo p, as 32 little-endian bytes.
struct reference {
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx{BN_CTX_new(), BN_CTX_free};
    big p = make_big();
    reference() { BN_set_bit(p.get(), 255), BN_sub_word(p.get(), 19); }
    big from(const std::vector<std::uint8_t>& le) const {
        big v(BN_lebin2bn(le.data(), static_cast<int>(le.size()), nullptr), BN_free);
        BN_nnmod(v.get(), v.get(), p.get(), ctx.get());
        return v;
    }
    static std::string hex(const BIGNUM* v) {
        std::uint8_t bytes[32];
        BN_bn2lebinpad(v, bytes, 32);
        return to_hex(bytes, 32);
    }
};

std::string encoded(const field_element& f) {
    std::uint8_t out[32];
    fe_encode(out, f);
    return to_hex(out, 32);
}

field_element decoded(const std::vector<std::uint8_t>& le) {
    field_element f;
    fe_decode(f, le.data());
    return f;
}

// 0, 1, p - 1, p, p + 1, 2^255 - 1, 2^255, 2^256 - 1, limbs at their tops, then random values.
std::vector<std::vector<std::uint8_t>> values(int random_count) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const char* hex : {"00", "01", "ec", "ed", "ee", "ff"}) {
        out.push_back(from_hex(std::string(hex) + std::string(62, hex[0] == '0' ? '0' : 'f')));
        if (hex[0] != '0') out.back()[31] = 0x7f;
    }
    out.push_back(from_hex(std::string(62, '0') + "80"));
    out.push_back(std::vector<std::uint8_t>(32, 0xff));
    out.push_back(from_hex("ffffff03" + std::string(54, '0') + "c0"));
    std::mt19937_64 rng(25519);
    for (int i = 0; i < random_count; ++i) {
        out.emplace_back(32);
        for (auto& b : out.back()) b = static_cast<std::uint8_t>(rng());
    }
    return out;
}

}  // namespace

// Every operation, on values at and around p and at random, against big
// numbers; sums and differences are fed to the products uncarried.
TEST(Field25519Test, OperationsAgreeWithBigNumbers) {
    const reference ref;
    BN_CTX* ctx = ref.ctx.get();
    const BIGNUM* p = ref.p.get();
    big r = make_big(), t = make_big(), exponent = make_big();
    BN_sub(exponent.get(), p, BN_value_one()), BN_rshift(exponent.get(), exponent.get(), 3);  // (p - 5) / 8
    const auto all = values(60);
    for (std::size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(to_hex(all[i]));
        const auto& vb = all[(i * 7 + 3) % all.size()];
        const field_element a = decoded(all[i]), b = decoded(vb);
        big A = ref.from(all[i]), B = ref.from(vb);
        field_element h, s, d;
        fe_add(s, a, b);
        fe_sub(d, a, b);
        EXPECT_EQ(encoded(a), reference::hex(A.get()));
        const struct {
            const char* what;
            std::function<void(field_element&)> ours;
            std::function<void(BIGNUM*)> theirs;
        } ops[] = {
            {"mul", [&](auto& h) { fe_mul(h, a, b); }, [&](BIGNUM* r) { BN_mod_mul(r, A.get(), B.get(), p, ctx); }},
            {"sq", [&](auto& h) { fe_sq(h, a); }, [&](BIGNUM* r) { BN_mod_sqr(r, A.get(), p, ctx); }},
            {"(a+b)(a-b)", [&](auto& h) { fe_mul(h, s, d); },
             [&](BIGNUM* r) {
                 BN_mod_sqr(r, A.get(), p, ctx), BN_mod_sqr(t.get(), B.get(), p, ctx);
                 BN_mod_sub(r, r, t.get(), p, ctx);
             }},
            {"(a-b)^2", [&](auto& h) { fe_sq(h, d); },
             [&](BIGNUM* r) { BN_mod_sub(r, A.get(), B.get(), p, ctx), BN_mod_sqr(r, r, p, ctx); }},
            {"121665 (a+b)", [&](auto& h) { fe_mul_small(h, s, 121665); },
             [&](BIGNUM* r) { BN_mod_add(r, A.get(), B.get(), p, ctx), BN_mul_word(r, 121665), BN_nnmod(r, r, p, ctx); }},
            {"invert", [&](auto& h) { fe_invert(h, a); },
             [&](BIGNUM* r) { BN_is_zero(A.get()) ? BN_zero(r) : (void)BN_mod_inverse(r, A.get(), p, ctx); }},
            {"pow22523", [&](auto& h) { fe_pow22523(h, a); },
             [&](BIGNUM* r) { BN_mod_exp(r, A.get(), exponent.get(), p, ctx); }},
        };
        for (const auto& op : ops) {
            op.ours(h);
            op.theirs(r.get());
            EXPECT_EQ(encoded(h), reference::hex(r.get())) << op.what;
        }
        EXPECT_EQ(fe_is_zero(a), BN_is_zero(A.get()) == 1);
        BN_mod_sub(r.get(), A.get(), B.get(), p, ctx);
        EXPECT_EQ(fe_is_odd(d), BN_is_odd(r.get()) == 1);
        EXPECT_EQ(fe_equal(s, d), fe_is_zero(b));
    }
}

// The at-least-p test on the value as held, limbs each within their width:
// 2^255 - 1, p, p - 1, and a value below p whose limb 0 is at its top.
TEST(Field25519Test, AtLeastPOnTheValueAsHeld) {
    const std::int32_t top26 = (1 << 26) - 1, top25 = (1 << 25) - 1;
    field_element f;
    for (int i = 0; i < 10; ++i) f.limb[i] = (i & 1) ? top25 : top26;
    const struct {
        std::int32_t limb0, limb5;
        bool at_least_p;
        const char* encoded;
    } rows[] = {
        {top26, top25, true, "12"},
        {top26 - 18, top25, true, "00"},
        {top26 - 19, top25, false, "ec"},
        {top26, top25 - 1, false, nullptr},
    };
    for (const auto& r : rows) {
        f.limb[0] = r.limb0, f.limb[5] = r.limb5;
        EXPECT_EQ(fe_at_least_p(f), r.at_least_p) << r.limb0;
        if (r.encoded) { EXPECT_EQ(encoded(f).substr(0, 4), std::string(r.encoded) + (r.at_least_p ? "00" : "ff")); }
    }
}

// The lift finds the square root of w = x^3 + 486662 x^2 + x, keeps the
// even root, and refuses an x without a point, and the base point's x.
TEST(Field25519Test, KeyLiftSquareRoot) {
    const reference ref;
    big w = make_big(), legendre = make_big(), half = make_big();
    BN_rshift1(half.get(), ref.p.get());
    int lifted = 0;
    for (std::uint8_t x = 1; x < 60; ++x) {
        std::vector<std::uint8_t> xb(32, 0);
        xb[0] = x;
        BN_set_word(w.get(), static_cast<BN_ULONG>(x) * x * x + 486662ul * x * x + x);
        BN_mod_exp(legendre.get(), w.get(), half.get(), ref.p.get(), ref.ctx.get());
        lifted_key key;
        const bool ok = lift_public_key(key, xb.data());
        EXPECT_EQ(ok, x != 9 && BN_is_one(legendre.get()) == 1) << int(x);
        if (!ok) continue;
        ++lifted;
        field_element y2;
        fe_sq(y2, key.y);
        EXPECT_EQ(encoded(y2), reference::hex(w.get())) << int(x);
        EXPECT_FALSE(fe_is_odd(key.y)) << int(x);
    }
    EXPECT_GT(lifted, 5);
}
