// The file operations on Windows.
//
// Every name goes to Win32 as UTF-16, taken from the wide command line, so
// nothing depends on the process's code page. Files are known by identity
// (volume serial number and file ID), never by how their names are spelled,
// and whether the output is a disk file comes from the handle it was opened
// with, which is also the handle written when it is a pipe or a device. The
// output's folder is named by the final path of what was opened (\\?\...), so
// long paths work and no name reaches the C runtime.
#include "system.hpp"

#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD DISK_QUOTA_EXCEEDED = 1295; // ERROR_DISK_QUOTA_EXCEEDED
// Paths that Windows takes are at most 32767 UTF-16 units.
constexpr std::size_t LONGEST_PATH = 32768;

std::wstring wide(const char* utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring result(length > 0 ? length - 1 : 0, L'\0');
    if (length > 1) {
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, result.data(), length);
    }
    return result;
}

std::string utf8(const wchar_t* text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(length > 0 ? length - 1 : 0, '\0');
    if (length > 1) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), length, nullptr, nullptr);
    }
    return result;
}

// The one file that a console event must delete, and the lock that keeps the
// event handler from seeing half a name.
wchar_t cleanup_name[LONGEST_PATH];
SRWLOCK cleanup_lock = SRWLOCK_INIT;

// Runs on a thread of its own. The lock is never released: the main thread
// can no longer rename or remove anything before the process ends.
BOOL WINAPI remove_on_console_event(DWORD)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    if (cleanup_name[0] != L'\0') {
        // The file was opened with FILE_SHARE_DELETE: its name goes now, or
        // when the process ends and the file is closed.
        DeleteFileW(cleanup_name);
    }
    // End as Windows' own handler ends a console program on Ctrl+C, with
    // STATUS_CONTROL_C_EXIT, but at once: no C library clean-up runs while the
    // main thread may hold a stream's lock.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// Call only while holding cleanup_lock. A name too long for the buffer could
// not have been opened in the first place.
void store_cleanup_name(const std::wstring& name)
{
    if (name.size() < std::size(cleanup_name)) {
        std::wmemcpy(cleanup_name, name.c_str(), name.size() + 1);
    }
}

void set_cleanup(const std::wstring& name)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    store_cleanup_name(name);
    ReleaseSRWLockExclusive(&cleanup_lock);
}

// Call only while holding cleanup_lock.
void clear_cleanup_name()
{
    cleanup_name[0] = L'\0';
}

// The identity of an open file: volume serial number and file ID.
struct Identity {
    bool known = false;
    FILE_ID_INFO id = {};
};

// Only files on a disk have one: pipes and devices are never the same file.
Identity identity_of(HANDLE handle)
{
    Identity identity;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        return identity;
    }
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &identity.id, sizeof identity.id)) {
        identity.known = true;
        return identity;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(handle, &information)) {
        identity.known = true;
        identity.id.VolumeSerialNumber = information.dwVolumeSerialNumber;
        const DWORD parts[2] = {information.nFileIndexLow, information.nFileIndexHigh};
        std::memcpy(identity.id.FileId.Identifier, parts, sizeof parts);
    }
    return identity;
}

bool same_identity(const Identity& a, const Identity& b)
{
    return a.known && b.known && a.id.VolumeSerialNumber == b.id.VolumeSerialNumber &&
           std::memcmp(a.id.FileId.Identifier, b.id.FileId.Identifier,
                       sizeof a.id.FileId.Identifier) == 0;
}

HANDLE handle_of(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

std::FILE* stream_of(HANDLE handle, int flags, const char* mode)
{
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (descriptor == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, mode);
    if (stream == nullptr) {
        _close(descriptor);
    }
    return stream;
}

std::FILE* output_stream_of(HANDLE handle)
{
    return stream_of(handle, _O_BINARY, "wb");
}

// The final path of an open file or folder (\\?\C:\..., \\?\UNC\...).
std::wstring final_path(HANDLE handle)
{
    static wchar_t path[LONGEST_PATH];
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path, std::size(path), FILE_NAME_NORMALIZED);
    return length > 0 && length < std::size(path) ? std::wstring(path, length) : std::wstring();
}

// What the output name was found to lead to. Looked at once: the same-file
// check and the opening of the output use the same findings, so a pipe or a
// device is opened only once.
struct Probe {
    bool done = false;
    DWORD error = ERROR_SUCCESS; // of opening the name, when it failed
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool writable = false;  // handle was opened for writing
    bool disk_file = false; // a file on a disk, not a folder, pipe or device
    bool folder = false;
    Identity identity;
};
Probe probe;

// The output's target, for a disk file or a new one: the final path of its
// folder, its name there, and whether it exists.
std::wstring target_folder;
std::wstring target_name;
bool target_exists = false;
bool temporary_is_only_copy = false; // the target went away in a failed replace

void probe_output(const char* path)
{
    if (probe.done) {
        return;
    }
    probe.done = true;
    const std::wstring name = wide(path);
    if (name.empty()) {
        probe.error = ERROR_INVALID_NAME;
        return;
    }
    // Opening an existing file for writing, without truncating it, tells a
    // file that may be written apart; a pipe or a device opened here is the
    // handle that gets written.
    probe.handle = CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, SHARE_ALL,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    probe.writable = probe.handle != INVALID_HANDLE_VALUE;
    if (!probe.writable) {
        probe.error = GetLastError();
        if (probe.error == ERROR_FILE_NOT_FOUND || probe.error == ERROR_PATH_NOT_FOUND) {
            return;
        }
        // A read-only file or a folder: open it for its attributes only, to
        // know what it is.
        probe.handle =
            CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (probe.handle == INVALID_HANDLE_VALUE) {
            return;
        }
    }
    const bool disk = GetFileType(probe.handle) == FILE_TYPE_DISK;
    FILE_BASIC_INFO basic = {};
    const bool has_attributes =
        disk && GetFileInformationByHandleEx(probe.handle, FileBasicInfo, &basic, sizeof basic);
    probe.folder = has_attributes && (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    probe.disk_file = disk && !probe.folder;
    probe.identity = identity_of(probe.handle);
}

// Splits a full path at its last backslash.
bool split_folder(const std::wstring& path, std::wstring& folder, std::wstring& name)
{
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0 || slash + 1 >= path.size()) {
        return false;
    }
    // A drive's root keeps its backslash: C: alone is the volume itself.
    folder = path.substr(0, path[slash - 1] == L':' ? slash + 1 : slash);
    name = path.substr(slash + 1);
    return true;
}

std::wstring joined(const std::wstring& folder, const std::wstring& name)
{
    return folder.ends_with(L'\\') ? folder + name : folder + L'\\' + name;
}

// The final path of the folder that the output name is in, and the name
// there: for an output that does not exist yet, or one that Windows cannot
// give a final path for.
bool find_target_by_name(const char* path)
{
    const std::wstring name = wide(path);
    static wchar_t full[LONGEST_PATH];
    const DWORD length = GetFullPathNameW(name.c_str(), std::size(full), full, nullptr);
    std::wstring folder;
    if (length == 0 || length >= std::size(full) ||
        !split_folder(std::wstring(full, length), folder, target_name)) {
        return false;
    }
    const HANDLE handle = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    target_folder = final_path(handle);
    CloseHandle(handle);
    return !target_folder.empty();
}

std::wstring beside_target(const std::filesystem::path& name)
{
    return joined(target_folder, name.native());
}

std::wstring target_path()
{
    return joined(target_folder, target_name);
}

// A security descriptor whose ACL lets the user who runs the program alone
// at the file, and passes nothing on from the folder.
bool make_user_only(SECURITY_DESCRIPTOR& descriptor, unsigned char* acl, DWORD acl_size)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    alignas(TOKEN_USER) static unsigned char user[256]; // a TOKEN_USER and its SID
    DWORD size = 0;
    const bool known = GetTokenInformation(token, TokenUser, user, sizeof user, &size) != 0;
    CloseHandle(token);
    ACL* list = reinterpret_cast<ACL*>(acl);
    return known && InitializeAcl(list, acl_size, ACL_REVISION) &&
           AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS,
                               reinterpret_cast<TOKEN_USER*>(user)->User.Sid) &&
           InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
           SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

bool briefly_held(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Puts the new file in place: ReplaceFileW over an existing target keeps its
// ACL and attributes; a new target is moved into place. A scanner or an
// indexer that holds the file for a moment is waited for, up to two seconds.
bool move_into_place(const std::wstring& from, const std::wstring& to)
{
    constexpr int ATTEMPTS = 20;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        bool moved = false;
        DWORD error = ERROR_SUCCESS;
        if (target_exists) {
            moved = ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                 nullptr, nullptr) != 0;
            error = GetLastError();
            if (!moved && error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
                // The old file is gone and the new one kept its temporary
                // name: it is now the only copy, and must reach the target.
                target_exists = false;
                temporary_is_only_copy = true;
                continue;
            }
        } else {
            moved = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
            error = GetLastError();
        }
        if (moved) {
            return true;
        }
        if (!briefly_held(error) && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            return false;
        }
        Sleep(100);
    }
    return false;
}

} // namespace

char** program_arguments(int& argc, char** argv)
{
    int count = 0;
    wchar_t** wide_arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_arguments == nullptr) {
        return argv;
    }
    static std::string texts;
    static std::vector<char*> arguments;
    std::vector<std::size_t> starts;
    for (int i = 0; i < count; ++i) {
        starts.push_back(texts.size());
        texts += utf8(wide_arguments[i]);
        texts += '\0';
    }
    LocalFree(wide_arguments);
    for (const std::size_t start : starts) {
        arguments.push_back(texts.data() + start);
    }
    arguments.push_back(nullptr);
    argc = count;
    return arguments.data();
}

void print_line(const char* first, const char* name, const char* last)
{
    std::fflush(stdout);
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
        // A console shows UTF-16 whatever its code page.
        std::wstring line = wide(first) + wide(name) + wide(last) + L"\r\n";
        DWORD written = 0;
        WriteConsoleW(console, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    // Into a file or a pipe: UTF-8, the line ending in CR LF (text mode).
    std::printf("%s%s%s\n", first, name, last);
    std::fflush(stdout);
}

std::FILE* open_input(const char* path)
{
    const std::wstring name = wide(path);
    if (name.empty()) {
        return nullptr;
    }
    const HANDLE handle =
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return stream_of(handle, _O_RDONLY | _O_BINARY, "rb");
}

std::int64_t regular_input_size(std::FILE* input)
{
    const HANDLE handle = handle_of(input);
    LARGE_INTEGER size;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
        return -1;
    }
    return size.QuadPart;
}

bool output_is_input(std::FILE* input, const char* output_path)
{
    probe_output(output_path);
    return same_identity(identity_of(handle_of(input)), probe.identity);
}

OutputTarget find_output_target(const char* path)
{
    probe_output(path);
    OutputTarget target;
    if (probe.handle == INVALID_HANDLE_VALUE) {
        if (probe.error == ERROR_FILE_NOT_FOUND && find_target_by_name(path)) {
            target.kind = TargetKind::missing;
            target.name = target_name;
        }
        return target;
    }
    if (!probe.disk_file) {
        if (probe.writable && !probe.folder) {
            target.stream = output_stream_of(probe.handle);
            probe.handle = INVALID_HANDLE_VALUE;
            target.kind = target.stream != nullptr ? TargetKind::opened : TargetKind::refused;
        }
        return target;
    }
    const std::wstring path_found = final_path(probe.handle);
    CloseHandle(probe.handle);
    probe.handle = INVALID_HANDLE_VALUE;
    if (!probe.writable ||
        (!split_folder(path_found, target_folder, target_name) && !find_target_by_name(path))) {
        return target; // a read-only file is never replaced
    }
    target_exists = true;
    target.kind = TargetKind::existing;
    target.name = target_name;
    return target;
}

Creation create_beside_target(const std::filesystem::path& name, bool replacing, std::FILE*& stream)
{
    const std::wstring path = beside_target(name);
    // A file that will replace another is open to this user alone until
    // ReplaceFileW gives it the old file's ACL; a new output gets what its
    // folder passes on.
    SECURITY_DESCRIPTOR descriptor;
    alignas(ACL) static unsigned char acl[512];
    SECURITY_ATTRIBUTES owner_only = {sizeof owner_only, &descriptor, FALSE};
    const bool private_file = replacing && make_user_only(descriptor, acl, sizeof acl);
    // A file that the console handler may have to delete while it is open
    // must share deletion.
    AcquireSRWLockExclusive(&cleanup_lock);
    const HANDLE handle = CreateFileW(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
        private_file ? &owner_only : nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) {
        store_cleanup_name(path);
    }
    ReleaseSRWLockExclusive(&cleanup_lock);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (error) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return Creation::name_taken;
        case ERROR_ACCESS_DENIED:
            return Creation::refused;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case DISK_QUOTA_EXCEEDED:
            return Creation::no_space;
        default:
            return Creation::failed;
        }
    }
    stream = output_stream_of(handle);
    if (stream == nullptr) {
        remove_beside_target(name);
        return Creation::failed;
    }
    return Creation::created;
}

void keep_target_protection(std::FILE*)
{
    // ReplaceFileW gives the new file the old one's ACL and attributes when
    // it is put in place.
}

std::FILE* open_target_in_place()
{
    const std::wstring path = target_path();
    set_cleanup(path);
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::FILE* stream = output_stream_of(handle);
    if (stream == nullptr) {
        set_cleanup(std::wstring());
    }
    return stream;
}

bool replace_target(const std::filesystem::path& name)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    const bool replaced = move_into_place(beside_target(name), target_path());
    if (replaced || temporary_is_only_copy) {
        clear_cleanup_name();
    }
    ReleaseSRWLockExclusive(&cleanup_lock);
    return replaced;
}

void remove_beside_target(const std::filesystem::path& name)
{
    AcquireSRWLockExclusive(&cleanup_lock);
    if (!temporary_is_only_copy) {
        DeleteFileW(beside_target(name).c_str());
    }
    clear_cleanup_name();
    ReleaseSRWLockExclusive(&cleanup_lock);
}

void empty_target()
{
    AcquireSRWLockExclusive(&cleanup_lock);
    const std::wstring path = target_path();
    if (!DeleteFileW(path.c_str())) {
        // A folder that may not be written keeps the name: leave no partial
        // stream in it that could pass for a whole one.
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr,
                                          TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    clear_cleanup_name();
    ReleaseSRWLockExclusive(&cleanup_lock);
}

void install_cleanup()
{
    SetConsoleCtrlHandler(remove_on_console_event, TRUE);
}
