#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TempTree.h"
#include "files/FileApi.h"
#include "files/MailboxFileQueue.h"
#include "files/MemoryFiles.h"

using namespace files;
using testutil::TempTree;

namespace {

std::vector<std::string> ListAll(const std::string& spec) {
    std::vector<std::string> names;
    FindEntry e;
    if (FindFirstEntry(spec, e) == -1) return names;
    do names.push_back(e.name);
    while (FindNextEntry(e) != 0);
    EXPECT_EQ(e.handle, -1);  // closed by FindNextEntry at the end
    return names;
}

mode_t ModeOf(const std::string& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mode & 07777;
}

}  // namespace

TEST(FileApi, ExistenceTests) {
    TempTree t;
    t.file("ro.eml");
    ::chmod(t.path("ro.eml").c_str(), 0444);
    t.file(".hidden");
    t.dir("Inbox");

    EXPECT_TRUE(FileExists(t.path("ro.eml")));
    EXPECT_TRUE(FileExists(t.path(".hidden")));
    EXPECT_FALSE(FileExists(t.path("Inbox")));
    EXPECT_FALSE(FileExists(t.path("Inbox/")));
    EXPECT_FALSE(FileExists(t.path("missing.eml")));
    EXPECT_FALSE(FileExists(""));

    EXPECT_TRUE(FolderExists(t.path("Inbox")));
    EXPECT_TRUE(FolderExists(t.path("Inbox/")));
    EXPECT_TRUE(FolderExists("  " + t.path("Inbox") + "  "));
    EXPECT_FALSE(FolderExists(t.path("ro.eml")));
    EXPECT_FALSE(FolderExists(t.path("missing")));

    // A wildcard path is answered by its first match.
    EXPECT_TRUE(FileExists(t.path("*.eml")));
    EXPECT_FALSE(FileExists(t.path("*.none")));
}

TEST(FileApi, Attributes) {
    TempTree t;
    t.file("a.eml");
    t.dir("d");
    EXPECT_EQ(GetFileAttr(t.path("a.eml")), kFileAttributeNormal);
    EXPECT_EQ(GetFileAttr(t.path("d")), kFileAttributeDirectory);
    EXPECT_EQ(GetFileAttr(t.path("d/")), kFileAttributeDirectory);
    EXPECT_EQ(GetFileAttr(t.path("nothing")), kInvalidFileAttributes);
    EXPECT_EQ(GetFileAttr(""), kInvalidFileAttributes);

    EXPECT_EQ(SetFileAttr(t.path("a.eml"), kFileAttributeReadOnly), 0);
    EXPECT_EQ(GetFileAttr(t.path("a.eml")), kFileAttributeReadOnly);
    EXPECT_EQ(ModeOf(t.path("a.eml")) & 0222, 0u);
    EXPECT_EQ(SetFileAttr(t.path("a.eml"), kFileAttributeNormal), 0);
    EXPECT_EQ(GetFileAttr(t.path("a.eml")), kFileAttributeNormal);
    EXPECT_EQ(SetFileAttr(t.path("nothing"), kFileAttributeNormal), kErrorFileNotFound);
}

TEST(FileApi, RemoveFileClearsReadOnlyAndRefusesFolders) {
    TempTree t;
    t.file("ro.eml.meta");
    ::chmod(t.path("ro.eml.meta").c_str(), 0444);
    EXPECT_EQ(RemoveFile(t.path("ro.eml.meta")), 0);
    EXPECT_FALSE(FileExists(t.path("ro.eml.meta")));

    EXPECT_EQ(RemoveFile(t.path("ro.eml.meta")), kErrorFileNotFound);

    t.dir("Inbox");
    t.file("Inbox/1.eml");
    EXPECT_NE(RemoveFile(t.path("Inbox")), 0);
    EXPECT_NE(RemoveFile(t.path("Inbox/")), 0);  // through RemovePathEntry: files only
    EXPECT_TRUE(FolderExists(t.path("Inbox")));
    EXPECT_TRUE(FileExists(t.path("Inbox/1.eml")));

    // A file named with a trailing separator goes through RemovePathEntry.
    t.file("plain");
    EXPECT_EQ(RemoveFile(t.path("plain/")), 0);
    EXPECT_FALSE(FileExists(t.path("plain")));
}

TEST(FileApi, RemovePathEntryRefusesRoots) {
    EXPECT_EQ(RemovePathEntry(""), 0);
    EXPECT_EQ(RemovePathEntry("/"), -1);
    EXPECT_EQ(RemovePathEntry("//server/"), -1);
    EXPECT_TRUE(FolderExists("/"));
}

TEST(FileApi, RemoveEmptyFolder) {
    TempTree t;
    t.file("full/x");
    t.dir("empty");
    EXPECT_NE(RemoveEmptyFolder(t.path("full")), 0);
    EXPECT_TRUE(FileExists(t.path("full/x")));
    EXPECT_EQ(RemoveEmptyFolder(t.path("empty/")), 0);
    EXPECT_FALSE(FolderExists(t.path("empty")));
    EXPECT_EQ(RemoveEmptyFolder("/"), -1);
}

TEST(FileApi, ListingIsInByteOrderAndClosesItselfAtTheEnd) {
    TempTree t;
    for (const char* n : {"b.eml", "B.eml", "a.eml", "\xc3\xa9.eml", "\xff.eml", "noext", "_x.meta"}) t.file(n);
    t.dir("Sub");
    EXPECT_EQ(ListAll(t.path("*")),
              (std::vector<std::string>{".", "..", "B.eml", "Sub", "_x.meta", "a.eml", "b.eml", "noext",
                                        "\xc3\xa9.eml", "\xff.eml"}));
    EXPECT_EQ(ListAll(t.path("*.eml")),
              (std::vector<std::string>{"B.eml", "a.eml", "b.eml", "\xc3\xa9.eml", "\xff.eml"}));

    FindEntry e;
    ASSERT_NE(FindFirstEntry(t.path("Sub"), e), -1);  // a single path
    EXPECT_EQ(e.name, "Sub");
    EXPECT_TRUE(e.attributes & kFileAttributeDirectory);
    EXPECT_EQ(FindNextEntry(e), 0);
    EXPECT_EQ(e.handle, -1);
    EXPECT_EQ(FindNextEntry(e), 0);  // nothing left to close
    EXPECT_TRUE(CloseFind(e));
}

TEST(FileApi, ListingOfEmptyAndMissingFolders) {
    TempTree t;
    t.dir("empty");
    EXPECT_EQ(ListAll(t.path("empty/*")), (std::vector<std::string>{".", ".."}));
    FindEntry e;
    e.name = "before";
    EXPECT_EQ(FindFirstEntry(t.path("missing/*"), e), -1);
    EXPECT_EQ(e.name, "before");  // left as it was
    EXPECT_EQ(FindFirstEntry(t.path("empty/*.eml"), e), -1);
    EXPECT_EQ(FindFirstEntry("", e), -1);
}

TEST(FileApi, PatternMatching) {
    EXPECT_TRUE(MatchesPattern("noext", "*.*"));
    EXPECT_TRUE(MatchesPattern("a.b.c", "*.*"));
    EXPECT_TRUE(MatchesPattern(".", "*"));
    EXPECT_TRUE(MatchesPattern("x.eml", "*.eml"));
    EXPECT_FALSE(MatchesPattern("x.eml.meta", "*.eml"));
    EXPECT_TRUE(MatchesPattern("x.eml.meta", "*.eml*"));
    EXPECT_TRUE(MatchesPattern("ab", "a?"));
    EXPECT_FALSE(MatchesPattern("abc", "a?"));
    EXPECT_FALSE(MatchesPattern("X.EML", "*.eml"));
}

TEST(FileApi, SymbolicLinksAreNeverFollowedForChangesOrDeletion) {
    TempTree outside;
    outside.file("target.eml", "keep me");
    ::chmod(outside.path("target.eml").c_str(), 0444);
    outside.dir("folder");
    outside.file("folder/inner.eml");

    TempTree t;
    ASSERT_EQ(::symlink(outside.path("target.eml").c_str(), t.path("link.eml").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path("folder").c_str(), t.path("linkdir").c_str()), 0);
    ASSERT_EQ(::symlink(t.path("gone").c_str(), t.path("dangling.eml").c_str()), 0);

    EXPECT_EQ(GetFileAttr(t.path("link.eml")), kFileAttributeReparsePoint);
    EXPECT_EQ(GetFileAttr(t.path("linkdir")), kFileAttributeReparsePoint | kFileAttributeDirectory);
    EXPECT_TRUE(FileExists(t.path("link.eml")));
    EXPECT_FALSE(FileExists(t.path("linkdir")));
    EXPECT_TRUE(FolderExists(t.path("linkdir")));
    EXPECT_TRUE(FileExists(t.path("dangling.eml")));
    EXPECT_EQ(SourceFileProblem(t.path("link.eml")), "symbolic link");
    EXPECT_EQ(SourceFileProblem(t.path("dangling.eml")), "symbolic link");
    EXPECT_EQ(SourceFileProblem(outside.path("target.eml")), "");

    // Deleting the link clears nothing on the target and removes only the link.
    EXPECT_EQ(RemoveFile(t.path("link.eml")), 0);
    EXPECT_FALSE(FileExists(t.path("link.eml")));
    EXPECT_TRUE(FileExists(outside.path("target.eml")));
    EXPECT_EQ(ModeOf(outside.path("target.eml")), 0444u);

    EXPECT_NE(RemoveEmptyFolder(t.path("linkdir")), 0);
    EXPECT_EQ(RemoveFile(t.path("linkdir")), 0);
    EXPECT_TRUE(FileExists(outside.path("folder/inner.eml")));
    EXPECT_EQ(RemoveFile(t.path("dangling.eml")), 0);
}

TEST(FileApi, FifoIsReportedAsDeviceAndNeverOpened) {
    TempTree t;
    ASSERT_EQ(::mkfifo(t.path("pipe.eml").c_str(), 0644), 0);
    EXPECT_EQ(GetFileAttr(t.path("pipe.eml")), kFileAttributeDevice);
    EXPECT_EQ(OpenForReading(t.path("pipe.eml")), -1);  // returns at once, no reader blocks
    EXPECT_EQ(SourceFileProblem(t.path("pipe.eml")), "not a regular file");
    EXPECT_EQ(RemoveFile(t.path("pipe.eml")), 0);
}

// Files of one folder after another, as a mailbox's come: what the checks say
// of each is about that file, not one of the same name in the folder before.
TEST(FileApi, SourceChecksFolderByFolder) {
    TempTree t;
    t.file("a/x.eml", "12345");
    t.file("a/x.eml.meta");
    t.file("b/y.eml", "1");
    ASSERT_EQ(::symlink(t.path("b/y.eml").c_str(), t.path("b/x.eml").c_str()), 0);
    ASSERT_EQ(::symlink(t.path("a/x.eml").c_str(), t.path("b/x.eml.meta").c_str()), 0);
    std::uint64_t size = 0;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(SourceFileKindProblem(t.path("a/x.eml"), size), "");
        EXPECT_EQ(size, 5u);
        EXPECT_EQ(GetFileAttrBeside(t.path("a/x.eml.meta")), kFileAttributeNormal);
        const int fd = OpenSourceFile(t.path("a/x.eml"));
        EXPECT_GE(fd, 0);
        if (fd >= 0) ::close(fd);
        EXPECT_EQ(SourceFileKindProblem(t.path("b/x.eml"), size), "symbolic link");
        EXPECT_TRUE(GetFileAttrBeside(t.path("b/x.eml.meta")) & kFileAttributeReparsePoint);
        EXPECT_EQ(OpenSourceFile(t.path("b/x.eml")), -1);
        EXPECT_EQ(errno, ELOOP);
        EXPECT_EQ(SourceFileKindProblem(t.path("c/x.eml"), size), std::strerror(ENOENT));
        EXPECT_EQ(GetFileAttrBeside(t.path("c/x.eml.meta")), kInvalidFileAttributes);
    }
}

// Builds a folder chain whose full path is longer than PATH_MAX, the way an
// extracted archive can, and works in it through the file operations only.
TEST(FileApi, PathsLongerThanPathMax) {
    TempTree t;
    const std::string component(200, 'd');
    std::string deep = t.root();
    int fd = ::open(t.root().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::vector<std::string> folders;
    for (int level = 0; level < 25; ++level) {
        ASSERT_EQ(::mkdirat(fd, component.c_str(), 0755), 0);
        const int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
        deep += component + "/";
        folders.push_back(deep);
    }
    const int f = ::openat(fd, "deep.eml", O_WRONLY | O_CREAT, 0444);
    ASSERT_GE(f, 0);
    ASSERT_EQ(::write(f, "Subject: deep\r\n\r\nbody\r\n", 23), 23);
    ::close(f);
    ::close(fd);
    const std::string file = deep + "deep.eml";
    ASSERT_GT(file.size(), 4096u);

    EXPECT_TRUE(FileExists(file));
    EXPECT_TRUE(FolderExists(deep));
    EXPECT_EQ(GetFileAttr(file), kFileAttributeReadOnly);

    FileQueue queue;
    QueueCounter counter = 1;
    std::string folder = t.root();
    QueueMailboxFilesLong(queue, folder, "*.*", counter, nullptr);
    ASSERT_EQ(counter, 2);
    EXPECT_EQ(queue[0].item, file);
    FileQueue again;
    counter = 1;
    QueueMailboxFiles(again, folder, "*.*", counter, nullptr);
    EXPECT_EQ(again.Items(), queue.Items());

    const int rfd = OpenForReading(file);
    ASSERT_GE(rfd, 0);
    char buf[9] = {};
    EXPECT_EQ(::read(rfd, buf, 8), 8);
    ::close(rfd);
    EXPECT_EQ(std::string(buf), "Subject:");

    EXPECT_EQ(RemoveFile(file), 0);
    EXPECT_FALSE(FileExists(file));
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) ASSERT_EQ(RemoveEmptyFolder(*it), 0);
}

// An archive's entry held in memory is a regular file to every operation, and
// removing it forgets it without touching a file of that path on disk.
TEST(FileApi, MemoryFilesAreRegularFilesUntilRemoved) {
    TempTree t;
    const std::string path = t.path("Inbox/0000000300-Hi.eml");
    auto file = std::make_shared<MemoryFile>();
    file->bytes = std::string("Subject: hi\r\n\0tail", 18);
    PutMemoryFile(path, file);
    EXPECT_TRUE(FileExists(path));
    EXPECT_FALSE(FolderExists(path));
    EXPECT_EQ(GetFileAttr(path), kFileAttributeNormal);
    EXPECT_EQ(FileSizeOf(path), 18u);
    EXPECT_EQ(SourceFileProblem(path), "");
    const int fd = OpenForReading(path);
    ASSERT_GE(fd, 0);
    char buffer[64];
    EXPECT_EQ(::read(fd, buffer, sizeof buffer), 18);
    EXPECT_EQ(std::string(buffer, 18), file->bytes);
    ::close(fd);
    EXPECT_EQ(RemoveFile(path), 0);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(RemoveFile(path), kErrorFileNotFound);
    // A file on disk under a memory file's name comes back once the memory one goes.
    t.file("Inbox/0000000301-Disk.eml");
    const std::string disk = t.path("Inbox/0000000301-Disk.eml");
    PutMemoryFile(disk, file);
    EXPECT_EQ(FileSizeOf(disk), 18u);
    EXPECT_TRUE(DropMemoryFile(disk));
    EXPECT_TRUE(FileExists(disk));
    EXPECT_NE(FileSizeOf(disk), 18u);
}
