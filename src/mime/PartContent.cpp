#include "mime/PartContent.h"

#include <gmime/gmime.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "mime/Base64Decoder.h"

namespace mime {
namespace {

// A few hundred reads for a large attachment instead of one per 4 KB.
constexpr size_t kReadSize = size_t(256) << 10;

using StreamPtr = std::shared_ptr<GMimeStream>;

StreamPtr Adopt(GMimeStream* s) {
    return StreamPtr(s, [](GMimeStream* p) { g_object_unref(p); });
}

// Up to `capacity` bytes from `s`; fewer only at its end. A read that fails
// before the end throws.
size_t ReadFull(GMimeStream* s, uint8_t* out, size_t capacity) {
    size_t got = 0;
    while (got < capacity) {
        const ssize_t n = g_mime_stream_read(s, reinterpret_cast<char*>(out) + got, capacity - got);
        if (n > 0) {
            got += size_t(n);
            continue;
        }
        if (n < 0 && !g_mime_stream_eos(s))
            throw std::runtime_error(std::string("cannot read an attachment's content: ") + std::strerror(errno));
        break;
    }
    return got;
}

class Base64Content {
public:
    explicit Base64Content(StreamPtr raw) : raw_(std::move(raw)), buffer_(new uint8_t[kReadSize]) {}

    size_t Read(uint8_t* out, size_t capacity) {
        if (capacity < 3) throw std::invalid_argument("a base64 attachment is read 3 bytes at a time at least");
        size_t got = 0;
        while (got < capacity && !decoder_.Ended()) {
            if (pos_ == size_ && !end_) {
                size_ = ReadFull(raw_.get(), buffer_.get(), kReadSize);
                pos_ = 0;
                end_ = size_ < kReadSize;
            }
            if (pos_ == size_) {
                if (capacity - got < 2) break;  // the last bytes on the next call
                got += decoder_.Finish(out + got, capacity - got);
                break;
            }
            const auto step = decoder_.Decode(buffer_.get() + pos_, size_ - pos_, out + got, capacity - got);
            pos_ += step.used;
            got += step.produced;
            if (step.used == 0 && step.produced == 0) break;  // no room for the next group
        }
        return got;
    }

private:
    StreamPtr raw_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t pos_ = 0, size_ = 0;
    bool end_ = false;
    Base64Decoder decoder_;
};

}  // namespace

store::DataSource DecodedContent(GMimePart* part) {
    GMimeDataWrapper* dw = g_mime_part_get_content(part);
    if (!dw) return {};
    GMimeStream* src = g_mime_data_wrapper_get_stream(dw);
    if (!src) return {};
    g_mime_stream_reset(src);
    g_object_ref(src);
    StreamPtr raw = Adopt(src);
    const GMimeContentEncoding enc = g_mime_data_wrapper_get_encoding(dw);
    if (enc == GMIME_CONTENT_ENCODING_BASE64) {
        auto content = std::make_shared<Base64Content>(std::move(raw));
        return [content](uint8_t* out, size_t capacity) { return content->Read(out, capacity); };
    }
    if (enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE || enc == GMIME_CONTENT_ENCODING_UUENCODE) {
        StreamPtr filtered = Adopt(g_mime_stream_filter_new(raw.get()));
        GMimeFilter* f = g_mime_filter_basic_new(enc, FALSE);
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), f);
        g_object_unref(f);
        raw = std::move(filtered);
    }
    return [raw](uint8_t* out, size_t capacity) { return ReadFull(raw.get(), out, capacity); };
}

}  // namespace mime
