#pragma once
// The folders a Zimbra export lists. Each folder (also a search folder or a
// shared-folder link) is one "<id10>-<name>.meta" file at its parent's level,
// whether or not anything is stored in it. Its JSON holds the real name and
// path; the directory that holds its items is the path as the exporter spells
// it (: * ? " < > | and NUL become "_"), and its metadata's "vt" says what
// kind of item it holds.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "items/ZimbraMetaReader.h"

namespace items {

enum class FolderView {
    None,          // no view (ROOT, USER_ROOT, Trash)
    Mail,          // 5, also conversations and unknown views
    Contacts,      // 6
    Documents,     // 8 (Briefcase)
    Notes,         // 9 (a folder made for Zimbra notes)
    Appointments,  // 11
    Wiki,          // 14 (Notebook, 7.x)
    Tasks,         // 15
    Hidden,        // 3 tags, 4 conversations, 17 comments: the export's bookkeeping
};

struct ExportFolder {
    std::string metaPath;     // the folder's own ".meta" file
    int64_t id = -1;
    int type = 1;             // 1 folder, 2 search folder, 13 mountpoint
    std::string path;         // the Zimbra path without its leading "/" ("Inbox/Launch <Q3>")
    std::string directory;    // where its items are, relative ("Inbox/Launch _Q3_"); "/" between
    FolderView view = FolderView::None;
    bool system = false;      // attribute "a" holds the system bit (a default folder)
    std::string query;        // a search folder's query ("q")
    std::string owner;        // a mountpoint's owner account ("aid")
    // A user folder (not one Zimbra makes for every mailbox).
    bool IsUserFolder() const { return id >= 256 && !system; }
};

// The exporter's directory spelling of a Zimbra folder path.
std::string ExportDirectoryOf(const std::string& zimbraPath);

// True for a name of the form "<10 digits>-<anything>.meta".
bool LooksLikeFolderMetaName(const std::string& fileName);

// Reads one folder ".meta" file; nothing when it is not complete JSON of a
// folder, search folder or mountpoint, or has no path (ROOT and USER_ROOT
// have "/", which is no folder of their own either).
std::optional<ExportFolder> ReadExportFolder(const std::string& metaPath);
// The same for a ".meta" file already read and parsed.
std::optional<ExportFolder> ExportFolderFromMeta(const MetaFile& file, const std::string& metaPath);

}  // namespace items
