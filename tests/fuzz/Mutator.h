#pragma once
// A small deterministic mutator for the parser robustness tests: a fixed seed
// gives the same mutants on every run, so a failure names an input that can be
// rebuilt. Mutations aim at the ways real exports break: cut-off files, flipped
// bytes, lengths that lie, deep nesting, broken escapes and encodings.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "files/Utf.h"

namespace fuzz {

// SplitMix64: tiny, fast and the same everywhere.
class Rng {
public:
    // ORVANDEL_FUZZ_SEED=<n> shifts every test's seed, for other mutants locally.
    explicit Rng(uint64_t seed) : state_(seed) {
        if (const char* env = std::getenv("ORVANDEL_FUZZ_SEED"); env && *env)
            state_ ^= std::strtoull(env, nullptr, 10) * 0x9E3779B97F4A7C15ULL;
    }
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // A value in [0, n); 0 when n is 0.
    size_t Below(size_t n) { return n == 0 ? 0 : size_t(Next() % n); }
    bool OneIn(size_t n) { return Below(n) == 0; }

private:
    uint64_t state_;
};

// How many mutants a test runs: `base` times ORVANDEL_FUZZ_SCALE (default 1),
// so a local run can go much further than CI.
inline size_t Iterations(size_t base) {
    const char* env = std::getenv("ORVANDEL_FUZZ_SCALE");
    double scale = env && *env ? std::atof(env) : 1.0;
    if (scale <= 0) scale = 1.0;
    return std::max<size_t>(1, size_t(double(base) * scale));
}

// Text that is valid UTF-8 (no lone surrogates, nothing above U+10FFFF).
inline bool IsValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t len = 0;
        if (files::DecodeUtf8(s, i, len) < 0) return false;
        i += len;
    }
    return true;
}

// Tokens that break parsers of the formats we read.
inline const std::vector<std::string>& Tokens() {
    static const std::vector<std::string> tokens = {
        // bencode
        "99999999:", "999999999:", "4294967295:", "18446744073709551615:", "0:", "1:", "d", "e", "l", "i",
        "i-e", "ie", "i99999999999999999999e", "d3:inv0d", "dddddddddddddddddddddddddddddddddddddddd",
        "llllllllllllllllllllllllllllllllllllllll", "e:e:e:", "3:at0d1:a", ":::::",
        // JSON and its escapes
        "\"", "\\", "\\u", "\\uD800", "\\uDC00", "\\uD800\\u0041", "\\uDBFF\\uDFFF", "\\uD83D", "\\u00",
        "\\uZZZZ", "\\u0000", "{", "}", "[", "]", "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[", ",", "\"metadata\":\"",
        "\\r\\n", "\\r", "\\n", "\\:", "\\\\",
        // encodings
        std::string("\0", 1), "\xC3", "\xC3\x28", "\xE2\x82", "\xF0\x9F\x98", "\xED\xA0\x80", "\xF4\x90\x80\x80",
        "\xC0\xAF", "\xFF\xFE", "\xEF\xBB\xBF",
        // dates
        "TZID=", "TZID=\"\":", "VALUE=DATE:", "99999999T999999Z", "00000000", "20240229T240000",
        "TZID=../../etc/passwd:20240101T000000", "TZID=Europe/Berlin:20991231T235959",
        // MIME
        "\r\n", "\r", "\n", "\r\n\r\n", "--", "boundary=", "boundary=\"\"", "Content-Type: multipart/mixed; boundary=x\r\n",
        "Content-Type: message/rfc822\r\n\r\n", "Content-Transfer-Encoding: base64\r\n",
        "Content-Transfer-Encoding: quoted-printable\r\n", "=?", "?=", "=?utf-8?B?", "=?utf-8?Q?", "=?x-unknown?B?AAAA?=",
        "=?utf-8?B?####?=", "=?utf-8?Q?=ZZ=?=", "=?ISO-2022-JP?B?GyRC?=", "*0*=", "*1*=", "filename*=", "''%FF%FE%",
        "charset=", "charset=\"x-unknown\"", "=\r\n", "=", "====", "begin 644 x\r\n", "Content-Disposition: attachment; filename=",
        // HTML
        "<", ">", "<!--", "-->", "&", ";", "&#", "&#x", "&#xD800;", "&#0;", "&#99999999999;", "&#x110000;", "<script>",
        "</", "<br>", "<p", "<title>", "&amp",
    };
    return tokens;
}

// One mutation of `in`, chosen by the generator.
inline std::string MutateOnce(const std::string& in, Rng& rng, const std::vector<std::string>* corpus = nullptr) {
    std::string s = in;
    const auto& tokens = Tokens();
    switch (rng.Below(12)) {
    case 0:  // flip a bit
        if (!s.empty()) s[rng.Below(s.size())] ^= char(1u << rng.Below(8));
        break;
    case 1:  // a byte set to a random value
        if (!s.empty()) s[rng.Below(s.size())] = char(rng.Below(256));
        break;
    case 2:  // cut off
        s.resize(rng.Below(s.size() + 1));
        break;
    case 3: {  // drop a span
        if (s.empty()) break;
        size_t at = rng.Below(s.size());
        s.erase(at, 1 + rng.Below(std::min<size_t>(64, s.size() - at)));
        break;
    }
    case 4: {  // duplicate a span
        if (s.empty()) break;
        size_t at = rng.Below(s.size());
        std::string span = s.substr(at, 1 + rng.Below(std::min<size_t>(256, s.size() - at)));
        size_t times = 1 + rng.Below(rng.OneIn(8) ? 200 : 3);
        std::string many;
        for (size_t k = 0; k < times; ++k) many += span;
        s.insert(rng.Below(s.size() + 1), many);
        break;
    }
    case 5:
    case 6: {  // insert a token
        const std::string& t = tokens[rng.Below(tokens.size())];
        s.insert(rng.Below(s.size() + 1), t);
        break;
    }
    case 7: {  // replace a span with a token
        if (s.empty()) break;
        size_t at = rng.Below(s.size());
        s.replace(at, 1 + rng.Below(std::min<size_t>(8, s.size() - at)), tokens[rng.Below(tokens.size())]);
        break;
    }
    case 8: {  // digits made huge: a length or a number that lies
        size_t at = s.find_first_of("0123456789", rng.Below(s.size() + 1));
        if (at == std::string::npos) break;
        s.insert(at, rng.OneIn(2) ? "99999999" : "4294967296");
        break;
    }
    case 9: {  // line ends changed: CR only, LF only, or stray CRs
        std::string out;
        size_t mode = rng.Below(3);
        for (size_t k = 0; k < s.size(); ++k) {
            if (mode == 0 && s[k] == '\n') {
                if (!out.empty() && out.back() == '\r') continue;
                out += '\r';
            } else if (mode == 1 && s[k] == '\r') {
                continue;
            } else {
                out += s[k];
                if (mode == 2 && s[k] == '\n' && rng.OneIn(4)) out += '\r';
            }
        }
        s = std::move(out);
        break;
    }
    case 10: {  // spliced with another input of the corpus
        if (!corpus || corpus->empty()) break;
        const std::string& other = (*corpus)[rng.Below(corpus->size())];
        size_t cut = rng.Below(s.size() + 1);
        size_t from = rng.Below(other.size() + 1);
        s = s.substr(0, cut) + other.substr(from);
        break;
    }
    case 11: {  // a very long run of one byte
        std::string run(1000 + rng.Below(100000), "a \t=-:d<\xC3"[rng.Below(9)]);
        s.insert(rng.Below(s.size() + 1), run);
        break;
    }
    }
    return s;
}

// One to four mutations.
inline std::string Mutate(const std::string& in, Rng& rng, const std::vector<std::string>* corpus = nullptr) {
    std::string s = MutateOnce(in, rng, corpus);
    for (size_t n = rng.Below(4); n > 0; --n) s = MutateOnce(s, rng, corpus);
    return s;
}

// --- Files ---------------------------------------------------------------------------

inline std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteAll(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Every regular file under `root` whose name ends with one of `suffixes`, in
// name order (the order decides the mutants).
inline std::vector<std::filesystem::path> FilesUnder(const std::filesystem::path& root,
                                                     const std::vector<std::string>& suffixes) {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    if (!std::filesystem::exists(root, ec)) return out;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        std::string name = it->path().filename().string();
        for (const auto& suffix : suffixes)
            if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                out.push_back(it->path());
                break;
            }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A private scratch folder, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvandel-fuzz-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        path_ = mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The real, truncated export extracted into `dest` (tar stops at the cut; what
// came before it is kept).
inline void ExtractTruncatedExport(const std::string& tgz, const std::string& dest) {
    std::string cmd = "tar xzf '" + tgz + "' -C '" + dest + "' >/dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    (void)rc;  // the archive is cut off: tar always complains
}

// Keeps a failing input whole: with ORVANDEL_FUZZ_DUMP=<folder> set, the bytes
// go to <folder>/<name>, for a regression test to start from.
inline void DumpInput(const std::string& name, const std::string& bytes) {
    const char* dir = std::getenv("ORVANDEL_FUZZ_DUMP");
    if (!dir || !*dir) return;
    WriteAll(std::filesystem::path(dir) / name, bytes);
}

// A printable form of a failing input for the test log (bytes escaped, cut).
inline std::string Printable(const std::string& s, size_t max = 400) {
    std::string out;
    for (size_t k = 0; k < s.size() && k < max; ++k) {
        auto c = uint8_t(s[k]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    if (s.size() > max) out += "...(" + std::to_string(s.size()) + " bytes)";
    return out;
}

}  // namespace fuzz
