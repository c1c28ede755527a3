#include "items/DocumentItem.h"

#include <algorithm>

#include "files/FileApi.h"
#include "items/Companion.h"
#include "items/MetaValue.h"
#include "items/TempFiles.h"
#include "items/ZimbraMetaReader.h"
#include "items/ZimbraTime.h"

namespace items {

namespace {

bool AllDigits(const std::string& s) {
    return !s.empty() && s.size() < 10 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The exporter puts "-NNNNN" (the revision) before an extension of up to four
// characters, or at the end: "report-00003.pdf", "notes-00002".
int VersionInEntryName(std::string name) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".meta") == 0) name.resize(name.size() - 5);
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    auto at = [&](size_t end) -> int {
        if (end < 6 || name[end - 6] != '-') return 0;
        const std::string digits = name.substr(end - 5, 5);
        return AllDigits(digits) ? std::stoi(digits) : 0;
    };
    if (int v = at(name.size())) return v;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && name.size() - dot <= 5) return at(dot);
    return 0;
}

template <typename V>
void TryPut(store::PropertyBag& bag, uint32_t tag, V value) {
    try {
        bag.SetProp(tag, pst::PropValue(std::move(value)));
    } catch (const std::exception&) {
    }
}

}  // namespace

std::optional<DocumentFields> ReadDocumentFields(const std::string& metaPath) {
    const MetaFile file = ParseMetaFile(ReadMetaText(metaPath));
    if (!file.isJson || file.ItemType() != 8) return std::nullopt;
    DocumentFields d;
    d.name = TrimSpaces(file.Member("name").value_or(file.Member("subject").value_or("")));
    if (const std::string size = file.Member("size").value_or("");
        !size.empty() && size.size() < 19 && std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        d.size = std::stoull(size);
        d.sizeKnown = true;
    }
    d.times = ItemTimesFromMeta(file);
    if (auto names = file.Member("TagNames")) d.categories = SplitTagNames(*names);
    if (auto top = ReadMetaDictionary(file.Member("metadata").value_or(""))) {
        d.contentType = TrimSpaces(top->Text("ct"));
        d.creator = TrimSpaces(top->Text("cr"));
        d.description = top->Text("de");
        if (const std::string ver = top->Text("ver"); AllDigits(ver)) d.version = std::stoi(ver);
    }
    const bool versioned = file.Member("FlagStr").value_or("").find('/') != std::string::npos;
    if (versioned && d.version == 0) d.version = std::max(1, VersionInEntryName(metaPath));
    if (!versioned && d.version <= 1) d.version = 0;
    if (d.name.empty()) {
        // No name recorded: the entry's own name, without ".meta".
        std::string entry = metaPath.substr(metaPath.find_last_of("/\\") + 1);
        if (entry.size() > 5) entry.resize(entry.size() - 5);
        d.name = entry;
    }
    return d;
}

ItemOutcome ConvertDocumentFile(const ItemContext& ctx, const std::string& metaPath) {
    if (ctx.setStatus) ctx.setStatus("Converting Briefcase... from (" + metaPath + ")");
    if (ctx.yield) ctx.yield();
    const std::optional<DocumentFields> d = ReadDocumentFields(metaPath);
    if (!d || !ctx.folder) return ItemOutcome::Failed;
    const std::string content = ItemCompanionPath(metaPath);
    if (content.empty() || !files::FileExists(content)) return ItemOutcome::Failed;
    const uint64_t actual = files::FileSizeOf(content);
    if (d->sizeKnown && actual != d->size && ctx.note)
        ctx.note("the document holds " + std::to_string(actual) + " bytes, the export recorded " +
                 std::to_string(d->size));

    auto item = ctx.folder->AddItem(store::ItemType::Mail);
    store::Item& it = *item;
    const std::string subject = d->version > 0 ? d->name + " (version " + std::to_string(d->version) + ")" : d->name;
    it.Put("MessageClass", std::string("IPM.Post"));
    it.Put("Subject", subject);
    if (!d->description.empty()) it.Put("Body", d->description);
    if (!d->categories.empty()) it.Put("Categories", d->categories);
    TryPut(it, pst::tags::PR_MESSAGE_FLAGS, int32_t(1));  // read
    if (!d->creator.empty()) {
        for (uint32_t tag : {pst::tags::PR_SENDER_NAME, pst::tags::PR_SENDER_EMAIL_ADDRESS, pst::tags::PR_SENDER_SMTP_ADDRESS,
                             pst::tags::PR_SENT_REPRESENTING_NAME, pst::tags::PR_SENT_REPRESENTING_EMAIL_ADDRESS,
                             pst::tags::PR_SENT_REPRESENTING_SMTP_ADDRESS})
            TryPut(it, tag, d->creator);
        TryPut(it, pst::tags::PR_SENDER_ADDRTYPE, std::string("SMTP"));
        TryPut(it, pst::tags::PR_SENT_REPRESENTING_ADDRTYPE, std::string("SMTP"));
    }
    PutItemTimes(it, d->times);
    if (d->times.created) {
        // The revision's time is when the post was "received" and "sent".
        TryPut(it, pst::tags::PR_MESSAGE_DELIVERY_TIME, UnixToFileTime(*d->times.created));
        TryPut(it, pst::tags::PR_CLIENT_SUBMIT_TIME, UnixToFileTime(*d->times.created));
    }

    // The store reads an attachment from a file: an archive's entry held in
    // memory is written for it, and removed once the store holds it open.
    const std::string onDisk = MemoryFileOnDisk(content);
    store::Attachment* added = nullptr;
    try {
        added = &it.AttachmentsAdd(onDisk.empty() ? content : onDisk);
    } catch (...) {
        if (!onDisk.empty()) RemoveTempFile(onDisk);
        throw;
    }
    if (!onDisk.empty()) RemoveTempFile(onDisk);
    store::Attachment& att = *added;
    // The entry name of a revision carries its number; the file keeps its real name.
    TryPut(att, pst::tags::PR_ATTACH_LONG_FILENAME, d->name);
    TryPut(att, pst::tags::PR_ATTACH_FILENAME, d->name);
    TryPut(att, pst::tags::PR_DISPLAY_NAME, d->name);
    if (const size_t dot = d->name.rfind('.'); dot != std::string::npos && dot + 1 < d->name.size())
        TryPut(att, pst::tags::PR_ATTACH_EXTENSION, d->name.substr(dot));
    else
        att.DeleteProp(pst::tags::PR_ATTACH_EXTENSION);
    if (!d->contentType.empty()) TryPut(att, pst::tags::PR_ATTACH_MIME_TAG, d->contentType);
    PutItemTimes(att, d->times);
    it.Save();
    return ItemOutcome::Saved;
}

}  // namespace items
