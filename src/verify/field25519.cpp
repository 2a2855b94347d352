#include "verify/field25519.h"

namespace verify {
namespace {

// Bit offset and width of each limb.
constexpr int limb_offset[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
constexpr int limb_width[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};

// Carries with rounding, so that every limb ends within about half its
// range on either side of zero; the order interleaves two chains so that no
// limb sees a second carry before it has passed its own on. What leaves the
// top limb weighs 2^255 and comes back into limb 0 as 19.
void carry_wide(field_element& out, std::int64_t h[10]) {
    auto carry = [&](int i) {
        const int w = limb_width[i];
        const std::int64_t c = (h[i] + (std::int64_t{1} << (w - 1))) >> w;
        h[i] -= c * (std::int64_t{1} << w);
        if (i == 9) {
            h[0] += c * 19;
        } else {
            h[i + 1] += c;
        }
    };
    carry(0);
    carry(4);
    carry(1);
    carry(5);
    carry(2);
    carry(6);
    carry(3);
    carry(7);
    carry(4);
    carry(8);
    carry(9);
    carry(0);
    for (int i = 0; i < 10; ++i) out.limb[i] = static_cast<std::int32_t>(h[i]);
}

// One pass of carries rounding down: limbs 1 to 9 end within their width and
// not negative; limb 0 takes what the top gave back.
void carry_down(field_element& f) {
    for (int i = 0; i < 9; ++i) {
        const int w = limb_width[i];
        const std::int32_t c = f.limb[i] >> w;
        f.limb[i] -= c * (std::int32_t{1} << w);
        f.limb[i + 1] += c;
    }
    const std::int32_t c = f.limb[9] >> 25;
    f.limb[9] -= c * (std::int32_t{1} << 25);
    f.limb[0] += 19 * c;
}

}  // namespace

void fe_set(field_element& h, std::int32_t n) {
    h.limb[0] = n;
    for (int i = 1; i < 10; ++i) h.limb[i] = 0;
}

void fe_add(field_element& h, const field_element& f, const field_element& g) {
    for (int i = 0; i < 10; ++i) h.limb[i] = f.limb[i] + g.limb[i];
}

void fe_sub(field_element& h, const field_element& f, const field_element& g) {
    for (int i = 0; i < 10; ++i) h.limb[i] = f.limb[i] - g.limb[i];
}

void fe_mul(field_element& h, const field_element& f, const field_element& g) {
    // Limb i times limb j lands at weight 2^(ceil(25.5 i) + ceil(25.5 j)),
    // one bit above limb i + j when both are odd: such products count
    // twice. Weights from 2^255 up fold back with the factor 19.
    std::int64_t g19[10];
    for (int j = 0; j < 10; ++j) g19[j] = std::int64_t{19} * g.limb[j];
    std::int64_t t[10] = {};
    for (int i = 0; i < 10; ++i) {
        const std::int64_t fi = f.limb[i];
        const std::int64_t fi2 = (i & 1) ? 2 * fi : fi;
        for (int j = 0; j < 10 - i; ++j) t[i + j] += ((i & j & 1) ? fi2 : fi) * g.limb[j];
        for (int j = 10 - i; j < 10; ++j) t[i + j - 10] += ((i & j & 1) ? fi2 : fi) * g19[j];
    }
    carry_wide(h, t);
}

void fe_sq(field_element& h, const field_element& f) {
    // As fe_mul with g = f, each cross product taken once and doubled.
    std::int64_t t[10] = {};
    for (int i = 0; i < 10; ++i) {
        const std::int64_t fi = f.limb[i];
        for (int j = i; j < 10; ++j) {
            std::int64_t p = fi * f.limb[j];
            if (i & j & 1) p *= 2;
            if (i != j) p *= 2;
            if (i + j >= 10) {
                t[i + j - 10] += 19 * p;
            } else {
                t[i + j] += p;
            }
        }
    }
    carry_wide(h, t);
}

void fe_mul_small(field_element& h, const field_element& f, std::int32_t n) {
    std::int64_t t[10];
    for (int i = 0; i < 10; ++i) t[i] = std::int64_t{f.limb[i]} * n;
    carry_wide(h, t);
}

namespace {

// The addition chain shared by the inverse and the square-root power: it
// builds z^(2^250 - 1), then ends with `tail` squarings and one multiply
// by z^11 (inverse: 5 squarings, giving z^(2^255 - 21) = z^(p-2)) or by z
// (2 squarings, giving z^(2^252 - 3)).
void pow_chain(field_element& out, const field_element& z, bool inverse) {
    field_element z2, z9, z11, a, b, c;
    fe_sq(z2, z);                              // 2
    fe_sq(a, z2);                              // 4
    fe_sq(a, a);                               // 8
    fe_mul(z9, a, z);                          // 9
    fe_mul(z11, z9, z2);                       // 11
    fe_sq(a, z11);                             // 22
    fe_mul(a, a, z9);                          // 2^5 - 1
    fe_sq(b, a);
    for (int i = 1; i < 5; ++i) fe_sq(b, b);
    fe_mul(a, b, a);                           // 2^10 - 1
    fe_sq(b, a);
    for (int i = 1; i < 10; ++i) fe_sq(b, b);
    fe_mul(b, b, a);                           // 2^20 - 1
    fe_sq(c, b);
    for (int i = 1; i < 20; ++i) fe_sq(c, c);
    fe_mul(b, c, b);                           // 2^40 - 1
    for (int i = 0; i < 10; ++i) fe_sq(b, b);
    fe_mul(a, b, a);                           // 2^50 - 1
    fe_sq(b, a);
    for (int i = 1; i < 50; ++i) fe_sq(b, b);
    fe_mul(b, b, a);                           // 2^100 - 1
    fe_sq(c, b);
    for (int i = 1; i < 100; ++i) fe_sq(c, c);
    fe_mul(b, c, b);                           // 2^200 - 1
    for (int i = 0; i < 50; ++i) fe_sq(b, b);
    fe_mul(a, b, a);                           // 2^250 - 1
    const int tail = inverse ? 5 : 2;
    for (int i = 0; i < tail; ++i) fe_sq(a, a);
    fe_mul(out, a, inverse ? z11 : z);
}

}  // namespace

void fe_invert(field_element& h, const field_element& z) { pow_chain(h, z, true); }

void fe_pow22523(field_element& h, const field_element& z) { pow_chain(h, z, false); }

bool fe_at_least_p(const field_element& h) {
    if (h.limb[0] < (std::int32_t{1} << 26) - 19) return false;
    for (int i = 1; i < 10; ++i) {
        if (h.limb[i] != (std::int32_t{1} << limb_width[i]) - 1) return false;
    }
    return true;
}

void fe_reduce(field_element& h) {
    // After one rounding carry every limb is small; three passes rounding
    // down then leave a value in [0, 2^255) with every limb in its width
    // (the second pass can still borrow across all limbs for a negative
    // value, the third settles what that borrow gave limb 0).
    fe_mul_small(h, h, 1);
    carry_down(h);
    carry_down(h);
    carry_down(h);
    if (fe_at_least_p(h)) {
        // Every limb above 0 is at its maximum: subtracting p clears them.
        h.limb[0] -= (std::int32_t{1} << 26) - 19;
        for (int i = 1; i < 10; ++i) h.limb[i] = 0;
    }
}

void fe_encode(std::uint8_t out[32], const field_element& f) {
    field_element h = f;
    fe_reduce(h);
    for (int k = 0; k < 32; ++k) out[k] = 0;
    for (int i = 0; i < 10; ++i) {
        std::uint64_t v = static_cast<std::uint64_t>(h.limb[i]) << (limb_offset[i] % 8);
        for (int k = limb_offset[i] / 8; v != 0 && k < 32; ++k, v >>= 8) {
            out[k] |= static_cast<std::uint8_t>(v & 0xFF);
        }
    }
}

void fe_decode(field_element& h, const std::uint8_t in[32]) {
    // Limb 9 takes bits 230 to 255, one more than its width; the carry
    // afterwards folds bit 255 back as 19.
    for (int i = 0; i < 10; ++i) {
        const int first = limb_offset[i] / 8;
        std::uint64_t window = 0;
        for (int k = 0; k < 5 && first + k < 32; ++k) {
            window |= std::uint64_t{in[first + k]} << (8 * k);
        }
        const int width = i == 9 ? 26 : limb_width[i];
        window >>= limb_offset[i] % 8;
        h.limb[i] = static_cast<std::int32_t>(window & ((std::uint64_t{1} << width) - 1));
    }
    fe_mul_small(h, h, 1);
}

bool fe_is_zero(const field_element& f) {
    std::uint8_t s[32];
    fe_encode(s, f);
    std::uint8_t any = 0;
    for (std::uint8_t b : s) any |= b;
    return any == 0;
}

bool fe_equal(const field_element& f, const field_element& g) {
    field_element d;
    fe_sub(d, f, g);
    return fe_is_zero(d);
}

bool fe_is_odd(const field_element& f) {
    std::uint8_t s[32];
    fe_encode(s, f);
    return (s[0] & 1) != 0;
}

}  // namespace verify
