// Integer arithmetic on sizes that never overflows or divides by zero silently.
//
// Sizes and margins come from the host and cannot be trusted; every helper
// here either returns the exact result or throws a quorv error naming `what`.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "host/errors.h"

namespace quorv {

/// a + b, or ValueError when the sum leaves int64.
inline int64_t checked_add(int64_t a, int64_t b, const char* what) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r))
    throw ValueError(std::string(what) + ": " + std::to_string(a) + " + " + std::to_string(b) +
                     " overflows");
  return r;
}

/// a - b, or ValueError when the difference leaves int64.
inline int64_t checked_sub(int64_t a, int64_t b, const char* what) {
  int64_t r;
  if (__builtin_sub_overflow(a, b, &r))
    throw ValueError(std::string(what) + ": " + std::to_string(a) + " - " + std::to_string(b) +
                     " overflows");
  return r;
}

/// a * b, or ValueError when the product leaves int64.
inline int64_t checked_mul(int64_t a, int64_t b, const char* what) {
  int64_t r;
  if (__builtin_mul_overflow(a, b, &r))
    throw ValueError(std::string(what) + ": " + std::to_string(a) + " * " + std::to_string(b) +
                     " overflows");
  return r;
}

/// ceil(a / b) on exact integers (what ceil of a real division gives for
/// integer inputs); ZeroDivisionError when b is 0.
inline int64_t ceil_div(int64_t a, int64_t b, const char* what) {
  if (b == 0) throw ZeroDivisionError(std::string(what) + ": division by zero");
  if (b == -1) return checked_sub(0, a, what);
  int64_t q = a / b;  // truncates toward zero
  if ((a % b != 0) && ((a < 0) == (b < 0))) ++q;
  return q;
}

/// floor(a / b) on exact integers; ZeroDivisionError when b is 0.
inline int64_t floor_div(int64_t a, int64_t b, const char* what) {
  if (b == 0) throw ZeroDivisionError(std::string(what) + ": division by zero");
  if (b == -1) return checked_sub(0, a, what);
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

/// int(v): truncation toward zero; ValueError for NaN, infinities and values
/// outside int64 (converting those is undefined behaviour in C++).
inline int64_t truncate_to_int(double v, const char* what) {
  // 2^63 is exactly representable; every double below it in magnitude fits.
  constexpr double kLimit = 9223372036854775808.0;
  if (!std::isfinite(v) || v >= kLimit || v < -kLimit)
    throw ValueError(std::string(what) + " must be a finite number within the 64-bit range, got " +
                     std::to_string(v));
  return static_cast<int64_t>(v);
}

}  // namespace quorv
