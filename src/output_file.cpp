#include "output_file.hpp"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <exception>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// What the output name leads to before the conversion.
enum class Existing { absent, writable_file, unwritable_file, other };

// The one file that an interruption must remove, in static storage so that
// the handler needs nothing else. It is set and cleared only while the handler
// is held off, so the handler never sees half a name.
#ifdef _WIN32
wchar_t cleanup_name[32768];
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

void install_cleanup()
{
    static const bool installed = SetConsoleCtrlHandler(remove_on_console_event, TRUE) != 0;
    static_cast<void>(installed);
}

void hold_cleanup()
{
    AcquireSRWLockExclusive(&cleanup_lock);
}

void release_cleanup()
{
    ReleaseSRWLockExclusive(&cleanup_lock);
}
#else
char cleanup_name[4096];
sigset_t cleanup_signals;
sigset_t signals_before_hold;

extern "C" void remove_on_signal(int signal_number)
{
    if (cleanup_name[0] != '\0') {
        unlink(cleanup_name);
    }
    // The handler was installed with SA_RESETHAND, so the signal now has its
    // default action: raised again, it ends the process as soon as this
    // handler returns, and the parent sees death by that signal.
    raise(signal_number);
}

void install_cleanup()
{
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    sigemptyset(&cleanup_signals);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&cleanup_signals, signal_number);
    }
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action = {};
        // A signal ignored when the program started (nohup, a background
        // job) stays ignored.
        if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            continue;
        }
        action = {};
        action.sa_handler = remove_on_signal;
        action.sa_mask = cleanup_signals;
        action.sa_flags = SA_RESETHAND;
        sigaction(signal_number, &action, nullptr);
    }
}

void hold_cleanup()
{
    sigprocmask(SIG_BLOCK, &cleanup_signals, &signals_before_hold);
}

void release_cleanup()
{
    sigprocmask(SIG_SETMASK, &signals_before_hold, nullptr);
}
#endif

// Call only between hold_cleanup and release_cleanup. A name too long for the
// buffer could not have been opened in the first place.
void set_cleanup_name(const fs::path& name)
{
    const auto& native = name.native();
    if (native.size() < std::size(cleanup_name)) {
        std::copy(native.begin(), native.end(), cleanup_name);
        cleanup_name[native.size()] = 0;
    } else {
        cleanup_name[0] = 0;
    }
}

void clear_cleanup_name()
{
    cleanup_name[0] = 0;
}

#ifdef _WIN32
std::FILE* stream_of(HANDLE handle)
{
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY);
    if (descriptor == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, "wb");
    if (stream == nullptr) {
        _close(descriptor);
    }
    return stream;
}

// A file that the console handler may have to delete while it is open must
// share deletion.
HANDLE open_for_writing(const fs::path& name, DWORD disposition)
{
    return CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Windows opens a file through symbolic links and junctions; the name of what
// it opened is the final target.
fs::path final_name(HANDLE handle, const fs::path& name)
{
    static wchar_t final[32768];
    const DWORD length =
        GetFinalPathNameByHandleW(handle, final, std::size(final), FILE_NAME_NORMALIZED);
    return length > 0 && length < std::size(final) ? fs::path(final) : name;
}

Existing examine(fs::path& target, fs::perms&)
{
    // Names in the device namespace (\\.\pipe\..., \\.\COM1) are never
    // opened here: opening a pipe to look at it would take its connection.
    if (target.native().starts_with(L"\\\\.\\")) {
        return Existing::other;
    }
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Existing::absent
                                                                              : Existing::other;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Existing::other;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return Existing::unwritable_file;
    }
    // Opening without creating or truncating tells a file that this user may
    // not write and a device such as NUL apart.
    const HANDLE handle =
        CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Existing::unwritable_file;
    }
    const bool disk_file = GetFileType(handle) == FILE_TYPE_DISK;
    if (disk_file) {
        target = final_name(handle, target);
    }
    CloseHandle(handle);
    return disk_file ? Existing::writable_file : Existing::other;
}

std::FILE* create_new(const fs::path& name, const fs::perms*, bool& name_taken)
{
    const HANDLE handle = open_for_writing(name, CREATE_NEW);
    const DWORD error = GetLastError();
    name_taken = handle == INVALID_HANDLE_VALUE &&
                 (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
    std::FILE* stream = stream_of(handle);
    if (stream == nullptr && handle != INVALID_HANDLE_VALUE) {
        DeleteFileW(name.c_str());
    }
    return stream;
}

std::FILE* create_or_truncate(const fs::path& name)
{
    return stream_of(open_for_writing(name, CREATE_ALWAYS));
}

bool replace_file(const fs::path& from, const fs::path& to)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::uint64_t process_number()
{
    return GetCurrentProcessId();
}
#else
Existing examine(fs::path& target, fs::perms& permissions)
{
    std::error_code error;
    const fs::file_status status = fs::status(target, error);
    if (status.type() == fs::file_type::not_found) {
        return Existing::absent;
    }
    if (error || status.type() != fs::file_type::regular) {
        return Existing::other;
    }
    permissions = status.permissions();
    // Opening without truncating tells whether this user may write it.
    const int descriptor = open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) {
        return Existing::unwritable_file;
    }
    close(descriptor);
    return Existing::writable_file;
}

// Creates name exclusively (never through an existing name or link) with
// 0666 less the umask, or with the permission bits *keep.
std::FILE* create_new(const fs::path& name, const fs::perms* keep, bool& name_taken)
{
    const int descriptor =
        open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    name_taken = descriptor < 0 && errno == EEXIST;
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* stream = nullptr;
    if (keep == nullptr || fchmod(descriptor, static_cast<mode_t>(*keep & fs::perms::all)) == 0) {
        stream = fdopen(descriptor, "wb");
    }
    if (stream == nullptr) {
        close(descriptor);
        unlink(name.c_str());
    }
    return stream;
}

std::FILE* create_or_truncate(const fs::path& name)
{
    return std::fopen(name.c_str(), "wb");
}

bool replace_file(const fs::path& from, const fs::path& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}

std::uint64_t process_number()
{
    return static_cast<std::uint64_t>(getpid());
}
#endif

// The file that name finally leads to, following symbolic links, even to a
// file that does not exist yet.
fs::path final_target(fs::path name)
{
    constexpr int MAX_LINKS = 40;
    for (int link = 0; link < MAX_LINKS; ++link) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(name, error)) || error) {
            break;
        }
        const fs::path destination = fs::read_symlink(name, error);
        if (error) {
            break;
        }
        name = destination.is_absolute() ? destination : name.parent_path() / destination;
    }
    return name;
}

// Six letters or digits that differ from run to run. They only make a clash
// unlikely; the exclusive creation is what keeps another file from being
// taken for this run's.
std::string random_suffix(std::uint64_t& state)
{
    static constexpr char LETTERS[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix;
    for (int i = 0; i < 6; ++i) {
        state = state * 6364136223846793005U + 1442695040888963407U;
        suffix += LETTERS[(state >> 33) % (sizeof LETTERS - 1)];
    }
    return suffix;
}

// Creates ".NAME.XXXXXX" beside the target; null when none can be made.
std::FILE* create_temporary(OutputFile& output, const fs::perms* keep)
{
    std::uint64_t state = static_cast<std::uint64_t>(std::time(nullptr)) ^
                          reinterpret_cast<std::uintptr_t>(&output) ^ (process_number() << 40);
    constexpr int ATTEMPTS = 100;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        fs::path name = ".";
        name += output.target.filename();
        name += ".";
        name += random_suffix(state);
        output.temporary = output.target.parent_path() / name;
        bool name_taken = false;
        std::FILE* stream = create_new(output.temporary, keep, name_taken);
        if (stream != nullptr || !name_taken) {
            return stream;
        }
    }
    return nullptr;
}

bool open_regular_output(OutputFile& output, const fs::perms* keep)
{
    hold_cleanup();
    output.stream = create_temporary(output, keep);
    if (output.stream != nullptr) {
        output.kind = OutputKind::temporary;
        set_cleanup_name(output.temporary);
    } else {
        // No temporary file here (a folder that may not be written): the
        // output itself is written.
        output.stream = create_or_truncate(output.target);
        output.kind = OutputKind::in_place;
        if (output.stream != nullptr) {
            set_cleanup_name(output.target);
        }
    }
    release_cleanup();
    return output.stream != nullptr;
}

} // namespace

fs::path to_path(const char* name)
{
#ifdef _WIN32
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(name)));
#else
    return fs::path(name);
#endif
}

bool open_output(OutputFile& output, const char* path, char* buffer, std::size_t buffer_size)
{
    install_cleanup();
    output = OutputFile{};
    Existing existing = Existing::other;
    fs::perms permissions = fs::perms::none;
    try {
        output.target = final_target(to_path(path));
        existing = examine(output.target, permissions);
    } catch (const std::exception&) {
        existing = Existing::other; // a name the library cannot take is opened as given
    }

    switch (existing) {
    case Existing::unwritable_file:
        return false; // renaming over it would defeat its read-only mode
    case Existing::absent:
        open_regular_output(output, nullptr);
        break;
    case Existing::writable_file:
        open_regular_output(output, &permissions);
        break;
    case Existing::other:
        output.kind = OutputKind::direct;
        output.stream = std::fopen(path, "wb");
        break;
    }
    if (output.stream == nullptr) {
        output.kind = OutputKind::direct;
        return false;
    }
    std::setvbuf(output.stream, buffer, _IOFBF, buffer_size);
    return true;
}

bool commit_output(OutputFile& output)
{
    std::FILE* stream = std::exchange(output.stream, nullptr);
    // Some C libraries report a failed final flush only through the stream's
    // error state, not through fclose: flush and look at it before closing.
    const bool flushed = std::fflush(stream) == 0 && !std::ferror(stream);
    if (std::fclose(stream) != 0 || !flushed) {
        return false;
    }
    hold_cleanup();
    const bool complete =
        output.kind != OutputKind::temporary || replace_file(output.temporary, output.target);
    if (complete) {
        clear_cleanup_name();
        output.kind = OutputKind::direct; // nothing is left to remove
    }
    release_cleanup();
    return complete;
}

void discard_output(OutputFile& output)
{
    if (output.stream != nullptr) {
        std::fclose(std::exchange(output.stream, nullptr));
    }
    hold_cleanup();
    std::error_code ignored;
    if (output.kind == OutputKind::temporary) {
        fs::remove(output.temporary, ignored);
    } else if (output.kind == OutputKind::in_place && !fs::remove(output.target, ignored)) {
        // A folder that may not be written keeps the name: leave no partial
        // stream in it that could pass for a whole one.
        fs::resize_file(output.target, 0, ignored);
    }
    clear_cleanup_name();
    output.kind = OutputKind::direct;
    release_cleanup();
}
