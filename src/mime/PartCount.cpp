#include "mime/PartCount.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace mime {

namespace {

constexpr size_t kChunk = size_t(1) << 20;
constexpr size_t kMaxToken = 200;      // RFC 2046 allows 70; longer lines are no delimiters
constexpr size_t kMaxTokens = 4096;    // distinct "--" lines tracked; more are passed over
constexpr size_t kOverlap = kMaxToken + 64;  // a declaration split across two reads

// A message file (fd) or a message in memory (fd < 0).
struct Source {
    int fd = -1;
    std::string_view bytes;
};

// Reads up to `want` bytes at `at`; fewer only at the end of the file or on an error.
size_t ReadAt(const Source& source, char* buf, size_t want, uint64_t at) {
    if (source.fd < 0) {
        if (at >= source.bytes.size()) return 0;
        const size_t n = std::min<uint64_t>(want, source.bytes.size() - at);
        std::memcpy(buf, source.bytes.data() + at, n);
        return n;
    }
    const int fd = source.fd;
    size_t got = 0;
    while (got < want) {
        ssize_t n = pread(fd, buf + got, want - got, off_t(at + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    return got;
}

// A "--" line's boundary: the rest of the line without the transport padding;
// empty for a closing delimiter or a line that cannot be one.
std::string TokenOf(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "--") == 0) return {};
    return line;
}

// How often each "--" line occurs, from the start of every line.
std::unordered_map<std::string, size_t> DelimiterLines(const Source& fd, uint64_t start, uint64_t size) {
    std::unordered_map<std::string, size_t> counts;
    enum { kLineStart, kOneDash, kToken, kSkip } state = kLineStart;
    std::string token;
    bool tooLong = false;
    auto finish = [&] {
        if (!tooLong) {
            std::string t = TokenOf(std::move(token));
            if (!t.empty()) {
                auto it = counts.find(t);
                if (it != counts.end()) ++it->second;
                else if (counts.size() < kMaxTokens) counts.emplace(std::move(t), 1);
            }
        }
        token.clear();
        tooLong = false;
    };
    std::vector<char> buf(kChunk);
    for (uint64_t at = start; at < size;) {
        const size_t got = ReadAt(fd, buf.data(), size_t(std::min<uint64_t>(kChunk, size - at)), at);
        if (got == 0) break;
        at += got;
        const char* p = buf.data();
        const char* end = p + got;
        while (p < end) {
            if (state == kSkip || state == kToken) {
                const char* nl = static_cast<const char*>(memchr(p, '\n', size_t(end - p)));
                const char* stop = nl ? nl : end;
                if (state == kToken) {
                    if (token.size() + size_t(stop - p) > kMaxToken) tooLong = true;
                    else token.append(p, stop);
                }
                if (!nl) break;
                if (state == kToken) finish();
                state = kLineStart;
                p = nl + 1;
                continue;
            }
            const char c = *p++;
            if (c == '\n') state = kLineStart;
            else if (c == '-') state = state == kOneDash ? kToken : kOneDash;
            else state = kSkip;
        }
    }
    if (state == kToken) finish();
    return counts;
}

// The values of every "boundary=" parameter in the file ("Boundary" and
// "BOUNDARY" too), quoted or not.
std::unordered_set<std::string> DeclaredBoundaries(const Source& fd, uint64_t start, uint64_t size) {
    std::unordered_set<std::string> found;
    std::vector<char> buf(kChunk);
    for (uint64_t at = start; at < size && found.size() < kMaxTokens;) {
        const size_t got = ReadAt(fd, buf.data(), size_t(std::min<uint64_t>(kChunk, size - at)), at);
        if (got == 0) break;
        const char* end = buf.data() + got;
        for (const char* word : {"oundary", "OUNDARY"}) {
            const char* p = buf.data();
            while (const char* hit = static_cast<const char*>(memmem(p, size_t(end - p), word, 7))) {
                p = hit + 7;
                const char* q = p;
                while (q < end && (*q == ' ' || *q == '\t')) ++q;
                if (q == end || *q != '=') continue;
                ++q;
                while (q < end && (*q == ' ' || *q == '\t')) ++q;
                const bool quoted = q < end && *q == '"';
                if (quoted) ++q;
                const char* v = q;
                while (q < end && size_t(q - v) <= kMaxToken && *q != '\r' && *q != '\n' &&
                       (quoted ? *q != '"' : (*q != ';' && *q != ' ' && *q != '\t')))
                    ++q;
                if (q > v && size_t(q - v) <= kMaxToken) found.emplace(v, q);
            }
        }
        if (at + got >= size) break;
        at += got > kOverlap ? got - kOverlap : got;
    }
    return found;
}

size_t Count(const Source& fd, uint64_t start, uint64_t size, size_t enough) {
    if (start >= size) return 0;
    // Each part takes a delimiter line of at least four bytes ("--B" and its line end).
    if ((size - start) / 4 <= enough) return size_t((size - start) / 4);
    const auto lines = DelimiterLines(fd, start, size);
    size_t any = 0;
    for (const auto& [token, n] : lines) any += n;
    if (any <= enough) return any;
    // Lines that look like delimiters (a text full of "-----") count only when
    // the message declares them as a boundary.
    const auto declared = DeclaredBoundaries(fd, start, size);
    size_t parts = 0;
    for (const auto& [token, n] : lines)
        if (declared.count(token)) parts += n;
    return parts;
}

}  // namespace

size_t CountMimeParts(int fd, uint64_t start, uint64_t size, size_t enough) {
    return Count(Source{fd, {}}, start, size, enough);
}

size_t CountMimeParts(std::string_view bytes, uint64_t start, size_t enough) {
    return Count(Source{-1, bytes}, start, bytes.size(), enough);
}

}  // namespace mime
