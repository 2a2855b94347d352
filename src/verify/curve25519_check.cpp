#include "verify/curve25519_check.h"

namespace verify {
namespace {

// -2 v_B, v_B being the v-coordinate of the base point (u = 9).
constexpr std::uint8_t minus_two_vb_bytes[32] = {
    0x3b, 0x58, 0x62, 0x02, 0xbb, 0x74, 0x2c, 0xac, 0x9b, 0x3c, 0x07, 0x25, 0x03, 0x65, 0x85, 0xdb,
    0x66, 0x5d, 0x6e, 0x11, 0xa7, 0x45, 0xc2, 0x3f, 0x96, 0xf2, 0xbe, 0x8e, 0xbc, 0xcc, 0xa3, 0x3e};
// v_B^2 = 9^3 + 486662 * 9^2 + 9.
constexpr std::int32_t base_w = 39420360;
constexpr std::int32_t curve_a = 486662;

struct projective {
    field_element X;
    field_element Z;
};

int bit(const std::uint8_t n[32], int k) {
    if (k < 0 || k > 255) return 0;
    return (n[k >> 3] >> (k & 7)) & 1;
}

void double_point(projective& out, const projective& p) {
    field_element sum, diff, sum2, diff2, four_xz, t;
    fe_add(sum, p.X, p.Z);
    fe_sub(diff, p.X, p.Z);
    fe_sq(sum2, sum);
    fe_sq(diff2, diff);
    fe_sub(four_xz, sum2, diff2);
    fe_mul(out.X, sum2, diff2);
    fe_mul_small(t, four_xz, 121665);
    fe_add(t, t, sum2);
    fe_mul(out.Z, four_xz, t);
}

// p + q, given the affine x-coordinate u of p - q.
void add_points(projective& out, const projective& p, const projective& q, const field_element& u) {
    field_element a, b, c, d, da, cb, t;
    fe_sub(a, p.X, p.Z);
    fe_add(b, q.X, q.Z);
    fe_add(c, p.X, p.Z);
    fe_sub(d, q.X, q.Z);
    fe_mul(da, a, b);
    fe_mul(cb, c, d);
    fe_add(t, da, cb);
    fe_sq(out.X, t);
    fe_sub(t, da, cb);
    fe_sq(t, t);
    fe_mul(out.Z, u, t);
}

}  // namespace

bool lift_public_key(lifted_key& key, const std::uint8_t x_bytes[32]) {
    field_element x2, t, two_w, b, i, one, y2;
    fe_decode(key.x, x_bytes);
    fe_sq(x2, key.x);
    fe_mul(key.w, x2, key.x);
    fe_mul_small(t, x2, curve_a);
    fe_add(key.w, key.w, t);
    fe_add(key.w, key.w, key.x);
    fe_mul_small(key.w, key.w, 1);

    // Atkin's square root, p = 5 (mod 8).
    fe_add(two_w, key.w, key.w);
    fe_pow22523(b, two_w);
    fe_sq(t, b);
    fe_mul(i, two_w, t);
    fe_set(one, 1);
    fe_sub(i, i, one);
    fe_mul(t, key.w, b);
    fe_mul(key.y, t, i);

    // A key whose w is not a square has no point; its signatures are
    // meaningless rather than merely wrong, so the key is refused.
    fe_sq(y2, key.y);
    if (!fe_equal(y2, key.w)) return false;

    field_element nine;
    fe_set(nine, 9);
    if (fe_equal(key.x, nine)) return false;

    if (fe_is_odd(key.y)) {
        field_element zero;
        fe_set(zero, 0);
        fe_sub(key.y, zero, key.y);
    }
    fe_reduce(key.y);
    return true;
}

void derive_e(std::uint8_t e[32], const std::uint8_t digest[32], const std::uint8_t r[16],
              const std::uint32_t table[sign_hash_table_words]) {
    sign_hash(e, digest, 20, table);
    for (int i = 0; i < 16; ++i) e[8 + i] ^= r[i];
    e[0] &= 0xF8;
    e[31] = static_cast<std::uint8_t>((e[31] & 0x7F) | 0x40);
}

void joint_ladder(std::uint8_t out[32], const std::uint8_t s[32], const std::uint8_t e[32],
                  const lifted_key& key) {
    field_element nine, one, t;
    fe_set(nine, 9);
    fe_set(one, 1);

    // The differences x(P + G) and x(P - G), G = -B, by the chord through
    // P and G: ((y -+ v_B)/(x - 9))^2 - 486662 - x - 9, with (y -+ v_B)^2
    // expanded to w + w_B -+ 2 v_B y so that only one inverse is needed.
    field_element inv, minus_two_vb, m, sum_w, n1, n2, rest, d1, d2;
    fe_sub(t, key.x, nine);
    fe_sq(t, t);
    fe_invert(inv, t);
    fe_decode(minus_two_vb, minus_two_vb_bytes);
    fe_mul(m, minus_two_vb, key.y);
    fe_set(t, base_w);
    fe_add(sum_w, key.w, t);
    fe_sub(n1, sum_w, m);
    fe_add(n2, sum_w, m);
    fe_mul(n1, n1, inv);
    fe_mul(n2, n2, inv);
    fe_set(rest, curve_a + 9);
    fe_add(rest, rest, key.x);
    fe_sub(d1, n1, rest);
    fe_sub(d2, n2, rest);
    fe_mul_small(d1, d1, 1);
    fe_mul_small(d2, d2, 1);

    // Recoding: t_k for k = 0..256.
    std::uint8_t tk[257];
    int previous = 0;
    for (int k = 0; k <= 256; ++k) {
        const int g = bit(s, k) ^ bit(s, k - 1);
        const int h = bit(e, k) ^ bit(e, k - 1);
        previous = g ^ (previous & ((g ^ h) ^ 1));
        tk[k] = static_cast<std::uint8_t>(previous);
    }

    projective r[3];
    fe_set(r[0].X, 1);
    fe_set(r[0].Z, 0);
    if (tk[256]) {
        r[1].X = key.x;
    } else {
        r[1].X = nine;
    }
    fe_set(r[1].Z, 1);
    r[2].X = d1;
    fe_set(r[2].Z, 1);

    for (int k = 255; k >= 0; --k) {
        const int d = (bit(s, k) ^ bit(s, k + 1)) + (bit(e, k) ^ bit(e, k + 1));
        const int j = tk[k] == tk[k + 1] ? 0 : 2;
        projective next[3];
        double_point(next[0], r[d]);
        add_points(next[1], r[1], r[j], tk[k] ? key.x : nine);
        add_points(next[2], r[2], r[0], bit(s, k + 1) == bit(e, k + 1) ? d1 : d2);
        r[0] = next[0];
        r[1] = next[1];
        r[2] = next[2];
    }

    const projective& result = r[bit(s, 0) + bit(e, 0)];
    fe_invert(t, result.Z);
    fe_mul(t, result.X, t);
    fe_encode(out, t);
}

bool curve25519_check(const std::uint8_t digest[32], const std::uint8_t r[16],
                      const std::uint8_t s[32], const public_keys& keys) {
    lifted_key key;
    if (!lift_public_key(key, keys.curve25519_public)) return false;

    std::uint8_t e[32];
    derive_e(e, digest, r, keys.table);
    std::uint8_t x[32];
    joint_ladder(x, s, e, key);
    std::uint8_t c[32];
    sign_hash(c, x, sizeof x, keys.table);

    std::uint8_t differ = 0;
    for (int i = 0; i < 16; ++i) differ |= c[i] ^ r[i];
    return differ == 0;
}

}  // namespace verify
