#include "engine/SummaryJson.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace engine {

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

namespace {

std::string QuoteList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + JsonString(items[i]);
    return out + "]";
}

// Just enough JSON for the documents written below: objects, arrays, strings,
// integers, true, false, null.
struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    long long number = 0;
    bool boolean = false;
    std::string text;
    std::vector<Value> items;
    std::map<std::string, Value> members;
};

class Reader {
public:
    explicit Reader(const std::string& text) : s_(text) {}

    bool Parse(Value& out, std::string& error) {
        if (!ParseValue(out, 0)) {
            error = error_.empty() ? "not a JSON document" : error_;
            return false;
        }
        Space();
        if (at_ != s_.size()) {
            error = "text after the JSON document at byte " + std::to_string(at_);
            return false;
        }
        return true;
    }

private:
    void Space() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\r' || s_[at_] == '\t')) ++at_;
    }
    bool Fail(const std::string& what) {
        if (error_.empty()) error_ = what + " at byte " + std::to_string(at_);
        return false;
    }
    bool Word(const char* w) {
        const std::string word(w);
        if (s_.compare(at_, word.size(), word) != 0) return false;
        at_ += word.size();
        return true;
    }
    bool ParseString(std::string& out) {
        if (at_ >= s_.size() || s_[at_] != '"') return Fail("expected a string");
        ++at_;
        while (at_ < s_.size() && s_[at_] != '"') {
            char c = s_[at_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= s_.size()) break;
            c = s_[at_++];
            switch (c) {
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    if (at_ + 4 > s_.size()) return Fail("short \\u escape");
                    const unsigned long cp = std::strtoul(s_.substr(at_, 4).c_str(), nullptr, 16);
                    at_ += 4;
                    // Only the control characters Quote escapes come back this way.
                    if (cp < 0x80) out += static_cast<char>(cp);
                    else return Fail("unexpected \\u escape");
                    break;
                }
                default: out += c;
            }
        }
        if (at_ >= s_.size()) return Fail("unterminated string");
        ++at_;
        return true;
    }
    bool ParseValue(Value& v, int depth) {
        if (depth > 16) return Fail("nesting too deep");
        Space();
        if (at_ >= s_.size()) return Fail("unexpected end");
        const char c = s_[at_];
        if (c == '{') {
            ++at_;
            v.kind = Value::Object;
            Space();
            if (at_ < s_.size() && s_[at_] == '}') return ++at_, true;
            for (;;) {
                Space();
                std::string key;
                if (!ParseString(key)) return false;
                Space();
                if (at_ >= s_.size() || s_[at_] != ':') return Fail("expected ':'");
                ++at_;
                if (!ParseValue(v.members[key], depth + 1)) return false;
                Space();
                if (at_ < s_.size() && s_[at_] == ',') { ++at_; continue; }
                if (at_ < s_.size() && s_[at_] == '}') return ++at_, true;
                return Fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            ++at_;
            v.kind = Value::Array;
            Space();
            if (at_ < s_.size() && s_[at_] == ']') return ++at_, true;
            for (;;) {
                v.items.emplace_back();
                if (!ParseValue(v.items.back(), depth + 1)) return false;
                Space();
                if (at_ < s_.size() && s_[at_] == ',') { ++at_; continue; }
                if (at_ < s_.size() && s_[at_] == ']') return ++at_, true;
                return Fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            v.kind = Value::String;
            return ParseString(v.text);
        }
        if (Word("true")) return v.kind = Value::Bool, v.boolean = true, true;
        if (Word("false")) return v.kind = Value::Bool, v.boolean = false, true;
        if (Word("null")) return v.kind = Value::Null, true;
        if (c == '-' || (c >= '0' && c <= '9')) {
            char* end = nullptr;
            v.kind = Value::Number;
            v.number = std::strtoll(s_.c_str() + at_, &end, 10);
            at_ = static_cast<size_t>(end - s_.c_str());
            return true;
        }
        return Fail("unexpected character");
    }

    const std::string& s_;
    size_t at_ = 0;
    std::string error_;
};

int Int(const Value& object, const char* key) {
    auto it = object.members.find(key);
    return it != object.members.end() && it->second.kind == Value::Number ? static_cast<int>(it->second.number) : 0;
}

std::string Text(const Value& object, const char* key) {
    auto it = object.members.find(key);
    return it != object.members.end() && it->second.kind == Value::String ? it->second.text : std::string();
}

std::vector<std::string> Texts(const Value& object, const char* key) {
    std::vector<std::string> out;
    auto it = object.members.find(key);
    if (it != object.members.end() && it->second.kind == Value::Array)
        for (const Value& v : it->second.items)
            if (v.kind == Value::String) out.push_back(v.text);
    return out;
}

// The status words back to the flags MailboxStatus reads them from.
bool ApplyStatus(MailboxSummary& m, const std::string& status) {
    if (status == "not started") m.notStarted = true;
    else if (status == "empty") m.empty = true;
    else if (status == "no pst") m.cancelled = true;
    else if (status == "store error") m.storeFailed = true;
    else if (status == "stopped") m.stopped = true;
    else if (status == "interrupted") m.closed = true;
    else if (status == "skipped") m.skipped = true;
    else if (status != "converted" && status != "converted with failures") return false;
    return true;
}

}  // namespace

std::string MailboxStatus(const MailboxSummary& m) {
    if (m.notStarted) return "not started";
    if (m.empty) return "empty";
    if (m.cancelled) return "no pst";
    if (m.storeFailed) return "store error";
    if (m.stopped) return "stopped";
    if (m.closed) return "interrupted";
    if (m.skipped) return "skipped";
    if (m.messagesFailed > 0 || m.itemsFailed > 0 || !m.storeError.empty() || !m.sourceError.empty() ||
        !m.unreadableFolders.empty() || !m.logError.empty() || !m.logRefused.empty() || m.messagesIncomplete > 0)
        return "converted with failures";
    return "converted";
}

int MailboxExitStatus(const MailboxSummary& m) {
    if (m.storeFailed || m.cancelled) return 2;
    if (m.messagesFailed > 0 || m.itemsFailed > 0 || m.badLines > 0 || !m.storeError.empty() ||
        !m.sourceError.empty() || m.stopped || m.closed || m.skipped || m.notStarted || !m.unreadableFolders.empty() ||
        !m.logError.empty() || !m.logRefused.empty() || m.messagesIncomplete > 0)
        return 1;
    return 0;
}

int RunExitStatus(const std::vector<MailboxSummary>& mailboxes) {
    int status = 0;
    for (const auto& m : mailboxes) status = std::max(status, MailboxExitStatus(m));
    return status;
}

std::string SummaryToJson(const SummaryDocument& doc) {
    std::string out = "{\n  \"mailboxes\": [";
    char buf[768];
    for (size_t i = 0; i < doc.mailboxes.size(); ++i) {
        const auto& m = doc.mailboxes[i];
        out += std::string(i ? "," : "") + "\n    {\"name\": " + JsonString(m.name) + ", \"folder\": " + JsonString(m.folder) +
               ", \"status\": " + JsonString(MailboxStatus(m)) + ", \"pst\": " + JsonString(m.pstPath) +
               ", \"log\": " + JsonString(m.logPath) + ",\n";
        if (m.pstParts.size() > 1) {
            out += "     \"pst_parts\": [";
            for (size_t p = 0; p < m.pstParts.size(); ++p) out += (p ? ", " : "") + JsonString(m.pstParts[p]);
            out += "],\n";
        }
        std::snprintf(buf, sizeof buf,
                      "     \"files\": %d, \"files_done\": %d, \"files_converted\": %d, \"files_logged\": %d,"
                      " \"messages_imported\": %d, \"messages_failed\": %d, \"messages_incomplete\": %d,\n"
                      "     \"contacts\": %d, \"appointments\": %d, \"tasks\": %d, \"notes\": %d, \"items_failed\": %d,\n"
                      "     \"items_skipped\": %d, \"documents\": %d, \"chats\": %d, \"already_in_pst\": %d,"
                      " \"folders_created\": %d, \"sources_deleted\": %d, \"bad_lines\": %d, \"error\": ",
                      m.files, m.filesDone, m.filesConverted, m.filesLogged, m.messagesImported, m.messagesFailed,
                      m.messagesIncomplete, m.contacts, m.appointments, m.tasks, m.notes, m.itemsFailed, m.itemsSkipped,
                      m.documents, m.chats, m.alreadyInPst, m.foldersCreated, m.sourcesDeleted, m.badLines);
        out += buf + JsonString(m.storeError);
        if (!m.sourceError.empty()) out += ", \"source_error\": " + JsonString(m.sourceError);
        if (!m.logRefused.empty()) out += ", \"log_refused\": " + JsonString(m.logRefused);
        out += ",\n     \"unreadable_folders\": " + QuoteList(m.unreadableFolders) + ", \"log_error\": " +
               JsonString(m.logError) + ", \"unlogged\": " + QuoteList(m.unlogged) + "}";
    }
    out += std::string(doc.mailboxes.empty() ? "" : "\n  ") + "],\n";
    if (!doc.shard.empty()) out += "  \"shard\": " + JsonString(doc.shard) + ",\n";
    out += "  \"exit_status\": " + std::to_string(doc.exitStatus) + "\n}\n";
    return out;
}

std::optional<SummaryDocument> SummaryFromJson(const std::string& text, std::string& error) {
    Value root;
    if (!Reader(text).Parse(root, error)) return std::nullopt;
    auto list = root.members.find("mailboxes");
    auto exit = root.members.find("exit_status");
    if (root.kind != Value::Object || list == root.members.end() || list->second.kind != Value::Array ||
        exit == root.members.end() || exit->second.kind != Value::Number) {
        error = "not a conversion summary (no \"mailboxes\" list or \"exit_status\")";
        return std::nullopt;
    }
    SummaryDocument doc;
    doc.exitStatus = static_cast<int>(exit->second.number);
    doc.shard = Text(root, "shard");
    for (const Value& v : list->second.items) {
        MailboxSummary m;
        m.name = Text(v, "name");
        m.folder = Text(v, "folder");
        m.pstPath = Text(v, "pst");
        m.logPath = Text(v, "log");
        if (auto parts = v.members.find("pst_parts"); parts != v.members.end() && parts->second.kind == Value::Array)
            for (const Value& p : parts->second.items)
                if (p.kind == Value::String) m.pstParts.push_back(p.text);
        m.storeError = Text(v, "error");
        m.sourceError = Text(v, "source_error");
        m.files = Int(v, "files");
        m.filesDone = Int(v, "files_done");
        m.filesConverted = Int(v, "files_converted");
        m.filesLogged = Int(v, "files_logged");
        m.messagesImported = Int(v, "messages_imported");
        m.messagesFailed = Int(v, "messages_failed");
        m.contacts = Int(v, "contacts");
        m.appointments = Int(v, "appointments");
        m.tasks = Int(v, "tasks");
        m.notes = Int(v, "notes");
        m.itemsFailed = Int(v, "items_failed");
        m.itemsSkipped = Int(v, "items_skipped");
        m.documents = Int(v, "documents");
        m.chats = Int(v, "chats");
        m.alreadyInPst = Int(v, "already_in_pst");
        m.foldersCreated = Int(v, "folders_created");
        m.sourcesDeleted = Int(v, "sources_deleted");
        m.badLines = Int(v, "bad_lines");
        m.messagesIncomplete = Int(v, "messages_incomplete");
        m.unreadableFolders = Texts(v, "unreadable_folders");
        m.logError = Text(v, "log_error");
        m.logRefused = Text(v, "log_refused");
        m.unlogged = Texts(v, "unlogged");
        const std::string status = Text(v, "status");
        if (v.kind != Value::Object || m.name.empty() || !ApplyStatus(m, status)) {
            error = "a mailbox entry without a name or with an unknown status '" + status + "'";
            return std::nullopt;
        }
        doc.mailboxes.push_back(std::move(m));
    }
    return doc;
}

}  // namespace engine
