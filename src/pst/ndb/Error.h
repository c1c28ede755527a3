#pragma once
#include <stdexcept>

namespace pst {

// Any failure of the PST library: I/O, limits of the format, misuse.
class PstError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace pst
