// The file operations on POSIX systems (Linux).
//
// The output's target is reached through a descriptor of its folder: every
// later step (the temporary file, the rename, the removal) works relative to
// it, so a path too long to spell whole still works, and symbolic links are
// followed one at a time from the folder that holds them, never by joining
// names into a longer path. A name of one of the process's open descriptors
// (/dev/stdout, /dev/fd/N, /proc/self/fd/N) is written through a duplicate of
// that descriptor, as cat writes its standard output.
#include "system.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Folders are opened only to be named relative to, so a folder this user may
// search but not list still works.
#ifdef O_PATH
constexpr int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
constexpr int MAX_LINKS = 40;
constexpr long PROC_FILESYSTEM = 0x9fa0; // PROC_SUPER_MAGIC

// The output's target: its folder, its name there, and for an existing
// regular file, its status and a descriptor open for writing.
int target_folder = -1;
std::string target_name;
struct stat target_status;
int target_descriptor = -1;

// The one file that an interruption must remove, kept for the handler. It is
// set and cleared only while the handler is held off, so the handler never
// sees half a name. For an output written in place, cleanup_descriptor
// empties it where its folder keeps the name.
char cleanup_name[NAME_MAX + 1];
int cleanup_descriptor = -1;
sigset_t cleanup_signals;
sigset_t signals_before_hold;

extern "C" void remove_on_signal(int signal_number)
{
    if (cleanup_name[0] != '\0' && unlinkat(target_folder, cleanup_name, 0) != 0 &&
        cleanup_descriptor >= 0) {
        static_cast<void>(ftruncate(cleanup_descriptor, 0));
    }
    // The handler was installed with SA_RESETHAND, so the signal now has its
    // default action: raised again, it ends the process as soon as this
    // handler returns, and the parent sees death by that signal.
    raise(signal_number);
}

void hold_cleanup()
{
    sigprocmask(SIG_BLOCK, &cleanup_signals, &signals_before_hold);
}

void release_cleanup()
{
    sigprocmask(SIG_SETMASK, &signals_before_hold, nullptr);
}

// Call only between hold_cleanup and release_cleanup.
void set_cleanup(const char* name, int descriptor)
{
    const std::size_t length = std::min(std::strlen(name), sizeof cleanup_name - 1);
    std::memcpy(cleanup_name, name, length);
    cleanup_name[length] = '\0';
    cleanup_descriptor = descriptor;
}

void clear_cleanup()
{
    cleanup_name[0] = '\0';
    if (cleanup_descriptor >= 0) {
        close(cleanup_descriptor);
        cleanup_descriptor = -1;
    }
}

// Opens the folder part of path, relative to the folder at (the system
// follows any links in it), and leaves the last component in name.
int open_folder_of(int at, const std::string& path, std::string& name)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        name = path;
        return openat(at, ".", FOLDER_FLAGS);
    }
    name = path.substr(slash + 1);
    return openat(at, slash == 0 ? "/" : path.substr(0, slash).c_str(), FOLDER_FLAGS);
}

bool same_identity(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when folder is this process's own folder of descriptors.
bool is_own_descriptor_folder(int folder)
{
    struct stat seen;
    struct stat own;
    if (fstat(folder, &seen) != 0) {
        return false;
    }
    for (const char* name : {"/proc/self/fd", "/proc/thread-self/fd"}) {
        if (stat(name, &own) == 0 && same_identity(seen, own)) {
            return true;
        }
    }
    return false;
}

// The descriptor that the entry name of this process's descriptor folder
// stands for, or -1 when name is not a descriptor number.
int descriptor_number(const std::string& name)
{
    if (name.empty() || name.size() > 9 ||
        !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::atoi(name.c_str());
}

std::FILE* stream_of(int descriptor)
{
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* stream = fdopen(descriptor, "wb");
    if (stream == nullptr) {
        close(descriptor);
    }
    return stream;
}

// A link in /proc: a descriptor of this process's is written through a
// duplicate, at its offset and in its mode; anything else it leads to is
// opened by the system, unless it is a regular file, which cannot be
// replaced without a folder to put it in.
OutputTarget open_process_link(int folder, const std::string& name)
{
    OutputTarget target;
    const int number = descriptor_number(name);
    if (number >= 0 && is_own_descriptor_folder(folder)) {
        const int flags = fcntl(number, F_GETFL);
        if (flags != -1 && (flags & O_ACCMODE) != O_RDONLY) {
            target.stream = stream_of(fcntl(number, F_DUPFD_CLOEXEC, 0));
        }
    } else {
        struct stat status;
        if (fstatat(folder, name.c_str(), &status, 0) == 0 && !S_ISREG(status.st_mode) &&
            !S_ISDIR(status.st_mode)) {
            target.stream =
                stream_of(openat(folder, name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
        }
    }
    target.kind = target.stream != nullptr ? TargetKind::opened : TargetKind::refused;
    return target;
}

// True when this user may not replace the file in the folder: a sticky folder
// in which only the file's or the folder's owner may rename over it.
bool sticky_folder_keeps(const struct stat& file)
{
    struct stat folder;
    const uid_t user = geteuid();
    return fstat(target_folder, &folder) == 0 && (folder.st_mode & S_ISVTX) != 0 && user != 0 &&
           file.st_uid != user && folder.st_uid != user;
}

} // namespace

char** program_arguments(int&, char** argv)
{
    return argv;
}

void print_line(const char* first, const char* name, const char* last)
{
    std::printf("%s%s%s\n", first, name, last);
}

std::FILE* open_input(const char* path)
{
    return std::fopen(path, "rb");
}

std::int64_t regular_input_size(std::FILE* input)
{
    struct stat status;
    if (fstat(fileno(input), &status) != 0 || !S_ISREG(status.st_mode)) {
        return -1;
    }
    return status.st_size;
}

bool output_is_input(std::FILE* input, const char* output_path)
{
    struct stat input_status;
    struct stat output_status;
    return fstat(fileno(input), &input_status) == 0 && stat(output_path, &output_status) == 0 &&
           same_identity(input_status, output_status);
}

OutputTarget find_output_target(const char* path)
{
    OutputTarget target;
    std::string name;
    int folder = open_folder_of(AT_FDCWD, path, name);
    struct stat status;
    bool found = false;
    for (int links = 0; folder >= 0 && !name.empty(); ++links) {
        if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                break;
            }
            target.kind = TargetKind::missing;
            found = true;
            break;
        }
        if (!S_ISLNK(status.st_mode)) {
            found = true;
            break;
        }
        struct statfs filesystem;
        if (fstatfs(folder, &filesystem) == 0 && filesystem.f_type == PROC_FILESYSTEM) {
            target = open_process_link(folder, name);
            close(folder);
            return target;
        }
        char destination[PATH_MAX];
        const ssize_t length = readlinkat(folder, name.c_str(), destination, sizeof destination);
        if (length <= 0 || length == static_cast<ssize_t>(sizeof destination) ||
            links == MAX_LINKS) {
            break;
        }
        const int next = open_folder_of(folder, std::string(destination, length), name);
        close(folder);
        folder = next;
    }
    if (!found) {
        if (folder >= 0) {
            close(folder);
        }
        return target;
    }
    target_folder = folder;
    target_name = name;
    target.name = name;
    // The temporary name must also fit the buffer that the signal handler
    // removes it by.
    const long name_max = fpathconf(folder, _PC_NAME_MAX);
    if (name_max > 0) {
        target.name_max = std::min(static_cast<std::size_t>(name_max), sizeof cleanup_name - 1);
    }
    if (target.kind == TargetKind::missing) {
        return target;
    }
    if (S_ISDIR(status.st_mode)) {
        target.kind = TargetKind::refused;
    } else if (!S_ISREG(status.st_mode)) {
        const int descriptor = openat(folder, name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        target.stream = stream_of(descriptor);
        target.kind = target.stream != nullptr ? TargetKind::opened : TargetKind::refused;
    } else {
        // Opening without truncating tells whether this user may write it;
        // the descriptor then serves for its protection or to write it in
        // place.
        target_descriptor =
            openat(folder, name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
        target_status = status;
        if (target_descriptor < 0) {
            target.kind = TargetKind::refused;
        } else {
            target.kind = sticky_folder_keeps(status) ? TargetKind::in_place : TargetKind::existing;
        }
    }
    return target;
}

Creation create_beside_target(const std::filesystem::path& name, bool replacing, std::FILE*& stream)
{
    hold_cleanup();
    const int descriptor =
        openat(target_folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
               replacing ? 0600 : 0666);
    const int error = errno;
    if (descriptor >= 0) {
        set_cleanup(name.c_str(), -1);
    }
    release_cleanup();
    if (descriptor < 0) {
        switch (error) {
        case EEXIST:
            return Creation::name_taken;
        case EACCES:
        case EPERM:
            return Creation::refused;
        case ENOSPC:
        case EDQUOT:
            return Creation::no_space;
        default:
            return Creation::failed;
        }
    }
    stream = stream_of(descriptor);
    if (stream == nullptr) {
        remove_beside_target(name);
        return Creation::failed;
    }
    return Creation::created;
}

void keep_target_protection(std::FILE* stream)
{
    const int descriptor = fileno(stream);
    mode_t mode = target_status.st_mode & 07777;
    // Root may give both owner and group; an ordinary user keeps the group
    // where they belong to it. A change of owner clears the set-ID bits, and
    // an access control list sets the group bits, so the mode comes last.
    if (fchown(descriptor, target_status.st_uid, target_status.st_gid) != 0) {
        mode &= ~S_ISUID;
        if (fchown(descriptor, static_cast<uid_t>(-1), target_status.st_gid) != 0) {
            mode &= ~(S_ISGID | S_IRWXG); // the old group's access is not the new group's
        }
    }
    static char acl[65536];
    const char* const ACL_ATTRIBUTE = "system.posix_acl_access";
    const ssize_t acl_size = fgetxattr(target_descriptor, ACL_ATTRIBUTE, acl, sizeof acl);
    if ((acl_size > 0 &&
         fsetxattr(descriptor, ACL_ATTRIBUTE, acl, static_cast<std::size_t>(acl_size), 0) != 0) ||
        (acl_size < 0 && errno == ERANGE)) {
        mode &= ~(S_ISGID | S_IRWXG); // the group bits would grant the ACL's mask to the group
    }
    // A refused chmod leaves the file owner-only: less access, never more.
    static_cast<void>(fchmod(descriptor, mode));
    close(target_descriptor);
    target_descriptor = -1;
}

std::FILE* open_target_in_place()
{
    hold_cleanup();
    std::FILE* stream = nullptr;
    if (ftruncate(target_descriptor, 0) == 0) {
        set_cleanup(target_name.c_str(), fcntl(target_descriptor, F_DUPFD_CLOEXEC, 0));
        stream = stream_of(target_descriptor);
    } else {
        close(target_descriptor);
    }
    target_descriptor = -1;
    release_cleanup();
    return stream;
}

bool replace_target(const std::filesystem::path& name)
{
    hold_cleanup();
    const bool replaced =
        renameat(target_folder, name.c_str(), target_folder, target_name.c_str()) == 0;
    if (replaced) {
        clear_cleanup();
    }
    release_cleanup();
    return replaced;
}

void remove_beside_target(const std::filesystem::path& name)
{
    hold_cleanup();
    unlinkat(target_folder, name.c_str(), 0);
    clear_cleanup();
    release_cleanup();
}

void empty_target()
{
    hold_cleanup();
    // A folder that may not be written keeps the name: leave no partial
    // stream in it that could pass for a whole one.
    if (unlinkat(target_folder, target_name.c_str(), 0) != 0 && cleanup_descriptor >= 0) {
        static_cast<void>(ftruncate(cleanup_descriptor, 0));
    }
    clear_cleanup();
    release_cleanup();
}

void install_cleanup()
{
    // A write over the file-size limit (ulimit -f) then fails as any other
    // write does, instead of ending the program with the temporary file left.
    std::signal(SIGXFSZ, SIG_IGN);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGXCPU};
    sigemptyset(&cleanup_signals);
    for (const int signal_number : signals) {
        sigaddset(&cleanup_signals, signal_number);
    }
    for (const int signal_number : signals) {
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
