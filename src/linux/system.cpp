// The file operations on Linux.
//
// The output's target is reached through a descriptor of its folder: every
// later step (the temporary file, the rename, the same-file check) works
// relative to it, so a path too long to spell whole still works, and what is
// compared with the input is the file that will be written. Symbolic links
// are followed one at a time from the folder that holds them, as the kernel
// follows them, its protection of sticky folders included. A name of one of
// the process's open descriptors (/dev/stdout, /dev/fd/N, /proc/self/fd/N)
// is written through a duplicate of that descriptor, as cat writes its
// standard output.
//
// Linux's own calls, where a port to another system starts: O_PATH, the
// /proc file system's magic number, statx's append-only attribute and the
// ACL's extended attribute.
#include "system.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Folders are opened only to be named relative to, so a folder this user may
// search but not list still works.
constexpr int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
constexpr int MAX_LINKS = 40;
constexpr long PROC_FILESYSTEM = 0x9fa0; // PROC_SUPER_MAGIC
constexpr const char* ACL_ATTRIBUTE = "system.posix_acl_access";

// Every signal whose default action ends the process and that can be caught,
// as GNU sort handles them; SIGXFSZ is ignored instead.
constexpr int CLEANUP_SIGNALS[] = {SIGHUP,  SIGINT,  SIGPIPE, SIGQUIT,  SIGTERM,
                                   SIGALRM, SIGUSR1, SIGUSR2, SIGPROF,  SIGVTALRM,
                                   SIGXCPU, SIGIO,   SIGPWR,  SIGSTKFLT};

// What an interruption must clean up: the temporary file name in folder, or
// the output written in place, emptied through descriptor. Changed only
// through a CleanupGuard, which holds the signals off meanwhile, so the
// handler never sees half a record.
struct CleanupRecord {
    int folder = -1;
    char name[NAME_MAX + 1] = {};
    int descriptor = -1;
    sigset_t signals;
};
CleanupRecord cleanup;

extern "C" void clean_up_on_signal(int signal_number)
{
    if (cleanup.descriptor >= 0) {
        static_cast<void>(ftruncate(cleanup.descriptor, 0));
    } else if (cleanup.name[0] != '\0') {
        unlinkat(cleanup.folder, cleanup.name, 0);
    }
    // The handler was installed with SA_RESETHAND, so the signal now has its
    // default action: raised again, it ends the process as soon as this
    // handler returns, and the parent sees death by that signal.
    raise(signal_number);
}

// Holds the clean-up signals off while it lives; the record is armed and
// disarmed only through it.
class CleanupGuard {
  public:
    CleanupGuard() { sigprocmask(SIG_BLOCK, &cleanup.signals, &before_); }
    ~CleanupGuard() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
    CleanupGuard(const CleanupGuard&) = delete;
    CleanupGuard& operator=(const CleanupGuard&) = delete;

    // name must fit the record: the target's name_max keeps every name within it.
    void arm(int folder, const std::string& name, int descriptor)
    {
        const std::size_t length = std::min(name.size(), sizeof cleanup.name - 1);
        std::memcpy(cleanup.name, name.data(), length);
        cleanup.name[length] = '\0';
        cleanup.folder = folder;
        cleanup.descriptor = descriptor;
    }

    void disarm()
    {
        cleanup.name[0] = '\0';
        if (cleanup.descriptor >= 0) {
            close(cleanup.descriptor);
            cleanup.descriptor = -1;
        }
    }

  private:
    sigset_t before_;
};

// What a failed open or creation means: the folder or file refuses it, there
// is no room, the name is taken, or anything else.
Status opening_failure(int error)
{
    switch (error) {
    case EEXIST:
        return Status{Outcome::name_taken, error};
    case EACCES:
    case EPERM:
    case EROFS:
        return Status{Outcome::refused, error};
    case ENOSPC:
    case EDQUOT:
        return Status{Outcome::no_space, error};
    default:
        return Status{Outcome::failed, error};
    }
}

void close_if_open(int& descriptor)
{
    if (descriptor >= 0) {
        close(descriptor);
        descriptor = -1;
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

bool in_process_filesystem(int folder)
{
    struct statfs filesystem;
    return fstatfs(folder, &filesystem) == 0 && filesystem.f_type == PROC_FILESYSTEM;
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

// The kernel follows a link in a sticky folder that anyone may write only
// when the link's owner is the follower or the folder's owner
// (fs.protected_symlinks); links followed by hand are held to the same.
bool may_follow(int folder, const struct stat& link)
{
    struct stat status;
    if (fstat(folder, &status) != 0) {
        return false;
    }
    const bool open_sticky = (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
    return !open_sticky || link.st_uid == geteuid() || link.st_uid == status.st_uid;
}

// True when this user may not replace the file in the folder: a sticky folder
// in which only the file's or the folder's owner may rename over it.
bool sticky_folder_keeps(int folder, const struct stat& file)
{
    struct stat status;
    const uid_t user = geteuid();
    return fstat(folder, &status) == 0 && (status.st_mode & S_ISVTX) != 0 && user != 0 &&
           file.st_uid != user && status.st_uid != user;
}

// True for a folder whose names may be added but never removed or renamed
// (chattr +a).
bool append_only(int folder)
{
    struct statx status;
    return statx(folder, "", AT_EMPTY_PATH, 0, &status) == 0 &&
           (status.stx_attributes_mask & STATX_ATTR_APPEND) != 0 &&
           (status.stx_attributes & STATX_ATTR_APPEND) != 0;
}

// Gives new, the file that will replace old, old's owner, group, access
// control list and mode, as far as this user may; what cannot be kept is
// never replaced by more access than old gave anyone.
void give_protection(int new_file, int old_file, const struct stat& old)
{
    mode_t mode = old.st_mode & 07777;
    // Root may give both owner and group; an ordinary user keeps the group
    // where they belong to it. A change of owner clears the set-ID bits, and
    // an access control list sets the group bits, so the mode comes last.
    bool group_kept = true;
    if (fchown(new_file, old.st_uid, old.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(S_ISUID);
        group_kept = fchown(new_file, static_cast<uid_t>(-1), old.st_gid) == 0;
    }
    std::array<char, 65536> acl;
    const ssize_t acl_size = fgetxattr(old_file, ACL_ATTRIBUTE, acl.data(), acl.size());
    bool acl_kept = false;
    if (acl_size > 0) {
        acl_kept = fsetxattr(new_file, ACL_ATTRIBUTE, acl.data(),
                             static_cast<std::size_t>(acl_size), 0) == 0;
    } else if (acl_size == 0 || errno == ENODATA || errno == ENOTSUP) {
        // The old file has none, so neither has the new one, whatever the
        // folder's default ACL gave it.
        acl_kept =
            fremovexattr(new_file, ACL_ATTRIBUTE) == 0 || errno == ENODATA || errno == ENOTSUP;
    }
    if (!group_kept) {
        // The old group's members are "other" to the new file: other gets no
        // more than the old group had.
        const mode_t old_group = (mode & S_IRWXG) >> 3;
        mode = (mode & ~static_cast<mode_t>(S_IRWXO)) | (mode & S_IRWXO & old_group);
    }
    if (!group_kept || !acl_kept) {
        // The group bits would grant another group, or an unknown ACL's mask.
        mode &= ~static_cast<mode_t>(S_ISGID | S_IRWXG);
    }
    // A refused chmod leaves the file owner-only: less access, never more.
    static_cast<void>(fchmod(new_file, mode));
}

// A link in /proc: a descriptor of this process's is written through a
// duplicate, at its offset and in its mode; anything else it leads to is
// opened through the link, unless it is a regular file or a folder, which
// cannot be replaced without a folder to put it in.
Status find_process_link(NativeTarget& native, const std::string& name)
{
    const int number = descriptor_number(name);
    if (number >= 0 && is_own_descriptor_folder(native.folder)) {
        const int flags = fcntl(number, F_GETFL);
        if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY) {
            return Status{Outcome::refused, flags == -1 ? errno : EBADF};
        }
        native.file = fcntl(number, F_DUPFD_CLOEXEC, 0);
        if (native.file < 0 || fstat(native.file, &native.found) != 0) {
            return Status{Outcome::failed, errno};
        }
        return Status{};
    }
    if (fstatat(native.folder, name.c_str(), &native.found, 0) != 0) {
        return Status{Outcome::refused, errno};
    }
    if (S_ISREG(native.found.st_mode) || S_ISDIR(native.found.st_mode)) {
        return Status{Outcome::refused, EISDIR};
    }
    native.through_link = true;
    return Status{};
}

// Opens the target found for writing, with flags, and makes sure it is still
// the file found.
Status open_found(NativeTarget& native, const std::string& name, int flags)
{
    const int descriptor = openat(
        native.folder, name.c_str(),
        flags | O_WRONLY | O_NOCTTY | O_CLOEXEC | (native.through_link ? 0 : O_NOFOLLOW), 0666);
    if (descriptor < 0) {
        return opening_failure(errno);
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0 ||
        ((flags & O_CREAT) == 0 && !same_identity(status, native.found))) {
        close(descriptor);
        return Status{Outcome::refused, ESTALE};
    }
    close_if_open(native.file);
    native.file = descriptor;
    return Status{};
}

} // namespace

char** program_arguments(int&, char** argv)
{
    return argv;
}

void print_line(std::FILE* channel, const char* first, const char* name, const char* last)
{
    std::fprintf(channel, "%s%s%s\n", first, name, last);
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

bool same_file(std::FILE* a, std::FILE* b)
{
    struct stat a_status;
    struct stat b_status;
    return fstat(fileno(a), &a_status) == 0 && fstat(fileno(b), &b_status) == 0 &&
           same_identity(a_status, b_status);
}

void install_cleanup()
{
    // A write over the file-size limit (ulimit -f) then fails as any other
    // write does, instead of ending the program with the temporary file left.
    std::signal(SIGXFSZ, SIG_IGN);
    sigemptyset(&cleanup.signals);
    for (const int signal_number : CLEANUP_SIGNALS) {
        sigaddset(&cleanup.signals, signal_number);
    }
    for (const int signal_number : CLEANUP_SIGNALS) {
        struct sigaction action = {};
        // A signal ignored when the program started (nohup, a background
        // job) stays ignored.
        if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            continue;
        }
        action = {};
        action.sa_handler = clean_up_on_signal;
        action.sa_mask = cleanup.signals;
        action.sa_flags = static_cast<int>(SA_RESETHAND);
        sigaction(signal_number, &action, nullptr);
    }
}

OutputTarget::~OutputTarget()
{
    close_if_open(native_.file);
    close_if_open(native_.folder);
}

Status OutputTarget::find(const char* path)
{
    std::string name;
    int folder = open_folder_of(AT_FDCWD, path, name);
    struct stat status;
    bool missing = false;
    for (int links = 0;; ++links) {
        if (folder < 0 || name.empty()) {
            const int error = folder < 0 ? errno : EISDIR;
            close_if_open(folder);
            return Status{Outcome::refused, error};
        }
        if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            // A link that leads nowhere is refused: what it would make is
            // not where the name says.
            const int error = errno;
            if (error != ENOENT || links > 0) {
                close(folder);
                return Status{Outcome::refused, error};
            }
            missing = true;
            break;
        }
        if (!S_ISLNK(status.st_mode)) {
            break;
        }
        if (in_process_filesystem(folder)) {
            native_.folder = folder;
            name_ = name;
            kind_ = TargetKind::direct;
            return find_process_link(native_, name_);
        }
        char destination[PATH_MAX];
        const ssize_t length = readlinkat(folder, name.c_str(), destination, sizeof destination);
        int error = length < 0 ? errno : EINVAL;
        if (links == MAX_LINKS) {
            error = ELOOP;
        } else if (!may_follow(folder, status)) {
            error = EACCES;
        } else if (length == static_cast<ssize_t>(sizeof destination)) {
            error = ENAMETOOLONG;
        } else if (length > 0) {
            error = 0;
        }
        if (error != 0) {
            close(folder);
            return Status{Outcome::refused, error};
        }
        const int next = open_folder_of(
            folder, std::string(destination, static_cast<std::size_t>(length)), name);
        close(folder);
        folder = next;
    }
    native_.folder = folder;
    if (!missing) {
        native_.found = status; // a missing target keeps inode 0: no identity
    }
    name_ = name;
    // The temporary name must also fit the record the signal handler
    // removes it by.
    const long name_max = fpathconf(folder, _PC_NAME_MAX);
    name_max_ = name_max > 0 ? std::min(static_cast<std::size_t>(name_max), sizeof cleanup.name - 1)
                             : sizeof cleanup.name - 1;
    if (missing) {
        kind_ = append_only(folder) ? TargetKind::in_place : TargetKind::missing;
    } else if (S_ISDIR(status.st_mode)) {
        return Status{Outcome::refused, EISDIR};
    } else if (!S_ISREG(status.st_mode)) {
        kind_ = TargetKind::direct;
    } else if (sticky_folder_keeps(folder, status) || append_only(folder)) {
        kind_ = TargetKind::in_place;
    } else {
        kind_ = TargetKind::existing;
    }
    return Status{};
}

bool OutputTarget::is_same_file(std::FILE* stream) const
{
    struct stat status;
    return native_.found.st_ino != 0 && fstat(fileno(stream), &status) == 0 &&
           same_identity(status, native_.found);
}

Status OutputTarget::create_beside(const NativeString& name)
{
    const bool replacing = kind_ == TargetKind::existing;
    // The file to replace must be one this user may write, and still the one found.
    if (replacing && native_.file < 0) {
        const Status opened = open_found(native_, name_, 0);
        if (!opened.ok()) {
            return opened;
        }
    }
    int descriptor = -1;
    int error = 0;
    {
        CleanupGuard guard;
        descriptor = openat(native_.folder, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW,
                            replacing ? 0600 : 0666);
        error = errno;
        if (descriptor >= 0) {
            guard.arm(native_.folder, name, -1);
        }
    }
    if (descriptor < 0) {
        return opening_failure(error);
    }
    if (replacing) {
        give_protection(descriptor, native_.file, native_.found);
    }
    close_if_open(native_.file);
    native_.file = descriptor;
    return Status{};
}

Status OutputTarget::open_in_place()
{
    // Where the folder keeps every name, a missing output is made under its own name.
    Status opened = native_.found.st_ino == 0 ? open_found(native_, name_, O_CREAT | O_EXCL)
                                              : open_found(native_, name_, 0);
    if (opened.ok() && flock(native_.file, LOCK_EX) != 0) {
        opened = Status{Outcome::failed, errno};
        close_if_open(native_.file);
    }
    return opened;
}

Status OutputTarget::open_direct()
{
    // A descriptor of the caller's was duplicated when it was found.
    return native_.file >= 0 ? Status{} : open_found(native_, name_, 0);
}

Status OutputTarget::stream(std::FILE*& stream)
{
    stream = native_.file >= 0 ? fdopen(native_.file, "wb") : nullptr;
    if (stream == nullptr) {
        const int error = errno;
        close_if_open(native_.file);
        return Status{Outcome::failed, error};
    }
    native_.writing = std::exchange(native_.file, -1);
    return Status{};
}

Status OutputTarget::empty_in_place()
{
    // The kept duplicate empties the file on an interruption, and holds its
    // lock until the run ends.
    const int kept = fcntl(native_.writing, F_DUPFD_CLOEXEC, 0);
    if (kept < 0) {
        return Status{Outcome::failed, errno};
    }
    CleanupGuard guard;
    if (ftruncate(native_.writing, 0) != 0) {
        const int error = errno;
        close(kept);
        return Status{Outcome::failed, error};
    }
    guard.arm(native_.folder, name_, kept);
    return Status{};
}

Status OutputTarget::replace_with(const NativeString& name)
{
    CleanupGuard guard;
    if (renameat(native_.folder, name.c_str(), native_.folder, name_.c_str()) != 0) {
        return Status{Outcome::failed, errno};
    }
    guard.disarm();
    return Status{};
}

void OutputTarget::keep_in_place()
{
    CleanupGuard guard;
    guard.disarm();
}

void OutputTarget::remove_beside(const NativeString& name)
{
    CleanupGuard guard;
    unlinkat(native_.folder, name.c_str(), 0);
    guard.disarm();
}

void OutputTarget::discard_in_place()
{
    // The folder keeps the name: leave no partial stream in it that could
    // pass for a whole one.
    CleanupGuard guard;
    if (cleanup.descriptor >= 0) {
        static_cast<void>(ftruncate(cleanup.descriptor, 0));
    }
    guard.disarm();
}
