// The one file writer: whole files or none, the mode users expect under any umask, and every
// failure reported with the file it concerns.
#include "common/file_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/paths.h"

namespace lenvaro::files {
namespace {

namespace fs = std::filesystem;

std::string content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

size_t entriesIn(const std::string& folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

bool write(const std::string& path, const std::string& text, FileAccess access, std::string* error = nullptr) {
    return writeFileAtomically(path, text.data(), text.size(), access, error);
}

// Sets the umask for one test and puts the old one back.
class Umask {
public:
    explicit Umask(mode_t mask) : previous_(::umask(mask)) {}
    ~Umask() { ::umask(previous_); }

private:
    mode_t previous_;
};

TEST(FileWriter, NewFilesFollowTheUmaskReplacedOnesKeepTheirModePrivateAndSharedOnesHaveTheirOwn) {
    struct Case {
        mode_t umask;
        mode_t newDocument;
    };
    for (const Case& c : {Case{022, 0644}, Case{077, 0600}, Case{002, 0664}}) {
        const Umask mask(c.umask);
        ScratchDirectory dir;
        EXPECT_TRUE(write(dir.file("new.jpg"), "capture", FileAccess::Document));
        EXPECT_EQ(modeOf(dir.file("new.jpg")), c.newDocument) << std::oct << c.umask;

        EXPECT_TRUE(write(dir.file("finger.bmp"), "ridges", FileAccess::Private));
        EXPECT_EQ(modeOf(dir.file("finger.bmp")), 0600u) << std::oct << c.umask;

        // A file the user shared with a group stays shared after a new capture replaces it.
        std::ofstream(dir.file("shared.jpg")) << "old";
        ::chmod(dir.file("shared.jpg").c_str(), 0640);
        EXPECT_TRUE(write(dir.file("shared.jpg"), "new capture", FileAccess::Document));
        EXPECT_EQ(content(dir.file("shared.jpg")), "new capture");
        EXPECT_EQ(modeOf(dir.file("shared.jpg")), 0640u) << std::oct << c.umask;

        // Biometric data never stays readable by others, whatever it replaces.
        std::ofstream(dir.file("feature.dat")) << "old";
        ::chmod(dir.file("feature.dat").c_str(), 0644);
        EXPECT_TRUE(write(dir.file("feature.dat"), "new feature", FileAccess::Private));
        EXPECT_EQ(modeOf(dir.file("feature.dat")), 0600u);

        // What other programs must read is readable by all, whatever the umask.
        EXPECT_TRUE(write(dir.file("policy.json"), "{}", FileAccess::Shared));
        EXPECT_EQ(modeOf(dir.file("policy.json")), 0644u) << std::oct << c.umask;

        EXPECT_EQ(entriesIn(dir.path()), 5u) << "no temporary file is left behind";
    }
}

TEST(FileWriter, EveryFailureIsReportedAndLeavesTheTargetAndTheFolderAsTheyWere) {
    ScratchDirectory dir;
    std::ofstream(dir.file("kept.txt")) << "kept";
    fs::create_directory(dir.file("folder"));
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);

    for (const std::string& target : {dir.file("missing/a.jpg"), dir.file("folder"), dir.file("folder/"),
                                      dir.file("pipe"), std::string("")}) {
        std::string error;
        EXPECT_FALSE(write(target, "data", FileAccess::Document, &error)) << target;
        EXPECT_NE(error.find("cannot write " + target), std::string::npos) << error;
    }
    EXPECT_EQ(content(dir.file("kept.txt")), "kept");
    EXPECT_EQ(entriesIn(dir.path()), 3u) << "kept.txt, folder and pipe only";

    // Written but never committed: the target is untouched and the new file is gone.
    {
        AtomicFile file(dir.file("kept.txt"), FileAccess::Document);
        ASSERT_TRUE(file.ready());
        EXPECT_TRUE(file.write("half", 4));
    }
    EXPECT_EQ(content(dir.file("kept.txt")), "kept");
    EXPECT_EQ(entriesIn(dir.path()), 3u);
}

TEST(FileWriter, WritersThatOpenTheFileByNameGetANameWithTheirSuffix) {
    ScratchDirectory dir;
    AtomicFile file(dir.file("book.pdf"), FileAccess::Document, ".pdf");
    ASSERT_TRUE(file.ready());
    const std::string& name = file.temporaryPath();
    EXPECT_EQ(name.substr(name.size() - 4), ".pdf");
    EXPECT_EQ(name.rfind(dir.path() + "/.", 0), 0u) << "beside the target, hidden: " << name;
    // A library writes it by name, truncating what is there.
    std::ofstream(name, std::ios::binary | std::ios::trunc) << "%PDF-1.4";
    EXPECT_FALSE(fs::exists(dir.file("book.pdf")));
    ASSERT_TRUE(file.commit()) << file.error();
    EXPECT_EQ(content(dir.file("book.pdf")), "%PDF-1.4");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

}  // namespace
}  // namespace lenvaro::files
