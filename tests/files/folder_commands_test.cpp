// Folder listing and deletion through the recording fake, over real folder trees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "fake_pictavo.h"
#include "files/folder_walk.h"
#include "common/paths.h"
#include "command_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class FolderCommands : public lenvaro::testing::CommandTest {
  protected:
    // Creates the file (and the folders on its way) below the scratch folder.
    void file(const std::string& relative) {
        std::string path = folder_.path();
        size_t start = 0;
        for (size_t slash; (slash = relative.find('/', start)) != std::string::npos;
             start = slash + 1) {
            path += "/" + relative.substr(start, slash - start);
            mkdir(path.c_str(), 0700);
        }
        std::ofstream(folder_.file(relative)) << relative;
    }
    void folder(const std::string& relative) { mkdir(folder_.file(relative).c_str(), 0700); }
    void link(const std::string& target, const std::string& relative) {
        ASSERT_EQ(symlink(target.c_str(), folder_.file(relative).c_str()), 0);
    }

    std::string root() const { return folder_.path(); }
    std::string listing(const std::string& dictpry) {
        const Texts sent = harness_.request(
            R"({"FuncName":"getFolderDayFileA","argument":{"Dictpry":")" + dictpry + R"("}})");
        return sent.size() == 1 ? sent[0] : "<" + std::to_string(sent.size()) + " messages>";
    }
    // The listing entries F//name; of the scratch folder, in order.
    std::string expected(const Texts& names, const std::string& prefix = "") const {
        std::string text = "$$$";
        for (const std::string& name : names)
            text += (prefix.empty() ? root() : prefix) + "//" + name + ";";
        return text;
    }

    ScratchDirectory folder_;
};

TEST_F(FolderCommands, ListsEveryFileInByteOrderBehindTheFolderMarker) {
    for (const char* name : {"b.jpg", "a.jpg", "B.jpg", "a b.png", "\xC3\xA9.jpg"}) file(name);
    EXPECT_EQ(listing(root()), expected({"B.jpg", "a b.png", "a.jpg", "b.jpg", "\xC3\xA9.jpg"}));
    EXPECT_TRUE(harness_.calls().empty());
}

TEST_F(FolderCommands, UsesTheFolderTextUnchanged) {
    file("a.jpg");
    EXPECT_EQ(listing(root() + "/"), expected({"a.jpg"}, root() + "/"));
    EXPECT_EQ(listing(root() + "//."), expected({"a.jpg"}, root() + "//."));
}

TEST_F(FolderCommands, ListsSubfolderFilesByNameWhereTheSubfolderFalls) {
    for (const char* name : {"a.jpg", "m/x.jpg", "m/n/y.jpg", "m/b.jpg", "z.jpg"}) file(name);
    folder("e");
    EXPECT_EQ(listing(root()), expected({"a.jpg", "b.jpg", "y.jpg", "x.jpg", "z.jpg"}));
}

TEST_F(FolderCommands, SkipsFoldersStartingWithADotButListsHiddenFiles) {
    for (const char* name : {".cache/c.jpg", "..x/d.jpg", ".profile", "sub/.hidden", "sub/.git/e"})
        file(name);
    EXPECT_EQ(listing(root()), expected({".profile", ".hidden"}));
}

TEST_F(FolderCommands, ListsLinksToFilesButNeverEntersLinksToFolders) {
    file("real/x.jpg");
    file("target.jpg");
    link(root(), "loop");   // back to the walked folder
    link("..", "real/up");  // to the parent of the walked folder
    link(root() + "/target.jpg", "alias.jpg");
    link(root() + "/nothing", "dangling");
    EXPECT_EQ(listing(root()), expected({"alias.jpg", "dangling", "x.jpg", "target.jpg"}));
    // The walked folder itself may be a link.
    ScratchDirectory elsewhere;
    const std::string named = elsewhere.file("named");
    ASSERT_EQ(symlink((root() + "/real").c_str(), named.c_str()), 0);
    EXPECT_EQ(listing(named), expected({"x.jpg"}, named));
}

TEST_F(FolderCommands, MissingEmptyOrUnsearchableFoldersListNothing) {
    file("a.jpg");
    EXPECT_EQ(listing(root() + "/missing"), "$$$");
    EXPECT_EQ(listing(root() + "/a.jpg"), "$$$");
    EXPECT_EQ(listing(""), "$$$");
    folder("empty");
    EXPECT_EQ(listing(root() + "/empty"), "$$$");
    EXPECT_EQ(harness_.request(R"({"FuncName":"getFolderDayFileA"})"), Texts{"$$$"});
}

// Permissions do not stop root, so as root the walk runs in a child process that has given its
// rights up.
std::vector<std::string> namesListedWithoutPrivileges(const std::string& folder) {
    std::vector<std::string> names;
    if (geteuid() != 0) {
        for (const FoundFile& file : listFilesRecursive(folder)) names.push_back(file.relativePath);
        return names;
    }
    int out[2];
    if (pipe(out) != 0) return {"<no pipe>"};
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        std::string text;
        for (const FoundFile& file : listFilesRecursive(folder)) text += file.relativePath + "\n";
        _exit(write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 3);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {"<child failed>"};
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
        names.push_back(text.substr(start, end - start));
    return names;
}

TEST_F(FolderCommands, SkipsFoldersItCannotReadSilently) {
    file("a.jpg");
    file("locked/hidden.jpg");
    file("open/b.jpg");
    file("z.jpg");
    for (const char* folder : {"", "/open"}) chmod((root() + folder).c_str(), 0755);
    for (const char* name : {"/a.jpg", "/z.jpg", "/open/b.jpg"})
        chmod((root() + name).c_str(), 0644);
    chmod(folder_.file("locked").c_str(), 0);
    EXPECT_EQ(namesListedWithoutPrivileges(root()), (Texts{"a.jpg", "open/b.jpg", "z.jpg"}));
    chmod(folder_.file("locked").c_str(), 0700);
}

TEST_F(FolderCommands, RefusesAFolderTextTooLongForThePathBuffer) {
    file("a.jpg");
    // Padding with "/" keeps naming the same folder, so only the length decides.
    const std::string fits = root() + std::string(2047 - root().size(), '/');
    EXPECT_EQ(listing(fits), expected({"a.jpg"}, fits));
    EXPECT_EQ(listing(fits + "/"), "$$$");
    EXPECT_EQ(harness_.request(R"({"FuncName":"DeleteFolderDayFileA","argument":{"Dictpry":")" +
                               fits + R"(/"}})"),
              Texts{R"({"FuncName":"DeleteFolderDayFileA","result":""})"});
    EXPECT_TRUE(harness_.calls().empty());
}

TEST_F(FolderCommands, DeletesEveryFileFoundIncludingThoseInSubfolders) {
    for (const char* name : {"a.jpg", "m/x.jpg", "m/n/y.jpg", ".cache/keep", ".profile"})
        file(name);
    link(root(), "loop");
    Fake::programSequence("camDeleteFile", {Outcome::returns(0), Outcome::returns(-5)});
    EXPECT_EQ(harness_.request(R"({"FuncName":"DeleteFolderDayFileA","argument":{"Dictpry":")" +
                               root() + R"("}})"),
              Texts{R"({"FuncName":"DeleteFolderDayFileA","result":""})"});
    const std::string f = root() + "//";
    EXPECT_EQ(
        harness_.calls(),
        Texts({"camDeleteFile(\"" + f + ".profile\")", "camDeleteFile(\"" + f + "a.jpg\")",
               "camDeleteFile(\"" + f + "m/n/y.jpg\")", "camDeleteFile(\"" + f + "m/x.jpg\")"}));
}

TEST_F(FolderCommands, DeletingAMissingFolderDeletesNothingAndRepliesEmpty) {
    EXPECT_EQ(harness_.request(R"({"FuncName":"DeleteFolderDayFileA","argument":{"Dictpry":")" +
                               root() + R"(/missing"}})"),
              Texts{R"({"FuncName":"DeleteFolderDayFileA","result":""})"});
    EXPECT_EQ(harness_.request(R"({"FuncName":"DeleteFolderDayFileA"})"),
              Texts{R"({"FuncName":"DeleteFolderDayFileA","result":""})"});
    EXPECT_TRUE(harness_.calls().empty());
}

TEST_F(FolderCommands, DeleteFilePassesThePathAndRepliesTheStatus) {
    Fake::programSequence("camDeleteFile", {Outcome::returns(-5), Outcome::returns(0)});
    EXPECT_EQ(
        harness_.request(R"({"FuncName":"camDeleteFile","argument":{"FilePath":"/x/a b.jpg"}})"),
        Texts{R"({"FuncName":"camDeleteFile","result":"-5"})"});
    EXPECT_EQ(harness_.request(R"({"FuncName":"camDeleteFile","argument":{"FilePath":7}})"),
              Texts{R"({"FuncName":"camDeleteFile","result":"0"})"});
    const std::string tooLong(2048, 'a');
    harness_.request(R"({"FuncName":"camDeleteFile","argument":{"FilePath":")" + tooLong +
                     R"("}})");
    EXPECT_EQ(harness_.calls(), Texts({"camDeleteFile(\"/x/a b.jpg\")", "camDeleteFile(\"\")",
                                       "camDeleteFile(\"\")"}));
}

// Removes a chain of folders named "d" below `root` from the bottom up, going from folder to
// parent through "..", so that no path ever gets long (the chain is deeper than removal by path
// can reach) and only two folders are open at a time.
void removeDeepChain(const std::string& root) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    int depth = 0;
    for (int next; (next = openat(fd, "d", O_RDONLY | O_DIRECTORY)) >= 0; ++depth) {
        close(fd);
        fd = next;
    }
    for (;; --depth) {
        unlinkat(fd, "mid.txt", 0);
        unlinkat(fd, "deep.txt", 0);
        if (depth == 0) break;
        const int parent = openat(fd, "..", O_RDONLY | O_DIRECTORY);
        close(fd);
        unlinkat(parent, "d", AT_REMOVEDIR);
        fd = parent;
    }
    close(fd);
}

// The walk must end and stay correct whatever the depth: paths past the system's limit are
// skipped like unreadable folders, shallower files are still found in order.
TEST(FolderWalk, SurvivesATreeDeeperThanThePathLimit) {
    ScratchDirectory root;
    int fd = open(root.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::string expectedRelative;
    // 2200 levels of "/d" make a path longer than the 4096 bytes Linux accepts.
    for (int depth = 0; depth < 2200 && fd >= 0; ++depth) {
        if (depth == 1000) {
            const int file = openat(fd, "mid.txt", O_WRONLY | O_CREAT, 0600);
            ASSERT_GE(file, 0);
            close(file);
        }
        ASSERT_EQ(mkdirat(fd, "d", 0700), 0);
        const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        if (depth < 1000) expectedRelative += "d/";
    }
    ASSERT_GE(fd, 0);
    const int deepest = openat(fd, "deep.txt", O_WRONLY | O_CREAT, 0600);
    close(deepest);
    close(fd);

    const std::vector<FoundFile> files = listFilesRecursive(root.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name, "mid.txt");
    EXPECT_EQ(files[0].relativePath, expectedRelative + "mid.txt");
    removeDeepChain(root.path());
}

}  // namespace
}  // namespace lenvaro
