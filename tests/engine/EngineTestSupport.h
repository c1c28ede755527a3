#pragma once
// Test doubles for the migration engine: a view that records what the engine
// does to the window and answers questions from a script, a store session over
// the in-memory fake store that outlives the engine's session, item converters
// and a message importer that follow the file content, and export trees on disk.
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../support/FakeStore.h"
#include "engine/MigrationEngine.h"

namespace enginetest {

namespace fs = std::filesystem;

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// A fresh folder below the system's temporary folder, removed at the end.
struct TempDir {
    std::string path;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "orvandel-engine-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        // Read-only files and folders made by a test must not stop the clean-up.
        for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string& rel) const { return path + "/" + rel; }
};

// What a message file holds decides the fake import's outcome.
inline const char* const kBrokenMessage = "BROKEN";

inline std::string Eml(const std::string& subject) {
    return "From: a@example.com\r\nTo: b@example.com\r\nSubject: " + subject + "\r\n\r\nBody of " + subject + "\r\n";
}

// ----------------------------------------------------------------------------

struct Recorder;

struct RecStore : fake::FakeStore {
    Recorder* rec = nullptr;
    void Commit() override;
};

// One session per mailbox; the stores stay in the recorder after log-off.
struct RecSession : store::Session {
    Recorder* rec = nullptr;
    std::shared_ptr<RecStore> st;
    store::Store& LogonPstStore(const std::string& path, int format, const std::string& displayName) override;
    store::Store& GetStoreFromID(const std::string& id) override {
        if (!st || id != st->EntryID()) throw store::StoreError("no store " + id);
        return *st;
    }
    void Logoff() override;
};

// Everything the doubles saw, in order, and the switches of their failures.
struct Recorder {
    std::vector<std::string> events;
    std::map<std::string, std::shared_ptr<RecStore>> stores;  // by PST path
    std::string logonFailure;                                 // non-empty: LogonPstStore throws it
    int failCommitsFrom = -1;                                 // commits from this number on throw
    int commits = 0;
    // Source paths (kept in PR_BODY) of the items covered by a commit.
    std::set<std::string> committedPaths;
    std::function<void()> onCommit;

    engine::SessionFactory Factory() {
        return [this]() -> std::unique_ptr<store::Session> {
            auto s = std::make_unique<RecSession>();
            s->rec = this;
            events.push_back("session");
            return s;
        };
    }
    static void Collect(const fake::FakeFolder& f, std::set<std::string>& out) {
        for (auto& item : f.saved) out.insert(item->Str(pst::tags::PR_BODY));
        for (auto& c : f.children) Collect(*c, out);
    }
    void CommitSaved(const fake::FakeStore& st) { Collect(st.ipm, committedPaths); }
};

inline void RecStore::Commit() {
    if (rec) {
        ++rec->commits;
        if (rec->failCommitsFrom >= 0 && rec->commits >= rec->failCommitsFrom)
            throw store::StoreError("No space left on device");
        rec->CommitSaved(*this);
        rec->events.push_back("commit");
        if (rec->onCommit) rec->onCommit();
    }
    fake::FakeStore::Commit();
}

inline store::Store& RecSession::LogonPstStore(const std::string& path, int, const std::string& displayName) {
    if (!rec->logonFailure.empty()) throw store::StoreError(rec->logonFailure);
    st = std::make_shared<RecStore>();
    st->rec = rec;
    st->displayName = displayName;
    rec->stores[path] = st;
    rec->events.push_back("logon " + path);
    return *st;
}

inline void RecSession::Logoff() {
    if (st) st->Commit();
    rec->events.push_back("logoff");
}

// The message importer: a file holding kBrokenMessage fails; any other file
// gives a message whose subject is its file name.
inline engine::MessageImporter Importer(Recorder& rec) {
    return [&rec](store::Item& item, const std::string& path) {
        const std::string content = ReadAll(path);
        rec.events.push_back("import " + fs::path(path).filename().string());
        if (content.find(kBrokenMessage) != std::string::npos) return mime::ImportResult{false, "cannot parse"};
        item.SetProp(pst::tags::PR_SUBJECT, fs::path(path).filename().string());
        // The item keeps its source path, so commits can tell which sources they cover.
        item.SetProp(pst::tags::PR_BODY, path);
        if (content.find("OMIT") != std::string::npos) return mime::ImportResult{true, {}, {"3 of 5 To recipients"}};
        return mime::ImportResult{true, {}};
    };
}

// Item converters over the fake store: the file's content says what to do
// ("FAIL", "NOSECTION", else a saved item with the content as subject).
struct FakeConverters : items::ItemConverters {
    Recorder& rec;
    explicit FakeConverters(Recorder& r) : rec(r) {}
    items::ItemOutcome Make(const items::ItemContext& ctx, const std::string& path, int folder, store::ItemType type,
                            const char* kind) {
        rec.events.push_back(std::string(kind) + " " + fs::path(path).filename().string());
        const std::string content = ReadAll(path);
        if (content == "FAIL") return items::ItemOutcome::Failed;
        if (content == "NOSECTION") return items::ItemOutcome::NoSection;
        auto& st = ctx.session->GetStoreFromID(ctx.storeEntryID);
        auto item = st.GetDefaultFolder(folder).AddItem(type);
        item->SetProp(pst::tags::PR_SUBJECT, content);
        item->SetProp(pst::tags::PR_BODY, path);
        item->Save();
        return items::ItemOutcome::Saved;
    }
    items::ItemOutcome ConvertContactFile(const items::ItemContext& c, const std::string& p) override {
        return Make(c, p, store::olFolderContacts, store::ItemType::Contact, "contact");
    }
    items::ItemOutcome ConvertCalendarFile(const items::ItemContext& c, const std::string& p) override {
        return Make(c, p, store::olFolderCalendar, store::ItemType::Appointment, "appointment");
    }
    items::ItemOutcome ConvertTaskFile(const items::ItemContext& c, const std::string& p) override {
        return Make(c, p, store::olFolderTasks, store::ItemType::Task, "task");
    }
    items::ItemOutcome ConvertNoteFile(const items::ItemContext& c, const std::string& p) override {
        return Make(c, p, store::olFolderNotes, store::ItemType::Note, "note");
    }
    items::ItemOutcome ConvertStickyNoteFile(const items::ItemContext& c, const std::string& p) override {
        return Make(c, p, store::olFolderNotes, store::ItemType::Note, "sticky note");
    }
    items::ItemOutcome ConvertDocumentFile(const items::ItemContext&, const std::string& p) override {
        rec.events.push_back("document " + fs::path(p).filename().string());
        return items::ItemOutcome::Failed;
    }
};

// ----------------------------------------------------------------------------

// The window as the engine sees it. Questions are answered from `answers`
// (an empty script answers No and records it); `onProgress` runs after each
// file, where a user would press a button.
struct RecordingView : engine::MigrationView {
    engine::MigrationSettings settings;
    std::map<engine::Label, std::string> labels;
    std::vector<std::pair<engine::Label, std::string>> labelLog;
    std::vector<std::string> events;
    std::deque<bool> answers;
    std::optional<std::string> savePath;  // nothing: the dialog is cancelled
    std::string proposedName;
    bool deleteChecked = false;
    bool unloaded = false;
    float progress = 0;
    std::vector<engine::FileProgress> progressLog;
    std::vector<engine::MailboxSummary> finished;
    std::function<void(const engine::FileProgress&)> onProgress;
    std::function<void()> onYield;
    Recorder* rec = nullptr;  // events also go to the recorder, for ordering against the store

    void Event(const std::string& e) {
        events.push_back(e);
        if (rec) rec->events.push_back("view: " + e);
    }
    engine::MigrationSettings ReadSettings() override { return settings; }
    std::function<void(engine::Label, const std::string&)> onLabel;
    std::map<engine::Button, bool> enabled;
    void SetLabel(engine::Label l, const std::string& text) override {
        labels[l] = text;
        labelLog.emplace_back(l, text);
        if (onLabel) onLabel(l, text);
    }
    void SetProgressRange(int, int) override {}
    void SetProgress(float v) override { progress = v; }
    void SetButtonEnabled(engine::Button b, bool on) override { enabled[b] = on; }
    void SetButtonVisible(engine::Button, bool) override {}
    bool DeleteSourceChecked() override { return deleteChecked; }
    bool AskYesNo(const std::string& title, const std::string& text) override {
        bool a = false;
        if (!answers.empty()) {
            a = answers.front();
            answers.pop_front();
        }
        Event("ask " + title + " -> " + (a ? "Yes" : "No"));
        lastQuestion = text;
        return a;
    }
    std::string lastQuestion;
    std::vector<std::pair<std::string, std::string>> messages;
    void ShowMessage(const std::string& title, const std::string& text, engine::MessageIcon) override {
        messages.emplace_back(title, text);
        Event("message " + title);
    }
    std::optional<std::string> AskSavePath(const std::string&, const std::string& proposed) override {
        proposedName = proposed;
        Event("save dialog");
        return savePath;
    }
    std::vector<std::string> marks;
    void MarkRow(int row, unsigned rgb, bool bold) override {
        marks.push_back(std::to_string(row) + ":" + std::to_string(rgb) + (bold ? ":bold" : ""));
    }
    void Unload() override {
        unloaded = true;
        Event("unload");
    }
    bool IsUnloaded() const override { return unloaded; }
    void Yield() override {
        if (onYield) onYield();
    }
    void OnFileProgress(const engine::FileProgress& p) override {
        progressLog.push_back(p);
        if (onProgress) onProgress(p);
    }
    void OnMailboxFinished(const engine::MailboxSummary& s) override { finished.push_back(s); }

    std::vector<std::string> LabelHistory(engine::Label l) const {
        std::vector<std::string> out;
        for (auto& [k, v] : labelLog)
            if (k == l) out.push_back(v);
        return out;
    }
};

// Items of a fake folder by subject.
inline std::vector<std::string> Subjects(const fake::FakeFolder* f) {
    std::vector<std::string> out;
    if (!f) return out;
    for (auto& item : f->saved) out.push_back(item->Str(pst::tags::PR_SUBJECT));
    return out;
}

// The folder at a "/"-joined path below the IPM subtree, or null.
inline fake::FakeFolder* FolderAt(fake::FakeStore& st, const std::string& path) {
    fake::FakeFolder* f = &st.ipm;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        f = f->Child(part);
        if (!f) return nullptr;
    }
    return f;
}

}  // namespace enginetest
