// Error kinds raised by the module and the host layer.
//
// The host application tells failures apart by kind (its Python side maps
// them to ValueError, IndexError, ZeroDivisionError, ...), so each kind is a
// distinct type. All derive from quorv::Error, the general kind.
#pragma once

#include <stdexcept>
#include <string>

namespace quorv {

/// General kind: a failure that fits none of the narrower kinds.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A value of the right type but not acceptable (bad size, unknown mode, NaN).
class ValueError : public Error {
 public:
  using Error::Error;
};

/// A lookup that found nothing: base of IndexError and KeyError.
class LookupError : public Error {
 public:
  using Error::Error;
};

/// A position outside a list or a tensor axis.
class IndexError : public LookupError {
 public:
  using LookupError::LookupError;
};

/// A missing key or field (a NodeState field never set, a missing reply member).
class KeyError : public LookupError {
 public:
  using LookupError::LookupError;
};

/// A division whose divisor is zero.
class ZeroDivisionError : public Error {
 public:
  using Error::Error;
};

/// A broken internal expectation reported as an assertion.
class AssertionError : public Error {
 public:
  using Error::Error;
};

}  // namespace quorv
