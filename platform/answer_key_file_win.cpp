// The pending answer keys on Windows: answer-keys in %APPDATA%\Pelvoran.
//
// The file relies on the folder it is in for its privacy: the roaming
// application data folder lies in the user's profile, which Windows makes
// readable by the user, SYSTEM and the administrators only, and the files
// made here inherit that. Anyone who can read it could read the user's
// comments and the secrets that fetch their answers; no one else can.
#include "platform/answer_key_file.h"

#include "platform/text.h"

#include <windows.h>

#include <algorithm>
#include <string_view>

namespace pelvoran {

namespace {

/// Closes a handle when it goes.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

std::wstring widePath(const std::string& utf8) {
    const Text text = fromUtf8Lenient(utf8);
    return std::wstring(text.begin(), text.end());
}

bool isFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

/// Makes `folder` and the folders above it that are missing.
bool makeFolders(const std::wstring& folder, int depth = 0) {
    if (isFolder(folder))
        return true;
    if (depth > 64) // deeper than any path Windows opens
        return false;
    const std::size_t slash = folder.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 0 && folder[slash - 1] != L':' &&
        !makeFolders(folder.substr(0, slash), depth + 1))
        return false;
    return CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool writeAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0)
            return false;
        bytes.remove_prefix(written);
    }
    return true;
}

/// The whole file, nullopt when there is none; false when it cannot be read.
bool readWhole(const std::wstring& path, std::optional<std::string>& contents) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        contents.reset();
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    std::string bytes;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
            return false;
        if (got == 0)
            break;
        bytes.append(buffer, got);
        // The file holds at most 20 records of a few kilobytes each.
        if (bytes.size() > (4u << 20))
            break;
    }
    contents = std::move(bytes);
    return true;
}

/// A new, empty file beside `path` that no one else has opened, and its name.
HANDLE createTemporary(const std::wstring& path, std::wstring& name) {
    static LONG counter = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        name = path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(InterlockedIncrement(&counter)) + L"-" +
               std::to_wstring(GetTickCount64()) + L".tmp";
        const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

/// MoveFileExW, again a few times while another program (a virus scanner, an
/// indexer) holds the file open for a moment.
bool moveOver(const std::wstring& from, const std::wstring& to) {
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD error = GetLastError();
        if (attempt == 4 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
            return false;
        Sleep(50);
    }
}

class WinAnswerKeyFile final : public AnswerKeyFile {
public:
    explicit WinAnswerKeyFile(std::wstring folder) : folder_(std::move(folder)) {}

    bool update(const std::function<Change(const std::optional<std::string>&)>& decide) override {
        if (!makeFolders(folder_))
            return false;
        const std::wstring path = folder_ + L"\\answer-keys";
        const FileHandle lock(CreateFileW((path + L".lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!lock.valid())
            return false;
        // Waits for another tool's change; released when the handle closes.
        OVERLAPPED whole{};
        if (!LockFileEx(lock.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
            return false;
        std::optional<std::string> contents;
        if (!readWhole(path, contents))
            return false;
        const Change change = decide(contents);
        switch (change.kind) {
        case Change::Kind::Keep: return true;
        case Change::Kind::SetAside: return moveOver(path, path + L".damaged");
        case Change::Kind::Write: break;
        }
        std::wstring temporary;
        bool written = false;
        {
            const FileHandle file(createTemporary(path, temporary));
            if (!file.valid())
                return false;
            written = writeAll(file.get(), change.contents) && FlushFileBuffers(file.get());
        }
        if (!written || !moveOver(temporary, path)) {
            DeleteFileW(temporary.c_str());
            return false;
        }
        return true;
    }

private:
    std::wstring folder_;
};

/// An absolute path: a drive's ("C:\") or a share's ("\\server\").
bool isAbsolute(std::wstring_view path) {
    return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
           path.starts_with(L"\\\\");
}

} // namespace

std::unique_ptr<AnswerKeyFile> answerKeyFileIn(const std::string& folder) {
    std::wstring path = widePath(folder);
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return std::make_unique<WinAnswerKeyFile>(std::move(path));
}

std::unique_ptr<AnswerKeyFile> userAnswerKeyFile() {
    // The roaming application data folder as the user's environment names it
    // (Windows sets APPDATA at every logon); without one the tool keeps no
    // keys and its comments go out as they always have.
    std::wstring folder(32767, L'\0'); // the longest value a variable holds
    const DWORD length =
        GetEnvironmentVariableW(L"APPDATA", folder.data(), static_cast<DWORD>(folder.size()));
    if (length == 0 || length >= folder.size())
        return nullptr;
    folder.resize(length);
    if (!isAbsolute(folder))
        return nullptr;
    return std::make_unique<WinAnswerKeyFile>(folder + L"\\Pelvoran");
}

} // namespace pelvoran
