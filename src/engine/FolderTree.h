#pragma once
// Rebuilding a Zimbra export's folder tree inside a store, and the folder each
// message goes to.
//
// File paths are native; FolderList entries and target paths are in the
// store's form ("\" between components). Inbox and Sent map onto the store's
// default Inbox and Sent Items.
#include <functional>
#include <string>
#include <vector>

#include "files/PathList.h"
#include "store/PstStoreSession.h"

namespace engine {

using StatusFn = std::function<void(const std::string&)>;
using YieldFn = std::function<void()>;

// Sorts slots low..high of `list` in place, ascending by ordinal comparison of
// UTF-16 code units (an empty text first, a path before the paths below it).
void QuickSortStrings(std::vector<std::string>& list, int low, int high, const YieldFn& yield = {});

// On a sorted list: drops every slot equal to the last non-empty slot before it
// and every empty slot, keeping order. A list with no non-empty slot is left alone.
void RemoveDuplicateStrings(std::vector<std::string>& list);

// The export spills every 500 items of a folder into a sibling "<name>!<n>".
// Removes such a "!" + digits suffix from every component of a store-form
// relative path ("Inbox!1" -> "Inbox", "Inbox\Work!2" -> "Inbox\Work");
// any other "!" is part of a real folder name and stays.
std::string StripBatchSuffixes(const std::string& storeRelative);

// The folder of the export that holds the Zimbra tree, ending with the native
// separator: the folder of the "-root.meta" file, else the part of a path
// before its first "\Inbox\", else the mailbox folder itself.
std::string DetectRootPath(const files::PathList& queue, const std::string& mailboxFolder,
                           const StatusFn& status = {});

struct FileProbe {
    std::function<bool(const std::string&)> fileExists;
    std::function<bool(const std::string&)> folderExists;
};

// The distinct relative folder paths (store form, sorted) of the queued files.
std::vector<std::string> BuildFolderList(const files::PathList& queue, const std::string& rootPath,
                                         const FileProbe& probe, const StatusFn& status = {},
                                         const YieldFn& yield = {});

struct StoreNames {
    std::string displayName;  // StoreDisplayName
    std::string inboxName;    // InboxName
    std::string sentName;     // SentName
    // Further top-level export folders put into a default folder of the store
    // (convert --map-default-folders): export name -> store folder name.
    std::vector<std::pair<std::string, std::string>> mappedFolders = {};
};

// A store-form relative path whose first component is one of names.mappedFolders,
// with that component replaced by its store folder; any other path as it is.
std::string MapDefaultFolder(const std::string& storeRelative, const StoreNames& names);

// Creates the folders of `folderList` in the store; a folder that cannot be
// created is left missing (its messages then fail to import). Returns how many
// folders were created.
int CreateOutlookFolders(store::Store& store, const StoreNames& names, std::vector<std::string>& folderList,
                         const StatusFn& status = {}, const YieldFn& yield = {});

// "\\" + StoreDisplayName + "\" + the message's relative folder, mapped onto
// Inbox / Sent Items, ending with "\".
// `realPath`, when given, turns the relative directory (batch suffixes gone,
// no trailing "\") into the real folder path before the mapping.
std::string MessageTargetPath(const std::string& messagePath, const std::string& rootPath, const StoreNames& names,
                              const std::function<std::string(const std::string&)>& realPath = {});

}  // namespace engine
