// Atomic file replacement on Windows: the new file is written through its handle beside the
// target, flushed with FlushFileBuffers, closed, and moved over the target with MoveFileExW
// (replace existing, write through). Names are split and joined as UTF-16: in code page 936 a
// backslash byte can be the second half of a Chinese character.
#include <windows.h>

#include <aclapi.h>

#include <utility>
#include <vector>

#include "common/file_writer.h"
#include "common/windows_text.h"

namespace lenvaro::files {
namespace {

// Names stay within the file system's 255 characters with the prefix and suffix added.
constexpr size_t kLongestKeptName = 200;

// Access for the user this process runs as and for the system account, nobody else, and none
// taken over from the folder: what mode 0600 is on Linux.
class PrivateSecurity {
public:
    PrivateSecurity() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user_.resize(size);
        const bool haveUser = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
        CloseHandle(token);
        DWORD systemSize = SECURITY_MAX_SID_SIZE;
        system_.resize(systemSize);
        if (!haveUser || !CreateWellKnownSid(WinLocalSystemSid, nullptr, system_.data(), &systemSize)) return;
        EXPLICIT_ACCESSW entries[2]{};
        PSID sids[2] = {reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid, system_.data()};
        for (int i = 0; i < 2; ++i) {
            entries[i].grfAccessPermissions = GENERIC_ALL;
            entries[i].grfAccessMode = SET_ACCESS;
            entries[i].grfInheritance = NO_INHERITANCE;
            entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
            entries[i].Trustee.TrusteeType = TRUSTEE_IS_USER;
            entries[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i]);
        }
        if (SetEntriesInAclW(2, entries, nullptr, &acl_) != ERROR_SUCCESS) return;
        // Protected: the folder's inheritable entries are not added to these two.
        if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_, FALSE) ||
            !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
            return;
        }
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
        ready_ = true;
    }
    ~PrivateSecurity() {
        if (acl_ != nullptr) LocalFree(acl_);
    }
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;

    SECURITY_ATTRIBUTES* attributes() { return ready_ ? &attributes_ : nullptr; }

private:
    std::vector<BYTE> user_;
    std::vector<BYTE> system_;
    PACL acl_ = nullptr;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ready_ = false;
};

}  // namespace

AtomicFile::AtomicFile(std::string path, FileAccess access, const std::string& temporarySuffix)
    : path_(std::move(path)) {
    const std::wstring target = internalToWide(path_);
    const size_t separator = target.find_last_of(L"\\/");
    // Everything up to the name: a folder, a drive ("C:name"), or nothing (the current folder).
    const size_t nameStart = separator != std::wstring::npos ? separator + 1
                             : target.size() >= 2 && target[1] == L':' ? 2
                                                                       : 0;
    const std::wstring name = target.substr(nameStart);
    if (path_.empty() || name.empty() || name == L"." || name == L"..") {
        fail("the path names a folder", ERROR_DIRECTORY);
        return;
    }
    const DWORD existing = GetFileAttributesW(target.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        fail("the path names a folder", ERROR_DIRECTORY);
        return;
    }

    // Document and Shared files get what the folder gives new files; private data its own rules.
    PrivateSecurity privateSecurity;
    SECURITY_ATTRIBUTES* security = nullptr;
    if (access == FileAccess::Private) {
        security = privateSecurity.attributes();
        if (security == nullptr) {
            fail("cannot set its permissions", GetLastError());
            return;
        }
    }
    const std::wstring base = target.substr(0, nameStart) + L"." + name.substr(0, kLongestKeptName) + L".";
    const std::wstring suffix = internalToWide(temporarySuffix.empty() ? std::string(".part") : temporarySuffix);
    for (int attempt = 0; attempt < 64 && handle_ == nullptr; ++attempt) {
        const std::string tag = detail::temporaryNameTag(GetCurrentProcessId());
        const std::wstring candidate = base + std::wstring(tag.begin(), tag.end()) + suffix;
        HANDLE file = CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, security, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
            CloseHandle(file);
            fail("the path names something other than a file", ERROR_BAD_FILE_TYPE);
            return;
        }
        if (file != INVALID_HANDLE_VALUE) {
            handle_ = file;
            temporary_ = wideToInternal(candidate);
        } else if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            fail("cannot create a file in its folder", GetLastError());
            return;
        }
    }
    if (handle_ == nullptr) fail("cannot create a file in its folder", ERROR_FILE_EXISTS);
}

AtomicFile::~AtomicFile() {
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
    if (!temporary_.empty()) DeleteFileW(internalToWide(temporary_).c_str());
}

bool AtomicFile::fail(const char* what, int errorNumber) {
    if (!failed_) {
        error_ = "cannot write " + path_ + ": " + what + " (" + systemErrorText(static_cast<DWORD>(errorNumber)) + ")";
    }
    failed_ = true;
    return false;
}

bool AtomicFile::write(const void* data, size_t size) {
    if (failed_ || handle_ == nullptr) return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), bytes, chunk, &written, nullptr)) {
            return fail("writing failed", GetLastError());
        }
        if (written == 0) return fail("writing failed", ERROR_WRITE_FAULT);
        bytes += written;
        size -= written;
    }
    return true;
}

bool AtomicFile::commit() {
    if (failed_ || handle_ == nullptr) return false;
    // The data reaches the disk before the name does, so a power cut leaves the old file or
    // the whole new one.
    HANDLE file = static_cast<HANDLE>(handle_);
    if (!FlushFileBuffers(file)) return fail("flushing failed", GetLastError());
    handle_ = nullptr;
    if (!CloseHandle(file)) return fail("closing failed", GetLastError());
    // Write-through: the call returns once the new name is on the disk too.
    if (!MoveFileExW(internalToWide(temporary_).c_str(), internalToWide(path_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return fail("cannot put it in place", GetLastError());
    }
    temporary_.clear();
    return true;
}

}  // namespace lenvaro::files
