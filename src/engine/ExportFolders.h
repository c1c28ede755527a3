#pragma once
// The export's own list of its folders (their ".meta" files), matched to the
// directories that hold their items: the real names of folders whose
// directory the exporter spelled differently, the user folders that hold
// nothing (and so have no directory), the address books, calendars, task
// lists and notes folders beside the default ones (with the mail folders
// nested in them), and the search folders and shared-folder links, which hold
// nothing in an export.
//
// Directories are given in the store's form, relative to the export root and
// with batch suffixes removed ("Inbox\Launch _Q3_").
#include <map>
#include <set>
#include <string>
#include <vector>

#include "files/PathList.h"
#include "items/ZimbraFolders.h"
#include "store/PstStoreSession.h"

namespace engine {

class ExportFolders {
public:
    // Reads every folder ".meta" file of the queue below `rootPath`.
    void Read(const files::PathList& queue, const std::string& rootPath);
    // Reads one more folder ".meta" file (an archive's, met after the tree was
    // built); the folder it adds, or null. The pointer is valid until the next Add.
    const items::ExportFolder* Add(const std::string& metaPath, const std::string& rootPath);

    // The folder whose items are in the directory, or null.
    const items::ExportFolder* At(const std::string& directory) const;

    // The directory with each component the export lists taking its folder's
    // real name: "Inbox\Launch _Q3_" -> "Inbox\Launch <Q3>". A "\" in a real
    // name (Outlook's path separator) becomes "_".
    std::string RealPath(const std::string& directory) const;

    // The directories of the user mail and Briefcase folders, nested ones too,
    // that must exist in the store whether or not they hold items (those
    // inside an address book, calendar or task list of its own included).
    std::vector<std::string> MailFolders() const;

    // True when the directory is, or lies below, an address book, calendar or
    // task list of its own (not a default one): its items of that kind go to
    // that folder.
    bool InKindFolder(const std::string& directory) const;
    // That address book, calendar or task list (the nearest one above), or null.
    const items::ExportFolder* KindFolderOf(const std::string& directory) const;

    // Takes the directories at or below an address book, calendar or task list
    // of its own out of `folderList` (the store's mail folder list): the folders
    // of the kind are made by CreateKindFolders, and so are the mail folders
    // nested in them, beneath them as the export nests them.
    void TakeKindDirectories(std::vector<std::string>& folderList);

    // Creates the address books, calendars and task lists other than the
    // default ones below the store's default folder of their kind, at the
    // same place below it, and the mail folders nested in them; a failure
    // leaves that folder missing. Returns how many were created.
    int CreateKindFolders(store::Store& store);
    // The folder created for the directory's kind folder, or null.
    store::Folder* KindFolderAt(const std::string& directory) const;
    // The folder CreateKindFolders made for exactly this directory (an own
    // address book, calendar or task list, or a folder nested in one), or null:
    // messages and documents there go into it.
    store::Folder* ItemFolderAt(const std::string& directory) const;

    // The folder for the Zimbra notes of the directory: for a user folder the
    // export lists, a notes folder (IPF.StickyNote) below Notes at the
    // directory's real path, made on first use (`made` counts the folders
    // made); else null (the store's Notes folder).
    store::Folder* NotesFolderAt(store::Store& store, const std::string& directory, int& made);

    // True when the directory is, or lies below, a Briefcase folder (view 8).
    bool InDocumentFolder(const std::string& directory) const;
    // True when the file is the ".meta" file of a folder the export lists.
    bool IsFolderMeta(const std::string& path) const { return metaPaths_.count(path) != 0; }

    // The search folders and shared-folder links: no content in an export.
    std::vector<const items::ExportFolder*> Skipped() const;

private:
    // Makes the directory's folder below its kind folder, the folders between too.
    int CreateNested(const std::string& directory);
    std::vector<items::ExportFolder> folders_;
    std::map<std::string, size_t> byDirectory_;      // directory -> index in folders_
    std::map<std::string, store::Folder*> created_;  // kind folder directory -> store folder
    std::map<std::string, store::Folder*> nested_;   // directory inside a kind folder -> store folder
    std::set<std::string> nestedDirectories_;        // those to make with each store
    std::map<std::string, store::Folder*> notes_;    // directory -> notes folder of the current store
    std::set<std::string> metaPaths_;                 // every folder ".meta" file read
};

}  // namespace engine
