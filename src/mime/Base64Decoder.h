#pragma once
// Base64 content transfer decoding in steps, as fast as a table allows and as
// lenient as GMime: bytes outside the alphabet (line breaks, spaces, garbage)
// are passed over, the first '=' ends the data and nothing after it counts.
// Unlike GMime, two or three characters left at the end without their '='
// still give their one or two bytes instead of being dropped.
#include <cstddef>
#include <cstdint>

namespace mime {

class Base64Decoder {
public:
    struct Step {
        size_t used = 0;      // input bytes consumed
        size_t produced = 0;  // output bytes written
    };
    // Decodes from `in` into `out` until the input is used up, `out` has no
    // room for the next group's bytes, or the data ended.
    Step Decode(const uint8_t* in, size_t size, uint8_t* out, size_t room);
    // The bytes of a group cut short by the end of the input (at most 2).
    size_t Finish(uint8_t* out, size_t room);
    // A '=' was read: what follows is not data.
    bool Ended() const { return ended_; }

private:
    uint32_t bits_ = 0;
    int count_ = 0;  // characters of the current group of four
    bool ended_ = false;
};

}  // namespace mime
