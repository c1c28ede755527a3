#include "engine/FolderTree.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "engine/EngineText.h"

namespace engine {

namespace {

// Decodes one UTF-8 sequence at `i`; invalid bytes count as themselves.
uint32_t NextCodePoint(std::string_view s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    int len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 1;
    if (i + static_cast<size_t>(len) > s.size()) len = 1;
    uint32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1Fu) : len == 3 ? (b0 & 0x0Fu) : (b0 & 0x07u);
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
            len = 1;
            cp = b0;
            break;
        }
        cp = (cp << 6) | (b & 0x3Fu);
    }
    i += static_cast<size_t>(len);
    return cp;
}

// The first UTF-16 code unit of a code point decides the order: code points
// above U+FFFF (surrogates D800-DBFF) sort before U+E000-U+FFFF.
uint32_t Utf16OrderKey(uint32_t cp) {
    if (cp >= 0x10000) return 0xD800 + ((cp - 0x10000) >> 10);
    return cp;
}

// Ordinal comparison of the UTF-16 forms of two UTF-8 texts.
bool Utf16Less(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const uint32_t ca = NextCodePoint(a, i), cb = NextCodePoint(b, j);
        if (ca == cb) continue;
        const uint32_t ka = Utf16OrderKey(ca), kb = Utf16OrderKey(cb);
        if (ka != kb) return ka < kb;
        return ca < cb;  // same high surrogate: the code point order is the low surrogate order
    }
    return i >= a.size() && j < b.size();
}

bool IsAllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> SplitStore(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t p = path.find('\\', start);
        parts.push_back(path.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return parts;
}

// Reads X out of `Folder "X" does not exist`.
std::string MissingFolderName(const std::string& description) {
    return ReplaceAll(ReplaceAll(description, "Folder \"", ""), "\" does not exist", "");
}

}  // namespace

void QuickSortStrings(std::vector<std::string>& list, int low, int high, const YieldFn& yield) {
    while (low < high) {
        if (yield) yield();
        int i = low, j = high;
        const std::string pivot = list[static_cast<size_t>(low + (high - low) / 2)];
        while (i <= j) {
            while (Utf16Less(list[static_cast<size_t>(i)], pivot)) ++i;
            while (Utf16Less(pivot, list[static_cast<size_t>(j)])) --j;
            if (i <= j) {
                std::swap(list[static_cast<size_t>(i)], list[static_cast<size_t>(j)]);
                ++i;
                --j;
            }
        }
        // Recurse into the smaller side and loop on the larger one: the depth stays
        // logarithmic whatever the input.
        if (j - low < high - i) {
            if (low < j) QuickSortStrings(list, low, j, yield);
            low = i;
        } else {
            if (i < high) QuickSortStrings(list, i, high, yield);
            high = j;
        }
    }
}

void RemoveDuplicateStrings(std::vector<std::string>& list) {
    std::vector<std::string> kept;
    const std::string* last = nullptr;
    for (auto& s : list) {
        if (s.empty()) continue;
        if (last && *last == s) continue;
        kept.push_back(s);
        last = &s;
    }
    if (kept.empty()) return;
    list = std::move(kept);
}

std::string StripBatchSuffixes(const std::string& storeRelative) {
    if (storeRelative.find('!') == std::string::npos) return storeRelative;
    std::string out;
    bool first = true;
    for (auto& part : SplitStore(storeRelative)) {
        std::string p = part;
        const size_t bang = p.rfind('!');
        if (bang != std::string::npos && bang > 0 && IsAllDigits(std::string_view(p).substr(bang + 1)))
            p.resize(bang);
        if (!first) out += '\\';
        out += p;
        first = false;
    }
    return out;
}

std::string DetectRootPath(const files::PathList& queue, const std::string& mailboxFolder,
                           const StatusFn& status) {
    if (status) status("Reading Zimbra Folder(s)...");
    const std::string inboxMark = Native("\\Inbox\\");
    for (const auto& entry : queue) {
        if (Contains(LowerAscii(entry), "-root.meta")) return ParentOf(entry);
        if (Contains(entry, inboxMark)) {
            const std::string p = ParentOf(entry);
            const size_t at = p.find(inboxMark);
            if (at != std::string::npos) return p.substr(0, at + 1);
        }
        if (status) status("Checking Zimbra Folder Root Structure... ");
    }
    // The tree's root ends with a separator, so that every relative path below it
    // starts with its first Zimbra folder ("Inbox\...", never "\Inbox\...").
    std::string root = mailboxFolder;
    if (root.empty() || root.back() != NativeSeparator()) root += NativeSeparator();
    return root;
}

std::vector<std::string> BuildFolderList(const files::PathList& queue, const std::string& rootPath,
                                         const FileProbe& probe, const StatusFn& status, const YieldFn& yield) {
    std::vector<std::string> list;
    std::string candidate;
    const char sep = NativeSeparator();
    for (const auto& entry : queue) {
        if (probe.fileExists && probe.fileExists(entry))
            candidate = ParentOf(entry);
        else if (probe.folderExists && probe.folderExists(entry))
            candidate = entry;
        std::string rel = RelativeTo(candidate, rootPath);
        if (!rel.empty()) {
            if (rel.back() == sep) rel.pop_back();
            // Files of one folder come together: one slot for them, not one each.
            if (!rel.empty()) {
                std::string folder = StripBatchSuffixes(ToStoreSeparators(rel));
                if (list.empty() || list.back() != folder) list.push_back(std::move(folder));
            }
        }
        if (status) status("Reading Zimbra Folder... " + rel);
    }
    if (!list.empty()) QuickSortStrings(list, 0, static_cast<int>(list.size()) - 1, yield);
    RemoveDuplicateStrings(list);
    // A list without any folder stays as it came: nothing to create.
    list.erase(std::remove(list.begin(), list.end(), std::string()), list.end());
    return list;
}

std::string MapDefaultFolder(const std::string& storeRelative, const StoreNames& names) {
    const size_t end = storeRelative.find('\\');
    const std::string first = storeRelative.substr(0, end);
    for (const auto& [from, to] : names.mappedFolders)
        if (first == from) return to + (end == std::string::npos ? std::string() : storeRelative.substr(end));
    return storeRelative;
}

int CreateOutlookFolders(store::Store& store, const StoreNames& names, std::vector<std::string>& folderList,
                         const StatusFn& status, const YieldFn& yield) {
    if (status) status("Creating Outlook Folders...");
    const std::string storeRoot = "\\\\" + names.displayName + "\\";
    static const char* const kNeverCreatedLeaves[] = {"\\Inbox", "\\Calendar", "\\Contacts", "\\Emailed Contacts",
                                                       "\\Tasks", "\\Sent",     "\\Notebook", "\\Conversations"};
    int created = 0;
    for (auto& slot : folderList) {
        if (slot.empty()) continue;
        if (yield) yield();
        try {
            std::string entry = slot;
            if (const size_t c = entry.find(":\\"); c != std::string::npos) {
                const size_t from = c + 2;
                const size_t next = entry.find(":\\", from);
                entry = entry.substr(from, next == std::string::npos ? std::string::npos : next - from);
            }
            if (entry.empty()) continue;
            entry = MapDefaultFolder(entry, names);

            if (!Contains(entry, "\\")) {
                if (entry == "Inbox") slot = entry = names.inboxName;
                else if (entry == "Sent") slot = entry = names.sentName;
                bool exists = false;
                for (store::Folder* f : store.IPMRootFolder().Folders())
                    if (f->Name() == entry) exists = true;
                if (!exists && entry != "Emailed Contacts") {
                    store.IPMRootFolder().AddFolder(entry, store::olFolderMail);
                    ++created;
                    if (status) status("Creating Outlook Folders... " + entry);
                }
                continue;
            }

            bool skip = false;
            for (const char* leafName : kNeverCreatedLeaves)
                if (EndsWith(entry, leafName)) skip = true;
            if (skip) continue;

            const size_t lastSep = entry.rfind('\\');
            const std::string leaf = entry.substr(lastSep + 1);
            std::string parent = entry.substr(0, lastSep);
            if (parent == "Sent") parent = names.sentName;
            else if (StartsWith(parent, "Sent\\")) parent = names.sentName + parent.substr(4);
            else if (parent == "Inbox") parent = names.inboxName;
            if (const size_t in = parent.find("\\Inbox\\"); in != std::string::npos) {
                const size_t from = in + 7;
                const size_t next = parent.find("\\Inbox\\", from);
                parent = names.inboxName + "\\" +
                         parent.substr(from, next == std::string::npos ? std::string::npos : next - from);
            }

            // Look the parent up, creating the missing folders on its path one by
            // one. The store names the first missing folder in its failure text.
            // Bounded: one round per component of the path; a folder that still
            // cannot be found or made is left missing.
            store::Folder* parentFolder = nullptr;
            const auto components = SplitStore(parent);
            for (size_t round = 0; round <= components.size() && !parentFolder; ++round) {
                try {
                    parentFolder = &store.GetFolderFromPath(storeRoot + parent);
                } catch (const store::StoreError& e) {
                    if (round == components.size()) break;
                    const std::string missing = MissingFolderName(e.what());
                    // The part of the path before the missing component (matched as a
                    // whole component; a bare substring match as a last resort).
                    std::string before;
                    bool found = false;
                    for (const auto& c : components) {
                        if (c == missing) {
                            found = true;
                            break;
                        }
                        before += c + "\\";
                    }
                    if (!found) {
                        const size_t at = parent.find(missing);
                        if (missing.empty() || at == std::string::npos) break;
                        before = parent.substr(0, at);
                    }
                    store::Folder& above = store.GetFolderFromPath(storeRoot + before);
                    above.AddFolder(missing, store::olFolderMail);
                    ++created;
                }
            }
            if (!parentFolder) continue;
            parentFolder->AddFolder(leaf, store::olFolderMail);
            ++created;
            if (status) status("Creating Outlook Folders... " + leaf);
        } catch (const std::exception&) {
            // A folder that cannot be created stays missing; its messages fail later.
        }
    }
    return created;
}

std::string MessageTargetPath(const std::string& messagePath, const std::string& rootPath, const StoreNames& names,
                              const std::function<std::string(const std::string&)>& realPath) {
    std::string rel = ParentOf(messagePath);
    rel = RelativeTo(rel, rootPath);
    rel = StripBatchSuffixes(ToStoreSeparators(rel));
    if (realPath && rel.size() > 1 && rel.back() == '\\') rel = realPath(rel.substr(0, rel.size() - 1)) + "\\";
    rel = MapDefaultFolder(rel, names);
    if (StartsWith(rel, "Inbox\\")) rel = names.inboxName + rel.substr(5);
    if (rel == "Sent\\")
        rel = names.sentName + "\\";
    else if (StartsWith(rel, "Sent\\") && rel.size() > 5)
        rel = names.sentName + rel.substr(rel.find('\\'));
    return "\\\\" + names.displayName + "\\" + rel;
}

}  // namespace engine
