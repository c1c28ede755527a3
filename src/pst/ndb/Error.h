#pragma once
#include <stdexcept>

namespace pst {

// Any failure of the PST library: I/O, limits of the format, misuse.
class PstError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace pst

namespace pst {

// An existing file the library will not add to (another format, damage it
// found); nothing has been written to it.
class PstRefused : public PstError {
public:
    using PstError::PstError;
};

}  // namespace pst
