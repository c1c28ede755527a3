#include "items/ZimbraFolders.h"

#include "items/MetaValue.h"
#include "items/ZimbraMetaReader.h"

namespace items {

namespace {

FolderView ViewOf(const std::string& vt) {
    if (vt.empty()) return FolderView::None;
    if (vt == "6") return FolderView::Contacts;
    if (vt == "8") return FolderView::Documents;
    if (vt == "9") return FolderView::Notes;
    if (vt == "11") return FolderView::Appointments;
    if (vt == "14") return FolderView::Wiki;
    if (vt == "15") return FolderView::Tasks;
    if (vt == "3" || vt == "4" || vt == "17") return FolderView::Hidden;
    return FolderView::Mail;
}

int64_t ToInt(const std::string& text, int64_t fallback) {
    if (text.empty() || text.size() > 18) return fallback;
    int64_t v = 0;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return fallback;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return fallback;
        v = v * 10 + (text[i] - '0');
    }
    return text[0] == '-' ? -v : v;
}

}  // namespace

std::string ExportDirectoryOf(const std::string& zimbraPath) {
    std::string out = zimbraPath;
    for (char& c : out)
        if (c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|' || c == '\0') c = '_';
    return out;
}

bool LooksLikeFolderMetaName(const std::string& name) {
    if (name.size() < 16 || name[10] != '-' || name.compare(name.size() - 5, 5, ".meta") != 0) return false;
    for (size_t i = 0; i < 10; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

std::optional<ExportFolder> ReadExportFolder(const std::string& metaPath) {
    return ExportFolderFromMeta(ParseMetaFile(ReadMetaText(metaPath)), metaPath);
}

std::optional<ExportFolder> ExportFolderFromMeta(const MetaFile& file, const std::string& metaPath) {
    if (!file.isJson) return std::nullopt;
    const int type = file.ItemType();
    if (type != 1 && type != 2 && type != 13) return std::nullopt;
    std::string path = file.Member("Path").value_or("");
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty()) return std::nullopt;

    ExportFolder f;
    f.metaPath = metaPath;
    f.id = ToInt(file.Member("id").value_or(""), -1);
    f.type = type;
    f.path = path;
    f.directory = ExportDirectoryOf(path);
    if (auto top = ReadMetaDictionary(file.Member("metadata").value_or(""))) {
        f.view = ViewOf(top->Text("vt"));
        f.system = (ToInt(top->Text("a"), 0) & 1) != 0;
        f.query = top->Text("q");
        f.owner = top->Text("aid");
    }
    return f;
}

}  // namespace items
