#pragma once
// A small JSON reader for the judge's --json output (tests only).
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace minijson {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<Value> a;
    std::map<std::string, Value> o;

    const Value& operator[](const std::string& key) const {
        static const Value null;
        auto it = o.find(key);
        return it == o.end() ? null : it->second;
    }
    bool IsNull() const { return kind == Null; }
    std::string Str() const { return kind == String ? s : std::string(); }
    double Num() const { return kind == Number ? n : 0; }
};

class Parser {
public:
    explicit Parser(const std::string& text) : t_(text) {}
    Value Parse() {
        Value v = ParseValue();
        Skip();
        if (i_ != t_.size()) throw std::runtime_error("trailing data in JSON");
        return v;
    }

private:
    void Skip() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\r' || t_[i_] == '\t')) ++i_;
    }
    char Peek() {
        Skip();
        if (i_ >= t_.size()) throw std::runtime_error("unexpected end of JSON");
        return t_[i_];
    }
    void Expect(char c) {
        if (Peek() != c) throw std::runtime_error(std::string("expected ") + c + " in JSON");
        ++i_;
    }
    static void Utf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) out += char(cp);
        else if (cp < 0x800) { out += char(0xC0 | (cp >> 6)); out += char(0x80 | (cp & 0x3F)); }
        else if (cp < 0x10000) { out += char(0xE0 | (cp >> 12)); out += char(0x80 | ((cp >> 6) & 0x3F)); out += char(0x80 | (cp & 0x3F)); }
        else { out += char(0xF0 | (cp >> 18)); out += char(0x80 | ((cp >> 12) & 0x3F)); out += char(0x80 | ((cp >> 6) & 0x3F)); out += char(0x80 | (cp & 0x3F)); }
    }
    uint32_t Hex4() {
        if (i_ + 4 > t_.size()) throw std::runtime_error("bad \\u escape");
        uint32_t v = uint32_t(std::stoul(t_.substr(i_, 4), nullptr, 16));
        i_ += 4;
        return v;
    }
    std::string ParseString() {
        Expect('"');
        std::string out;
        while (i_ < t_.size() && t_[i_] != '"') {
            char c = t_[i_++];
            if (c != '\\') { out += c; continue; }
            char e = t_[i_++];
            switch (e) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    uint32_t cp = Hex4();
                    if (cp >= 0xD800 && cp < 0xDC00 && i_ + 6 <= t_.size() && t_[i_] == '\\' && t_[i_ + 1] == 'u') {
                        i_ += 2;
                        uint32_t lo = Hex4();
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    }
                    Utf8(out, cp);
                    break;
                }
                default: out += e;
            }
        }
        ++i_;
        return out;
    }
    Value ParseValue() {
        char c = Peek();
        Value v;
        if (c == '{') {
            v.kind = Value::Object;
            ++i_;
            if (Peek() == '}') { ++i_; return v; }
            while (true) {
                std::string k = ParseString();
                Expect(':');
                v.o[k] = ParseValue();
                if (Peek() == ',') { ++i_; continue; }
                Expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = Value::Array;
            ++i_;
            if (Peek() == ']') { ++i_; return v; }
            while (true) {
                v.a.push_back(ParseValue());
                if (Peek() == ',') { ++i_; continue; }
                Expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind = Value::String;
            v.s = ParseString();
            return v;
        }
        if (t_.compare(i_, 4, "true") == 0) { i_ += 4; v.kind = Value::Bool; v.b = true; return v; }
        if (t_.compare(i_, 5, "false") == 0) { i_ += 5; v.kind = Value::Bool; return v; }
        if (t_.compare(i_, 4, "null") == 0) { i_ += 4; return v; }
        if (t_.compare(i_, 3, "NaN") == 0) { i_ += 3; v.kind = Value::Number; return v; }
        size_t end = i_;
        while (end < t_.size() && std::string("+-0123456789.eE").find(t_[end]) != std::string::npos) ++end;
        if (end == i_) throw std::runtime_error("bad JSON value");
        v.kind = Value::Number;
        v.n = std::stod(t_.substr(i_, end - i_));
        i_ = end;
        return v;
    }
    const std::string& t_;
    size_t i_ = 0;
};

inline Value Parse(const std::string& text) { return Parser(text).Parse(); }

}  // namespace minijson
