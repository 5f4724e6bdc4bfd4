// The file operations on Windows.
//
// Every name goes to Win32 as UTF-16, taken from the wide command line, so
// nothing depends on the process's code page; a name that UTF-8 cannot carry
// exactly is refused rather than taken for another. Files are known by
// identity (volume serial number and file ID), never by how their names are
// spelled. The output's folder is named by its final path (\\?\...), so long
// paths work and no name reaches the C runtime. Finding the output opens a
// disk file for its attributes only, and a pipe or a device not at all: they
// are opened once, for writing, after the input has passed its checks.
#include "system.hpp"

#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD DISK_QUOTA_EXCEEDED = 1295; // ERROR_DISK_QUOTA_EXCEEDED
// Paths that Windows takes are at most 32767 UTF-16 units, the end included.
// (Wine's GetFullPathNameW answers nonsense for a buffer one unit longer.)
constexpr std::size_t LONGEST_PATH = 32767;

// A name in UTF-8, strictly: invalid UTF-8 (such as an unpaired surrogate
// carried from the command line) gives an empty name, which opens nothing.
std::wstring wide(const char* utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    std::wstring result(length > 0 ? length - 1 : 0, L'\0');
    if (length > 1) {
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, result.data(), length);
    }
    return result;
}

// Text to show, with anything that is not UTF-8 shown as U+FFFD.
std::wstring legible(const char* utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring result(length > 0 ? length - 1 : 0, L'\0');
    if (length > 1) {
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, result.data(), length);
    }
    return result;
}

// UTF-8 of text; a unit that is half of no surrogate pair is written as its
// three-byte form, which no UTF-8 decoder accepts, so the name it is part of
// can be shown but never opened.
std::string utf8(const std::wstring& text)
{
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xC0 | c >> 6);
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            result += static_cast<char>(0xE0 | c >> 12);
            result += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | c >> 18);
            result += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            result += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return result;
}

// What a console event must clean up: the file named name, emptied first
// through handle where it is the output written in place. Changed only
// through a CleanupGuard, which holds the lock that keeps the event handler
// from seeing half a record.
struct CleanupRecord {
    wchar_t name[LONGEST_PATH] = {};
    HANDLE handle = INVALID_HANDLE_VALUE;
    SRWLOCK lock = SRWLOCK_INIT;
};
CleanupRecord cleanup;

bool empty_through(HANDLE handle)
{
    FILE_END_OF_FILE_INFO end = {};
    return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// Call only while holding the lock. The file was opened with
// FILE_SHARE_DELETE: its name goes now, or when the process ends and the
// file is closed; where deletion is refused, the in-place output is empty.
void clean_up_held()
{
    if (cleanup.handle != INVALID_HANDLE_VALUE) {
        empty_through(cleanup.handle);
    }
    if (cleanup.name[0] != L'\0') {
        DeleteFileW(cleanup.name);
    }
}

// Runs on a thread of its own. The lock is never released: the main thread
// can no longer rename or remove anything before the process ends.
BOOL WINAPI clean_up_on_console_event(DWORD)
{
    AcquireSRWLockExclusive(&cleanup.lock);
    clean_up_held();
    // End as Windows' own handler ends a console program on Ctrl+C, with
    // STATUS_CONTROL_C_EXIT, but at once: no C library clean-up runs while the
    // main thread may hold a stream's lock.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// Holds the console handler off while it lives; the record is armed and
// disarmed only through it.
class CleanupGuard {
  public:
    CleanupGuard() { AcquireSRWLockExclusive(&cleanup.lock); }
    ~CleanupGuard() { ReleaseSRWLockExclusive(&cleanup.lock); }
    CleanupGuard(const CleanupGuard&) = delete;
    CleanupGuard& operator=(const CleanupGuard&) = delete;

    // A name too long for the record could not have been opened.
    void arm(const std::wstring& name, HANDLE handle)
    {
        if (name.size() < std::size(cleanup.name)) {
            std::wmemcpy(cleanup.name, name.c_str(), name.size() + 1);
        }
        cleanup.handle = handle;
    }

    void disarm()
    {
        cleanup.name[0] = L'\0';
        if (cleanup.handle != INVALID_HANDLE_VALUE) {
            CloseHandle(std::exchange(cleanup.handle, INVALID_HANDLE_VALUE));
        }
    }
};

Status failure(Outcome outcome, DWORD error)
{
    return Status{outcome, static_cast<int>(error)};
}

Status opening_failure(DWORD error)
{
    switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return failure(Outcome::name_taken, error);
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return failure(Outcome::refused, error);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case DISK_QUOTA_EXCEEDED:
        return failure(Outcome::no_space, error);
    default:
        return failure(Outcome::failed, error);
    }
}

void close_if_open(HANDLE& handle)
{
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(std::exchange(handle, INVALID_HANDLE_VALUE));
    }
}

// Only files on a disk have an identity: pipes and devices are never the
// same file.
NativeIdentity identity_of(HANDLE handle)
{
    NativeIdentity identity;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        return identity;
    }
    FILE_ID_INFO id = {};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        identity.known = true;
        identity.volume = id.VolumeSerialNumber;
        std::memcpy(identity.id, id.FileId.Identifier, sizeof identity.id);
        return identity;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(handle, &information)) {
        identity.known = true;
        identity.volume = information.dwVolumeSerialNumber;
        const DWORD parts[2] = {information.nFileIndexLow, information.nFileIndexHigh};
        std::memcpy(identity.id, parts, sizeof parts);
    }
    return identity;
}

// Wine gives the standard handles that the shell opened no volume serial
// number (0): for them the file ID alone tells. A file opened by name always
// has its volume's.
bool same_identity(const NativeIdentity& a, const NativeIdentity& b)
{
    return a.known && b.known && (a.volume == b.volume || a.volume == 0 || b.volume == 0) &&
           std::memcmp(a.id, b.id, sizeof a.id) == 0;
}

HANDLE handle_of(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// A C stream over handle; where none can be made, the handle is closed.
std::FILE* stream_of(HANDLE handle, int flags, const char* mode)
{
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

// The final path of an open file or folder (\\?\C:\..., \\?\UNC\...).
std::wstring final_path(HANDLE handle)
{
    std::vector<wchar_t> path(LONGEST_PATH);
    const DWORD length = GetFinalPathNameByHandleW(
        handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    return length > 0 && length < path.size() ? std::wstring(path.data(), length) : std::wstring();
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

HANDLE open_for_attributes(const std::wstring& path)
{
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool is_disk_folder(HANDLE handle)
{
    FILE_BASIC_INFO basic = {};
    return GetFileType(handle) == FILE_TYPE_DISK &&
           GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
           (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A security descriptor whose ACL lets the user who runs the program alone
// at the file, and passes nothing on from the folder.
bool make_user_only(SECURITY_DESCRIPTOR& descriptor, unsigned char* acl, DWORD acl_size)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    alignas(TOKEN_USER) unsigned char user[256]; // a TOKEN_USER and its SID
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

// Errors that pass: another program (a scanner, an indexer) holds the file
// for a moment.
bool briefly_held(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

bool name_exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ||
           (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND);
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

void print_line(std::FILE* channel, const char* first, const char* name, const char* last)
{
    std::fflush(channel);
    const std::wstring line = legible(first) + legible(name) + legible(last);
    const HANDLE console = handle_of(channel);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
        // A console shows UTF-16 whatever its code page.
        const std::wstring shown = line + L"\r\n";
        DWORD written = 0;
        WriteConsoleW(console, shown.c_str(), static_cast<DWORD>(shown.size()), &written, nullptr);
        return;
    }
    // Into a file or a pipe: UTF-8, the line ending in CR LF (text mode).
    std::fprintf(channel, "%s\n", utf8(line).c_str());
    std::fflush(channel);
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
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
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

bool same_file(std::FILE* a, std::FILE* b)
{
    return same_identity(identity_of(handle_of(a)), identity_of(handle_of(b)));
}

void install_cleanup()
{
    SetConsoleCtrlHandler(clean_up_on_console_event, TRUE);
}

OutputTarget::~OutputTarget()
{
    close_if_open(native_.file);
}

Status OutputTarget::find(const char* path)
{
    const std::wstring name = wide(path);
    if (name.empty()) {
        return failure(Outcome::refused, ERROR_INVALID_NAME);
    }
    std::vector<wchar_t> full(LONGEST_PATH);
    const DWORD length =
        GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size()) {
        return failure(Outcome::refused, length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    }
    native_.path.assign(full.data(), length);
    std::wstring folder_name;
    if (!split_folder(native_.path, folder_name, name_)) {
        kind_ = TargetKind::direct; // a device such as \\.\NUL
        return Status{};
    }
    HANDLE folder = open_for_attributes(folder_name);
    if (folder == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_ACCESS_DENIED) {
            return failure(Outcome::refused, error);
        }
        kind_ = TargetKind::direct; // a name in the device namespace
        return Status{};
    }
    const bool disk = is_disk_folder(folder);
    native_.folder = disk ? final_path(folder) : std::wstring();
    CloseHandle(folder);
    if (!disk) {
        kind_ = TargetKind::direct; // a pipe's name (\\.\pipe\NAME), a device's
        return Status{};
    }
    if (native_.folder.empty()) {
        // Windows gives no final path for some long names: name the folder as given.
        native_.folder = folder_name;
    }

    // An entry of a disk folder: a file, a link to one, a folder, or a
    // device's name. Opened for its attributes only, which follows links.
    const HANDLE entry = open_for_attributes(native_.path);
    if (entry == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A link that leads nowhere is refused, as on other systems.
        if (error != ERROR_FILE_NOT_FOUND || name_exists(native_.path)) {
            return failure(Outcome::refused, error);
        }
        kind_ = TargetKind::missing;
        return Status{};
    }
    FILE_BASIC_INFO basic = {};
    const bool on_disk = GetFileType(entry) == FILE_TYPE_DISK &&
                         GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic);
    native_.identity = identity_of(entry);
    const std::wstring found = on_disk ? final_path(entry) : std::wstring();
    CloseHandle(entry);
    if (!on_disk) {
        kind_ = TargetKind::direct;
        return Status{};
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return failure(Outcome::refused, ERROR_DIRECTORY);
    }
    // A link is replaced where it leads.
    split_folder(found, native_.folder, name_);
    native_.read_only = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    kind_ = TargetKind::existing;
    return Status{};
}

bool OutputTarget::is_same_file(std::FILE* stream) const
{
    return same_identity(identity_of(handle_of(stream)), native_.identity);
}

Status OutputTarget::create_beside(const NativeString& name)
{
    const bool replacing = kind_ == TargetKind::existing;
    if (replacing && native_.read_only) {
        return failure(Outcome::refused, ERROR_ACCESS_DENIED);
    }
    const std::wstring path = joined(native_.folder, name);
    // A file that will replace another is open to this user alone until
    // ReplaceFileW gives it the old file's ACL; a new output gets what its
    // folder passes on.
    SECURITY_DESCRIPTOR descriptor;
    alignas(ACL) unsigned char acl[512];
    SECURITY_ATTRIBUTES owner_only = {sizeof owner_only, &descriptor, FALSE};
    const bool private_file = replacing && make_user_only(descriptor, acl, sizeof acl);
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    {
        // A file that the console handler may have to delete while it is
        // open must share deletion.
        CleanupGuard guard;
        handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             private_file ? &owner_only : nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            guard.arm(path, INVALID_HANDLE_VALUE);
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return opening_failure(error);
    }
    close_if_open(native_.file);
    native_.file = handle;
    return Status{};
}

Status OutputTarget::open_in_place()
{
    if (native_.read_only) {
        return failure(Outcome::refused, ERROR_ACCESS_DENIED);
    }
    // Not shared for writing: another writer in place waits its turn or fails.
    const HANDLE handle = CreateFileW(joined(native_.folder, name_).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return opening_failure(GetLastError());
    }
    if (!same_identity(identity_of(handle), native_.identity)) {
        CloseHandle(handle);
        return failure(Outcome::refused, ERROR_FILE_INVALID);
    }
    close_if_open(native_.file);
    native_.file = handle;
    return Status{};
}

Status OutputTarget::open_direct()
{
    const HANDLE handle = CreateFileW(native_.path.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return failure(error == ERROR_ACCESS_DENIED ? Outcome::refused : Outcome::failed, error);
    }
    close_if_open(native_.file);
    native_.file = handle;
    return Status{};
}

Status OutputTarget::stream(std::FILE*& stream)
{
    const HANDLE handle = std::exchange(native_.file, INVALID_HANDLE_VALUE);
    stream = handle != INVALID_HANDLE_VALUE ? stream_of(handle, _O_BINARY, "wb") : nullptr;
    if (stream == nullptr) {
        return failure(Outcome::failed, ERROR_INVALID_HANDLE);
    }
    native_.writing = handle;
    return Status{};
}

Status OutputTarget::empty_in_place()
{
    // The duplicate empties the file on a console event, whatever the
    // stream is doing.
    HANDLE kept = INVALID_HANDLE_VALUE;
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, native_.writing, process, &kept, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return failure(Outcome::failed, GetLastError());
    }
    CleanupGuard guard;
    if (!empty_through(kept)) {
        const DWORD error = GetLastError();
        CloseHandle(kept);
        return failure(Outcome::failed, error);
    }
    guard.arm(joined(native_.folder, name_), kept);
    return Status{};
}

Status OutputTarget::replace_with(const NativeString& name)
{
    const std::wstring from = joined(native_.folder, name);
    const std::wstring to = joined(native_.folder, name_);
    CleanupGuard guard;
    // ReplaceFileW over an existing target keeps its ACL and attributes. Where
    // it fails and the old file is no longer under its name (another program
    // removed it, or ReplaceFileW moved it away and stopped), the new file is
    // moved there. A scanner or an indexer that holds the file for a moment
    // is waited for, up to two seconds.
    constexpr int ATTEMPTS = 20;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        bool moved = false;
        if (kind_ == TargetKind::existing && !native_.only_copy) {
            moved = ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                 nullptr, nullptr) != 0;
            error = GetLastError();
            if (!moved && !name_exists(to)) {
                native_.only_copy = true;
            }
        }
        if (!moved && (kind_ != TargetKind::existing || native_.only_copy)) {
            moved = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
            error = GetLastError();
        }
        if (moved) {
            guard.disarm();
            return Status{};
        }
        if (!native_.only_copy && !briefly_held(error)) {
            break;
        }
        Sleep(100);
    }
    if (native_.only_copy) {
        // The temporary file is all there is: it stays, under its own name.
        guard.disarm();
    }
    return failure(Outcome::failed, error);
}

void OutputTarget::keep_in_place()
{
    CleanupGuard guard;
    guard.disarm();
}

void OutputTarget::remove_beside(const NativeString& name)
{
    CleanupGuard guard;
    if (!native_.only_copy) {
        DeleteFileW(joined(native_.folder, name).c_str());
    }
    guard.disarm();
}

void OutputTarget::discard_in_place()
{
    // Emptied through the kept handle first, so that no partial stream stays
    // under the output's name where its folder refuses deletion.
    CleanupGuard guard;
    clean_up_held();
    guard.disarm();
}
