// The Windows side of the platform layer, under Wine: code pages 936 and 1252 through the
// system's conversions, paths handed to the system as UTF-16 (Chinese folder names under both
// code pages), the one file writer, the folder walk, the named mutex and the daily log.
#include <windows.h>

#include <aclapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "common/code_page.h"
#include "common/daily_log.h"
#include "common/file_io.h"
#include "common/file_writer.h"
#include "common/paths.h"
#include "common/windows_text.h"
#include "files/folder_walk.h"
#include "files/text_encoding.h"
#include "host/instance_guard.h"

namespace lenvaro {
namespace {

const std::wstring kScan = L"\u626B\u63CF";  // 扫描
const std::string kScanUtf8 = "\xE6\x89\xAB\xE6\x8F\x8F";
const std::string kScanGbk = "\xC9\xA8\xC3\xE8";

class CodePage {
public:
    explicit CodePage(const std::string& name) { setInternalCodePage(name); }
    ~CodePage() { setInternalCodePage("UTF-8"); }
};

// A folder of the test's own, made and removed through the wide-character services.
class WideFolder {
public:
    WideFolder() {
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        path_ = std::wstring(temp) + L"lenvaro-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter_++);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~WideFolder() {
        CodePage utf8("UTF-8");
        removeTree(wideToInternal(path_));
    }
    const std::wstring& path() const { return path_; }
    void makeFolder(const std::wstring& relative) const { CreateDirectoryW((path_ + L"\\" + relative).c_str(), nullptr); }
    void makeFile(const std::wstring& relative, const std::string& content = "x") const {
        HANDLE file = CreateFileW((path_ + L"\\" + relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(file);
    }
    bool exists(const std::wstring& relative) const {
        return GetFileAttributesW((path_ + L"\\" + relative).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    std::vector<std::wstring> names(const std::wstring& relative) const {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((path_ + L"\\" + relative + L"\\*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) return found;
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..") found.push_back(name);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        std::sort(found.begin(), found.end());
        return found;
    }

private:
    static inline int counter_ = 0;
    std::wstring path_;
};

TEST(WindowsCodePages, ConvertWithTheSystemsCodePages) {
    {
        CodePage gbk("CP936");
        EXPECT_EQ(internalCodePage(), "CP936");
        EXPECT_EQ(utf8ToAnsi("D:\\" + kScanUtf8), "D:\\" + kScanGbk);
        EXPECT_EQ(ansiToUtf8("D:\\" + kScanGbk), "D:\\" + kScanUtf8);
        EXPECT_EQ(utf8ToAnsi("\xE2\x98\x83"), "?");  // a snowman is not in GBK
        std::string oem;
        wideToOem(u"\u5F20\u4E09", oem);
        EXPECT_EQ(oem, "\xD5\xC5\xC8\xFD");
    }
    {
        CodePage western("CP1252");
        EXPECT_EQ(utf8ToAnsi("\xC3\xA9\xE2\x82\xAC"), "\xE9\x80");  // é €
        EXPECT_EQ(ansiToUtf8("\xE9\x80"), "\xC3\xA9\xE2\x82\xAC");
        EXPECT_EQ(utf8ToAnsi(kScanUtf8), "??");
    }
    // Names that Linux programs use for the same code pages.
    EXPECT_EQ(codePageNumber("GBK"), 936u);
    EXPECT_EQ(codePageNumber("windows-1252"), 1252u);
    EXPECT_EQ(codePageNumber("UTF-8"), static_cast<UINT>(CP_UTF8));
    EXPECT_EQ(codePageNumber("no such thing"), 0u);
    EXPECT_EQ(localeCodePage(), codePageName(GetACP()));
}

// A folder 扫描 holding a.jpg ("abc"), named in code page 936.
class WindowsChineseFolder936 : public ::testing::Test {
protected:
    WindowsChineseFolder936() {
        root.makeFolder(kScan);
        root.makeFile(kScan + L"\\a.jpg", "abc");
    }

    WideFolder root;
    CodePage gbk{"CP936"};
    const std::string folder = wideToInternal(root.path()) + "\\" + kScanGbk;
};

TEST_F(WindowsChineseFolder936, PathsReachTheSystemAsUtf16) {
    EXPECT_TRUE(isDirectory(folder));
    EXPECT_TRUE(pathExists(folder + "\\a.jpg"));
    std::string bytes;
    EXPECT_TRUE(readRegularFile(folder + "\\a.jpg", bytes));
    EXPECT_EQ(bytes, "abc");
    EXPECT_TRUE(writeFileBytes(folder + "\\b.jpg", "xyz", 3));
    EXPECT_TRUE(root.exists(kScan + L"\\b.jpg"));
    EXPECT_TRUE(removeFile(folder + "\\b.jpg"));
    EXPECT_FALSE(root.exists(kScan + L"\\b.jpg"));
    FILE* file = openFile(folder + "\\a.jpg", "rb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(resolvedPath(folder + "\\a.jpg"), folder + "\\a.jpg");
}

// Code page 1252 cannot spell the name; the system's short name for it can, and reaches the
// same folder.
TEST(WindowsPaths, ChineseFolderNamesWorkUnderCodePage1252) {
    WideFolder root;
    root.makeFolder(kScan);
    root.makeFile(kScan + L"\\a.jpg", "abc");
    CodePage western("CP1252");
    const std::string folder = pathToInternal(root.path() + L"\\" + kScan);
    EXPECT_EQ(folder.find('?'), std::string::npos) << folder;
    EXPECT_TRUE(isDirectory(folder));
    std::string bytes;
    EXPECT_TRUE(readRegularFile(folder + "\\a.jpg", bytes));
    EXPECT_EQ(bytes, "abc");
    // A name the code page can spell stays as it is.
    EXPECT_EQ(pathToInternal(L"C:\\caf\u00E9"), "C:\\caf\xE9");
}

// The one file writer: whole files moved over their target through UTF-16 paths, nothing left
// beside them, and every failure told with the file it concerns.
TEST_F(WindowsChineseFolder936, TheFileWriterReplacesWholeFilesLeavesNothingBesideAndTellsFailures) {
    std::string error;
    EXPECT_TRUE(files::writeFileAtomically(folder + "\\a.jpg", "new", 3, files::FileAccess::Document, &error)) << error;
    EXPECT_TRUE(files::writeFileAtomically(folder + "\\b.bmp", "fp", 2, files::FileAccess::Private, &error)) << error;
    std::string bytes;
    EXPECT_TRUE(readRegularFile(folder + "\\a.jpg", bytes));
    EXPECT_EQ(bytes, "new");
    {
        files::AtomicFile abandoned(folder + "\\c.pdf", files::FileAccess::Document);
        ASSERT_TRUE(abandoned.ready()) << abandoned.error();
        EXPECT_TRUE(abandoned.write("partial", 7));
    }
    EXPECT_EQ(root.names(kScan), (std::vector<std::wstring>{L"a.jpg", L"b.bmp"}));

    struct Failure {
        std::string path;
        std::string said;
    };
    for (const Failure& failure : {Failure{folder, "the path names a folder"},
                                   Failure{folder + "\\missing\\d.jpg", "cannot create a file in its folder"}}) {
        SCOPED_TRACE(failure.path);
        error.clear();
        EXPECT_FALSE(files::writeFileAtomically(failure.path, "x", 1, files::FileAccess::Document, &error));
        EXPECT_EQ(error.rfind("cannot write " + failure.path + ": " + failure.said, 0), 0u) << error;
    }
    EXPECT_TRUE(isDirectory(folder));
    EXPECT_EQ(root.names(kScan), (std::vector<std::wstring>{L"a.jpg", L"b.bmp"}));
}

// The accounts the access rules of a file name.
std::vector<std::wstring> accountsAllowedOn(const std::wstring& path) {
    std::vector<std::wstring> accounts;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return accounts;
    }
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&entry))) continue;
        wchar_t name[256], domain[256];
        DWORD nameLength = 256, domainLength = 256;
        SID_NAME_USE use;
        if (LookupAccountSidW(nullptr, &entry->SidStart, name, &nameLength, domain, &domainLength, &use)) {
            accounts.push_back(name);
        }
    }
    LocalFree(descriptor);
    std::sort(accounts.begin(), accounts.end());
    return accounts;
}

TEST(WindowsFileWriter, PrivateDataIsOpenToTheUserAndTheSystemAccountAlone) {
    // Wine keeps such rules as the file's mode (0600 here), and tells them back from it.
    WideFolder root;
    CodePage utf8("UTF-8");
    const std::string folder = wideToInternal(root.path());
    // Made new, and replacing a file made with the rules of its folder.
    root.makeFile(L"template.dat");
    for (const char* name : {"\\feature.dat", "\\template.dat"}) {
        ASSERT_TRUE(files::writeFileAtomically(folder + name, "fp", 2, files::FileAccess::Private));
    }
    wchar_t user[256];
    DWORD length = 256;
    ASSERT_TRUE(GetUserNameW(user, &length));
    std::vector<std::wstring> userAndSystem{L"SYSTEM", user};
    std::sort(userAndSystem.begin(), userAndSystem.end());
    EXPECT_EQ(accountsAllowedOn(root.path() + L"\\feature.dat"), userAndSystem);
    EXPECT_EQ(accountsAllowedOn(root.path() + L"\\template.dat"), userAndSystem);
}

TEST(WindowsFolderWalk, WalksWideNamesAndSkipsDotFolders) {
    WideFolder root;
    root.makeFile(L"a.jpg");
    root.makeFolder(kScan);
    root.makeFile(kScan + L"\\x.jpg");
    root.makeFile(kScan + L"\\" + kScan + L".jpg");
    root.makeFolder(L".cache");
    root.makeFile(L".cache\\hidden.jpg");
    root.makeFile(L".profile");

    auto names = [](const std::vector<FoundFile>& files) {
        std::vector<std::string> out;
        for (const FoundFile& file : files) out.push_back(file.name);
        std::sort(out.begin(), out.end());
        return out;
    };
    {
        CodePage gbk("CP936");
        const std::vector<FoundFile> files = listFilesRecursive(wideToInternal(root.path()));
        EXPECT_EQ(names(files), (std::vector<std::string>{".profile", "a.jpg", "x.jpg", kScanGbk + ".jpg"}));
        for (const FoundFile& file : files) {
            if (file.name == "x.jpg") {
                EXPECT_EQ(file.relativePath, kScanGbk + "\\x.jpg");
            }
        }
    }
    {
        // Under 1252 the Chinese subfolder is still walked; its Chinese file name shows as the
        // code page's default characters, and its path (by short names) still deletes it.
        CodePage western("CP1252");
        const std::string folder = wideToInternal(root.path());
        const std::vector<FoundFile> files = listFilesRecursive(folder);
        EXPECT_EQ(names(files), (std::vector<std::string>{".profile", "??.jpg", "a.jpg", "x.jpg"}));
        for (const FoundFile& file : files) {
            if (file.name == "??.jpg") {
                EXPECT_TRUE(removeFile(folder + "\\" + file.relativePath)) << file.relativePath;
            }
        }
        EXPECT_FALSE(root.exists(kScan + L"\\" + kScan + L".jpg"));
    }
    EXPECT_TRUE(listFilesRecursive(wideToInternal(root.path()) + "\\missing").empty());
}

TEST(WindowsInstanceGuard, TheNamedMutexLetsOneHolderInUntilItGoes) {
    const std::string name = "LenvaroServerTest-" + std::to_string(GetCurrentProcessId());
    EXPECT_EQ(runningInstance(name), 0);
    {
        InstanceGuard first(name);
        EXPECT_EQ(first.tryAcquire(), InstanceGuard::Outcome::Acquired);
        EXPECT_TRUE(first.held());
        EXPECT_EQ(runningInstance(name), -1);
        InstanceGuard second(name);
        EXPECT_EQ(second.tryAcquire(), InstanceGuard::Outcome::HeldByAnother);
        EXPECT_EQ(second.acquireWithin(std::chrono::milliseconds(120)), InstanceGuard::Outcome::HeldByAnother);
        EXPECT_FALSE(second.held());
    }
    EXPECT_EQ(runningInstance(name), 0);
    InstanceGuard again(name);
    EXPECT_EQ(again.tryAcquire(), InstanceGuard::Outcome::Acquired);
    EXPECT_EQ(defaultGuardPath(), "LenvaroServer");
}

std::string readAll(const std::wstring& path) {
    std::string bytes;
    CodePage utf8("UTF-8");
    readRegularFile(wideToInternal(path), bytes);
    return bytes;
}

TEST(WindowsDailyLog, TwoProcessesOfADayAppendToOneFileWithCrLfLines) {
    WideFolder root;
    root.makeFolder(kScan);
    CodePage gbk("CP936");
    const std::wstring folderWide = root.path() + L"\\" + kScan + L"\\Lenvaro1";
    const std::string folder = wideToInternal(folderWide);
    {
        DailyLog log(folder);
        log.writeLine("GenerateMiniDump");
    }
    {
        DailyLog later(folder);
        later.writeLine("second");
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folderWide + L"\\*.log").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    const std::string text = readAll(folderWide + L"\\" + found.cFileName);
    // Banner (in GBK), the line, banner again, the second line: each ending in CR LF.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8);
    EXPECT_NE(text.find("GenerateMiniDump\r\n"), std::string::npos);
    EXPECT_NE(text.find("second\r\n"), std::string::npos);
    EXPECT_NE(text.find("\xB4\xF2\xBF\xAA\xC8\xD5\xD6\xBE"), std::string::npos);  // 打开日志
    EXPECT_LT(text.find("GenerateMiniDump"), text.find("second"));
}

TEST(WindowsPaths, FoldersOfTheSystem) {
    CodePage ansi(localeCodePage());
    EXPECT_TRUE(isDirectory(temporaryFolder()));
    EXPECT_NE(temporaryFolder().back(), '\\');
    EXPECT_TRUE(isDirectory(moduleDirectory()));
    EXPECT_TRUE(pathExists(moduleDirectory() + "\\Pictavo.dll"));
    std::string scratchPath;
    {
        ScratchDirectory scratch(scratchParentFolder());
        scratchPath = scratch.path();
        EXPECT_TRUE(isDirectory(scratchPath));
        EXPECT_TRUE(writeFileBytes(scratch.file("a.jpg"), "x", 1));
    }
    EXPECT_FALSE(pathExists(scratchPath));
    // The tick count is the system's: milliseconds since start, as GetTickCount gives them.
    const uint32_t system = GetTickCount();
    EXPECT_LE(tickCount() - system, 1000u);
}

}  // namespace
}  // namespace lenvaro
