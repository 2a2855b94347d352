// Arithmetic modulo p = 2^255 - 19 for the level-1 signature check.
//
// An element is ten signed 32-bit limbs, alternately 26 and 25 bits wide;
// limb i weighs 2^ceil(25.5 i). Sums and differences are left uncarried (the
// limbs have room for a few), products and small multiples are carried back
// into the limb widths. Everything lives in the caller's stack frame.
#pragma once

#include <cstdint>

namespace verify {

struct field_element {
    std::int32_t limb[10];
};

void fe_set(field_element& h, std::int32_t n);
void fe_add(field_element& h, const field_element& f, const field_element& g);
void fe_sub(field_element& h, const field_element& f, const field_element& g);
void fe_mul(field_element& h, const field_element& f, const field_element& g);
void fe_sq(field_element& h, const field_element& f);
// h = n f for a small n (121665, 486662; 1 only carries).
void fe_mul_small(field_element& h, const field_element& f, std::int32_t n);
// h = z^(p-2), the inverse of z (0 for 0).
void fe_invert(field_element& h, const field_element& z);
// h = z^((p-5)/8) = z^(2^252-3), the power behind the square root.
void fe_pow22523(field_element& h, const field_element& z);

// Whether the value as held, with every limb within its width and not
// negative, is at least p.
bool fe_at_least_p(const field_element& h);
// Brings h to its one representation in [0, p).
void fe_reduce(field_element& h);
// The fully reduced value as 32 little-endian bytes.
void fe_encode(std::uint8_t out[32], const field_element& h);
// The 256-bit little-endian number in, taken modulo p.
void fe_decode(field_element& h, const std::uint8_t in[32]);

bool fe_is_zero(const field_element& f);
bool fe_equal(const field_element& f, const field_element& g);
// Whether the fully reduced value is odd.
bool fe_is_odd(const field_element& f);

}  // namespace verify
