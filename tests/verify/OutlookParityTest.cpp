// Our PST beside Outlook's own files: the fixed nodes, the store's properties,
// the table templates' columns and, per item kind, the properties every
// Outlook-made item of that kind carries. Each difference must be listed as
// deliberate (with its reason) in docs/pst.md; a new one fails here.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "pst/verify/Internal.h"

namespace fs = std::filesystem;
using namespace pst::verify;
using namespace pst::verify::detail;

namespace {

const std::string kData = ORVANDEL_PST_TESTDATA;
// Outlook wrote these; sticky-notes.pst (a library's) and ansi.pst (wVer 14) are left out.
const char* const kOutlookSamples[] = {"empty", "mixed-items", "multiple-to-cc", "submessage",
                                       "dist-list", "contacts-japanese", "folders-attachments"};
const uint32_t kTemplates[] = {0x60D, 0x60E, 0x60F, 0x610, 0x62B, 0x64C, 0x671, 0x692, 0x6B6, 0x6D7, 0x6F8};

std::string Hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}
std::string Tag(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

// What the comparison looks at in one file, read with the verifier's reader.
struct FileView {
    std::set<uint32_t> fixedNodes;                       // NID index below 0x400
    std::set<uint32_t> storeTags;
    std::map<uint32_t, std::set<std::string>> columns;   // template -> "tag@ib/cb/bit"
    std::map<std::string, std::vector<std::set<std::string>>> items;  // kind -> each item's property keys
};

std::string KindOf(const std::string& cls) {
    auto is = [&cls](const std::string& p) { return cls == p || cls.rfind(p + ".", 0) == 0; };
    if (is("IPM.Contact")) return "contact";
    if (is("IPM.DistList")) return "distlist";
    if (is("IPM.Appointment")) return "appointment";
    if (is("IPM.Task")) return "task";
    if (is("IPM.StickyNote")) return "note";
    if (is("IPM.Note")) return "message";
    return "";
}

FileView Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), {});
    Options options;
    Report report;
    Context c(d.data(), d.size(), options, report);
    std::map<uint32_t, PropertyContext> messages;  // the verifier lets each go once checked
    c.onMessage = [&](uint32_t nid, const PropertyContext& pc) { messages[nid] = pc; };
    c.Run();
    EXPECT_NE(report.outcome, Outcome::Unreadable) << path;
    FileView v;
    for (const auto& [nid, n] : c.nbt)
        if (NidIndex(nid) < 0x400) v.fixedNodes.insert(nid);
    for (const auto& [tag, value] : c.pcs[0x21].props) v.storeTags.insert(tag);
    for (uint32_t t : kTemplates)
        if (auto it = c.tcs.find(t); it != c.tcs.end())
            for (const auto& col : it->second.columns)
                v.columns[t].insert(Tag(col.tag) + "@" + std::to_string(col.ib) + "/" + std::to_string(col.cb) + "/" +
                                    std::to_string(col.iBit));
    // Named properties by their set and id (or name), which differ in number from file to file.
    const PropertyContext& map = c.pcs[0x61];
    const Value* guids = map.FindTag(0x00020102);
    const Value* entries = map.FindTag(0x00030102);
    const Value* strings = map.FindTag(0x00040102);
    auto key = [&](uint32_t tag) -> std::string {
        const uint16_t id = uint16_t(tag >> 16);
        if (id < 0x8000) return Tag(tag);
        const size_t i = id - 0x8000u;
        if (!entries || 8 * i + 8 > entries->bytes.size()) return Tag(tag);
        const uint8_t* e = entries->bytes.data() + 8 * i;
        const uint16_t flags = U16(e + 4), wGuid = flags >> 1;
        std::string set = wGuid == 1 ? "MAPI" : wGuid == 2 ? "PUBLIC-STRINGS" : "?";
        if (wGuid >= 3 && guids && 16u * (wGuid - 3) + 16 <= guids->bytes.size()) {
            const uint8_t* g = guids->bytes.data() + 16 * (wGuid - 3);
            char b[16];
            std::snprintf(b, sizeof b, "%08X", U32(g));
            set = b;
        }
        std::string name;
        if (flags & 1) {
            const uint32_t off = U32(e);
            if (strings && off + 4 <= strings->bytes.size()) {
                const uint32_t len = U32(strings->bytes.data() + off);
                for (uint32_t k = 0; k + 1 < len && off + 4 + k < strings->bytes.size(); k += 2)
                    name += char(strings->bytes[off + 4 + k]);
            }
        } else {
            name = Hex(U32(e));
        }
        char type[8];
        std::snprintf(type, sizeof type, "%04X", tag & 0xFFFF);
        return "{" + set + "}:" + name + ":" + type;
    };
    for (const auto& [nid, pc] : messages) {
        if (NidType(nid) != 0x04) continue;
        const Value* cls = pc.FindTag(0x001A001F);
        std::string text = cls ? cls->AsText() : "";
        if (text.size() >= 2) text = text.substr(1, text.size() - 2);
        const std::string kind = KindOf(text);
        if (kind.empty()) continue;
        std::set<std::string> keys;
        for (const auto& [tag, value] : pc.props) keys.insert(key(tag));
        v.items[kind].push_back(std::move(keys));
    }
    return v;
}

// The keys listed under "Deliberate differences" in docs/pst.md ("- `key`: why").
std::set<std::string> Deliberate() {
    std::ifstream in(std::string(ORVANDEL_SOURCE_DIR) + "/docs/pst.md");
    std::string line;
    bool inside = false;
    std::set<std::string> keys;
    while (std::getline(in, line)) {
        if (line.rfind("#", 0) == 0) inside = line.find("Deliberate differences") != std::string::npos;
        if (!inside || line.rfind("- `", 0) != 0) continue;
        // "- `a`, `b`: why" lists a and b; the reason follows the last key.
        const size_t colon = line.find("`: ");
        const std::string head = line.substr(0, colon == std::string::npos ? line.size() : colon + 1);
        for (size_t from = head.find('`'); from != std::string::npos;) {
            const size_t end = head.find('`', from + 1);
            if (end == std::string::npos) break;
            keys.insert(head.substr(from + 1, end - from - 1));
            from = head.find('`', end + 1);
        }
    }
    return keys;
}

std::string Shell(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

class OutlookParity : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("orvandel-parity-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ours_ = (dir_ / "alice.pst").string();
        int status = -1;
        const std::string out = Shell("'" + std::string(ORVANDEL_BIN) + "' convert '" + ORVANDEL_SAMPLE_EXPORT +
                                        "/alice' --pst '" + ours_ + "' --quiet 2>&1",
                                    &status);
        ASSERT_EQ(status, 0) << out;
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }
    static fs::path dir_;
    static std::string ours_;
};
fs::path OutlookParity::dir_;
std::string OutlookParity::ours_;

TEST_F(OutlookParity, EveryDifferenceFromOutlooksFilesIsDeliberate) {
    const FileView ours = Read(ours_);
    std::vector<FileView> outlook;
    for (const char* name : kOutlookSamples) outlook.push_back(Read(kData + "/" + name + ".pst"));

    std::set<std::string> found;
    // Fixed nodes every Outlook file has, and ours that none has.
    std::set<uint32_t> common = outlook[0].fixedNodes, any;
    for (const auto& f : outlook) {
        std::set<uint32_t> keep;
        for (uint32_t n : common)
            if (f.fixedNodes.count(n)) keep.insert(n);
        common = keep;
        any.insert(f.fixedNodes.begin(), f.fixedNodes.end());
    }
    for (uint32_t n : common)
        if (!ours.fixedNodes.count(n)) found.insert("node " + Hex(n));
    for (uint32_t n : ours.fixedNodes)
        if (!any.count(n)) found.insert("extra node " + Hex(n));
    // Store properties.
    std::set<uint32_t> storeCommon = outlook[0].storeTags, storeAny;
    for (const auto& f : outlook) {
        std::set<uint32_t> keep;
        for (uint32_t t : storeCommon)
            if (f.storeTags.count(t)) keep.insert(t);
        storeCommon = keep;
        storeAny.insert(f.storeTags.begin(), f.storeTags.end());
    }
    for (uint32_t t : storeCommon)
        if (!ours.storeTags.count(t)) found.insert("store " + Tag(t));
    for (uint32_t t : ours.storeTags)
        if (!storeAny.count(t)) found.insert("extra store " + Tag(t));
    // Template columns as in Outlook's newest empty file (older files keep older generations of
    // the contents and outgoing-queue templates; the change-history and tombstone ones never vary).
    for (uint32_t t : kTemplates) {
        const auto& want = outlook[0].columns.at(t);
        if (t == 0x6B6 || t == 0x6D7 || t == 0x6F8) {
            for (const auto& f : outlook) EXPECT_EQ(f.columns.at(t), want) << "Outlook's files differ in " << Hex(t);
        }
        const auto& have = ours.columns.count(t) ? ours.columns.at(t) : std::set<std::string>{};
        for (const auto& c : want)
            if (!have.count(c)) found.insert("table " + Hex(t) + " " + c);
        for (const auto& c : have)
            if (!want.count(c)) found.insert("extra table " + Hex(t) + " " + c);
    }
    // Per item kind: what every Outlook item of the kind carries, written by us (on at least one of
    // our items of the kind: the sample export's items do not all have every field).
    std::map<std::string, std::set<std::string>> always;
    for (const auto& f : outlook)
        for (const auto& [kind, list] : f.items)
            for (const auto& keys : list) {
                auto it = always.find(kind);
                if (it == always.end()) {
                    always[kind] = keys;
                    continue;
                }
                std::set<std::string> keep;
                for (const auto& k : it->second)
                    if (keys.count(k)) keep.insert(k);
                it->second = keep;
            }
    for (const auto& [kind, keys] : always) {
        auto mine = ours.items.find(kind);
        if (mine == ours.items.end()) continue;  // the sample export has none of this kind
        std::set<std::string> written;
        for (const auto& item : mine->second) written.insert(item.begin(), item.end());
        for (const auto& k : keys)
            if (!written.count(k)) found.insert(kind + " " + k);
    }

    const std::set<std::string> listed = Deliberate();
    for (const auto& d : found)
        EXPECT_TRUE(listed.count(d)) << "not listed as deliberate in docs/pst.md: `" << d << "`";
    for (const auto& l : listed)
        EXPECT_TRUE(found.count(l)) << "listed in docs/pst.md but no longer a difference: `" << l << "`";
    EXPECT_GE(ours.items.size(), 5u) << "the sample export should give mail, contacts, lists, appointments, tasks";
}

// pypff reads the store's properties as our reader does, in our file and Outlook's.
TEST_F(OutlookParity, PypffSeesTheSameStoreProperties) {
    const std::string script = (dir_ / "store.py").string();
    std::ofstream(script) << "import pypff, sys\n"
                             "f = pypff.file(); f.open(sys.argv[1])\n"
                             "rs = f.get_message_store().get_record_set(0)\n"
                             "print(' '.join('%04X' % e.entry_type for e in rs.entries))\n";
    for (const std::string& path : {ours_, kData + "/empty.pst", kData + "/mixed-items.pst"}) {
        int status = -1;
        const std::string out =
            Shell("for p in \"$PST_INSPECT_PYPFF_PYTHON\" /usr/bin/python3 $(which -a python3); do [ -n \"$p\" ] && "
                "\"$p\" -c 'import pypff' 2>/dev/null && exec \"$p\" '" + script + "' '" + path +
                    "'; done; echo 'no python3 with pypff'; exit 3",
                &status);
        ASSERT_EQ(status, 0) << out;
        std::set<std::string> pypff, mine;
        std::istringstream words(out);
        for (std::string w; words >> w;) pypff.insert(w);
        char b[8];
        for (uint32_t t : Read(path).storeTags) {
            std::snprintf(b, sizeof b, "%04X", t >> 16);
            mine.insert(b);
        }
        EXPECT_EQ(pypff, mine) << path;
    }
}

}  // namespace
