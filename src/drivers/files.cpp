#include "drivers/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "formats/utf8.hpp"

namespace orn {

namespace {

// An owned file descriptor, closed on every path out.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  ~Fd() { reset(); }
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Closes now and returns close's errno, or 0: on some file systems a failed close is the only
  // report of lost data. EINTR is no failure: Linux has closed the descriptor all the same.
  int reset() noexcept {
    if (fd_ < 0) return 0;
    int rc = ::close(std::exchange(fd_, -1));
    return rc == 0 || errno == EINTR ? 0 : errno;
  }

 private:
  int fd_;
};

// The error number of an OS error, 0 for every other error (a signal handler's exception).
int errno_of(const Error& error) { return error.kind == ErrorKind::OS ? error.os_errno : 0; }

// Runs call, a system call giving -1 and errno on failure, until it ends otherwise than with
// EINTR. After each EINTR on_signal decides: its error ends the call, success tries again. A
// failure is the OS error of its errno.
template <typename Call>
auto interruptible(const SignalCheck& on_signal, Call&& call) -> Result<decltype(call())> {
  for (;;) {
    auto rc = call();
    if (rc >= 0) return rc;
    int err = errno;
    if (err != EINTR) return os_error_from_errno(err);
    ORN_TRY(on_signal());
  }
}

Result<Fd> open_at(const SignalCheck& on_signal, int dir, const char* path, int flags,
                   mode_t mode = 0) {
  auto fd = interruptible(on_signal, [&] { return ::openat(dir, path, flags | O_CLOEXEC, mode); });
  if (!fd) return std::move(fd.error());
  return Fd(fd.value());
}

class FdSource final : public ByteSource {
 public:
  FdSource(int fd, const SignalCheck& on_signal) : fd_(fd), on_signal_(on_signal) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    auto n = interruptible(on_signal_, [&] { return ::read(fd_, buffer, size); });
    if (!n) return std::move(n.error());
    return static_cast<std::size_t>(n.value());
  }

 private:
  int fd_;
  const SignalCheck& on_signal_;
};

// The path without its last component; empty for a bare name and for anything directly under /.
// Trailing "/" are no component of their own: "pp/qq/" lies in "pp", "tdir/" in no directory.
std::string parent_of(const std::string& path) {
  std::size_t last = path.find_last_not_of('/');
  if (last == std::string::npos) return {};
  std::size_t end = path.find_last_of('/', last);
  if (end == std::string::npos) return {};
  // Repeated separators before the last component do not name a directory of their own.
  while (end > 0 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

// Creates dir and every missing ancestor, outermost first; existing directories are fine.
Status make_directories(const std::string& dir, const SignalCheck& on_signal) {
  if (dir.empty()) return Ok{};
  struct stat info;
  auto found = interruptible(on_signal, [&] { return ::stat(dir.c_str(), &info); });
  if (found) {
    if (S_ISDIR(info.st_mode)) return Ok{};
    return os_error_from_errno(EEXIST);  // what mkdir says about a file in the way
  }
  if (errno_of(found.error()) != ENOENT) return std::move(found.error());
  ORN_TRY(make_directories(parent_of(dir), on_signal));
  auto made = interruptible(on_signal, [&] { return ::mkdir(dir.c_str(), 0777); });
  if (made) return Ok{};
  // Another process may have made it between our stat and mkdir.
  if (errno_of(made.error()) == EEXIST && ::stat(dir.c_str(), &info) == 0 &&
      S_ISDIR(info.st_mode)) {
    return Ok{};
  }
  return std::move(made.error());
}

Status write_all(int fd, std::string_view text, const SignalCheck& on_signal) {
  while (!text.empty()) {
    auto n = interruptible(on_signal, [&] { return ::write(fd, text.data(), text.size()); });
    if (!n) return std::move(n.error());
    if (n.value() == 0) return os_error("failed to write whole buffer");
    text.remove_prefix(static_cast<std::size_t>(n.value()));
  }
  return Ok{};
}

// Makes fd's data durable. A file system that cannot flush (EINVAL) is no reason to fail.
Status flush(int fd, const SignalCheck& on_signal) {
  auto synced = interruptible(on_signal, [&] { return ::fsync(fd); });
  if (!synced && errno_of(synced.error()) != EINVAL) return std::move(synced.error());
  return Ok{};
}

// Rewrites the regular file that fd has open for writing, for a target that cannot be replaced.
// A crash halfway leaves old and new text mixed, but the room for the new text is claimed
// before the old text is touched (without changing the size), so a full disk or quota fails
// first and leaves the old content whole.
Status rewrite_in_place(int fd, std::string_view text, const SignalCheck& on_signal) {
  if (!text.empty()) {
    auto length = static_cast<off_t>(text.size());
    auto reserved =
        interruptible(on_signal, [&] { return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length); });
    int err = reserved ? 0 : errno_of(reserved.error());
    // Without preallocation (EOPNOTSUPP, and ENOSYS or EINVAL from older kernels and file
    // systems) the rewrite goes ahead unreserved.
    if (!reserved && err != EOPNOTSUPP && err != ENOSYS && err != EINVAL) {
      return std::move(reserved.error());
    }
  }
  ORN_TRY(write_all(fd, text, on_signal));
  ORN_TRY(
      interruptible(on_signal, [&] { return ::ftruncate(fd, static_cast<off_t>(text.size())); }));
  return flush(fd, on_signal);
}

// The file a save replaces: the path itself, or the end of its chain of symbolic links (which may
// not exist yet), so that renaming over it keeps every link a link.
Result<std::string> resolve_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit, MAXSYMLINKS
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    // st_size is the target's length, but 0 for /proc's links and stale if the link changes.
    std::string target(static_cast<std::size_t>(info.st_size) + 256, '\0');
    for (;;) {
      ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
      if (n < 0) return os_error_from_errno(errno);
      if (static_cast<std::size_t>(n) < target.size()) {
        target.resize(static_cast<std::size_t>(n));
        break;
      }
      target.resize(target.size() * 2);
    }
    if (!target.empty() && target[0] != '/') {  // relative to the link's own directory
      std::size_t slash = current.find_last_of('/');
      if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = std::move(target);
  }
  return os_error_from_errno(ELOOP);
}

std::uint64_t random_word() {
  std::uint64_t word = 0;
  if (::getrandom(&word, sizeof word, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof word)) {
    return word;
  }
  // No entropy pool yet (early boot): clock and counter still differ between tries, and O_EXCL
  // turns any collision into another try.
  static std::atomic<std::uint64_t> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000007u ^
         static_cast<std::uint64_t>(now.tv_nsec) ^ (counter.fetch_add(1) << 40);
}

std::string hex_digits(std::uint64_t word) {
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(word));
  return digits;
}

// FNV-1a, 64 bits: a fixed function of the name's bytes, the same in every process.
std::uint64_t name_hash(std::string_view name) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char byte : name) hash = (hash ^ byte) * 0x100000001b3u;
  return hash;
}

constexpr std::string_view kTempMark = ".tmp-";
constexpr std::size_t kTempDigits = 16;

// Every temporary of the file called name is this stem followed by 16 random lower-case hex
// digits: ".<name>.tmp-" as a rule. A name too long for that within name_max (the folder's
// limit on one name) keeps only a prefix, cut at a UTF-8 character boundary, then "~" and the
// 16-digit hash of the whole name, so that the pattern still belongs to this file alone.
std::string temporary_stem(std::string_view name, long name_max) {
  std::size_t limit = name_max > 0 ? static_cast<std::size_t>(name_max) : 255;
  std::size_t fixed = 1 + kTempMark.size() + kTempDigits;
  std::string stem = ".";
  if (name.size() + fixed <= limit) {
    stem.append(name);
  } else {
    std::size_t hashed = 1 + kTempDigits;
    std::size_t keep = limit > fixed + hashed ? limit - fixed - hashed : 0;
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    stem.append(name.substr(0, keep)).append("~").append(hex_digits(name_hash(name)));
  }
  return stem.append(kTempMark);
}

bool is_temporary_of(std::string_view entry, std::string_view stem) {
  if (entry.size() != stem.size() + kTempDigits || !entry.starts_with(stem)) return false;
  for (char c : entry.substr(stem.size())) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Takes a write lock on the whole file without waiting; gives 0 or the errno (EAGAIN: held).
// Every writer holds one on its temporary for the temporary's whole life. Open-file-description
// locks belong to the open file, not to a process id, so they mean the same in every pid
// namespace, conflict with the classic POSIX locks of other programs, and vanish only when their
// holder closes the file or dies.
int lock_whole_file(int fd) {
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

// Unlinks the temporary called name in dir if no live process holds it: this process must be
// able to take its lock, and unlinks while holding it, after checking that the name still
// names the file it holds. Anything in doubt stays.
void remove_if_abandoned(int dir, const char* name) {
  Fd fd(::openat(dir, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat held;
  if (!fd.valid() || ::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) return;
  if (lock_whole_file(fd.get()) != 0) return;  // a live writer's, or locks are not supported
  struct stat named;
  if (::fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != held.st_dev ||
      named.st_ino != held.st_ino) {
    return;
  }
  ::unlinkat(dir, name, 0);
}

// Removes what writers that died (a kill, a crash, a power cut) left of this file's
// temporaries. Best effort: a failure here never fails the save.
void remove_abandoned_temporaries(int dir, std::string_view stem) {
  int listing_fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing_fd < 0) return;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(listing_fd), ::closedir);
  if (!listing) {
    ::close(listing_fd);
    return;
  }
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (is_temporary_of(entry->d_name, stem)) found.emplace_back(entry->d_name);
  }
  listing.reset();
  for (const std::string& name : found) remove_if_abandoned(dir, name.c_str());
}

// The folder that holds the target. Opened for reading where allowed (to list it and to flush
// it), else only as a place for the *at calls.
struct Folder {
  Fd fd;
  bool is_readable = false;
};

Result<Folder> open_folder(const std::string& target, const SignalCheck& on_signal) {
  std::string parent = parent_of(target);
  const char* dir = !parent.empty() ? parent.c_str() : target[0] == '/' ? "/" : ".";
  auto readable = open_at(on_signal, AT_FDCWD, dir, O_RDONLY | O_DIRECTORY);
  if (readable) return Folder{std::move(readable.value()), true};
  if (errno_of(readable.error()) != EACCES) return std::move(readable.error());
  auto place = open_at(on_signal, AT_FDCWD, dir, O_PATH | O_DIRECTORY);
  if (!place) return std::move(place.error());
  return Folder{std::move(place.value()), false};
}

// The folder will not take a new file: only an in-place rewrite can save there.
bool refuses_new_files(int err) { return err == EACCES || err == EPERM; }

// The target cannot be renamed over: a file bind-mounted into place (EBUSY, EXDEV), a sticky
// folder's file of another owner (EPERM, EACCES).
bool refuses_rename(int err) {
  return err == EBUSY || err == EXDEV || err == EPERM || err == EACCES;
}

enum class Replaced : std::uint8_t { Done, Refused, NoUnnamedFiles };

// A temporary beside the target, held locked by this process through fd. name is empty while
// the file has none (O_TMPFILE).
struct Temporary {
  Fd fd;
  std::string name;
};

// Gives the temporary the existing file's owner and permission bits, then the text, flushed.
// Refused when the owner cannot be kept: only root may give a file away, and replacing would
// hand someone else's settings file to this user.
Result<Replaced> fill(const Temporary& temp, const struct stat* existing, std::string_view text,
                      const SignalCheck& on_signal) {
  int fd = temp.fd.get();
  if (existing != nullptr) {
    // Owner first: fchown may clear the set-id bits that fchmod then restores.
    struct stat made;
    if (::fchown(fd, existing->st_uid, existing->st_gid) != 0 &&
        (::fstat(fd, &made) != 0 || made.st_uid != existing->st_uid ||
         made.st_gid != existing->st_gid)) {
      return Replaced::Refused;
    }
    if (::fchmod(fd, existing->st_mode & 07777) != 0) return os_error_from_errno(errno);
  }
  ORN_TRY(write_all(fd, text, on_signal));
  ORN_TRY(flush(fd, on_signal));
  return Replaced::Done;
}

// Renames the filled temporary over target_name, then flushes the folder so that the rename
// itself is durable. The temporary's lock is held until its name is gone. On failure the
// temporary is unlinked; a rename that the target refuses gives Refused when there is an old
// file to rewrite instead.
Result<Replaced> commit(const Folder& folder, Temporary& temp, const std::string& target_name,
                        bool exists, const SignalCheck& on_signal) {
  int dir = folder.fd.get();
  auto renamed = interruptible(
      on_signal, [&] { return ::renameat(dir, temp.name.c_str(), dir, target_name.c_str()); });
  if (!renamed) {
    ::unlinkat(dir, temp.name.c_str(), 0);
    if (exists && refuses_rename(errno_of(renamed.error()))) return Replaced::Refused;
    return std::move(renamed.error());
  }
  // The data was flushed before the rename: close has nothing left to report.
  temp.fd.reset();
  if (folder.is_readable) {
    // Losing this flush loses nothing that was promised, but a signal handler's exception must
    // still reach the caller.
    auto synced = interruptible(on_signal, [&] { return ::fsync(dir); });
    if (!synced && synced.error().kind == ErrorKind::Raised) return std::move(synced.error());
  }
  return Replaced::Done;
}

// Gives fd, an unnamed file in dir, the name name. The direct way needs CAP_DAC_READ_SEARCH on
// kernels before 6.10 (ENOENT without it); /proc's link to the descriptor works for everyone
// where /proc is mounted.
Status link_unnamed(int fd, int dir, const char* name, const SignalCheck& on_signal) {
  auto direct =
      interruptible(on_signal, [&] { return ::linkat(fd, "", dir, name, AT_EMPTY_PATH); });
  if (direct) return Ok{};
  int err = errno_of(direct.error());
  if (err != ENOENT && err != EPERM && err != EACCES && err != EINVAL) {
    return std::move(direct.error());
  }
  char proc_path[40];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
  auto via_proc = interruptible(
      on_signal, [&] { return ::linkat(AT_FDCWD, proc_path, dir, name, AT_SYMLINK_FOLLOW); });
  if (via_proc) return Ok{};
  return std::move(via_proc.error());
}

// Replaces target through an unnamed temporary (O_TMPFILE): until it is complete it has no name,
// so a process killed meanwhile leaves nothing behind. Gives NoUnnamedFiles, having changed
// nothing, where the folder's file system has no unnamed files or they cannot be linked in.
Result<Replaced> replace_through_unnamed(const Folder& folder, const std::string& stem,
                                         const std::string& target_name,
                                         const struct stat* existing, std::string_view text,
                                         const SignalCheck& on_signal) {
  int dir = folder.fd.get();
  auto opened = open_at(on_signal, dir, ".", O_TMPFILE | O_WRONLY, 0666);
  if (!opened) {
    int err = errno_of(opened.error());
    if (refuses_new_files(err)) return Replaced::Refused;
    // EISDIR: a kernel that does not know O_TMPFILE sees only its O_DIRECTORY part.
    if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) return Replaced::NoUnnamedFiles;
    return std::move(opened.error());
  }
  Temporary temp{std::move(opened.value()), {}};
  // Locked before it has a name, so no cleaner ever finds it unlocked.
  lock_whole_file(temp.fd.get());
  auto filled = fill(temp, existing, text, on_signal);
  if (!filled || filled.value() != Replaced::Done) return filled;
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string name = stem + hex_digits(random_word());
    auto linked = link_unnamed(temp.fd.get(), dir, name.c_str(), on_signal);
    if (linked) {
      temp.name = std::move(name);
      return commit(folder, temp, target_name, existing != nullptr, on_signal);
    }
    int err = errno_of(linked.error());
    if (err == EEXIST) continue;
    if (err == ENOENT || err == EPERM || err == EACCES || err == EINVAL) {
      return Replaced::NoUnnamedFiles;
    }
    return std::move(linked.error());
  }
  return os_error_from_errno(EEXIST);
}

// Creates a named temporary beside the target and takes its lock. Between the creation and the
// lock a cleaner may take the new file for a dead writer's: then it holds the lock or has
// unlinked the file, and another name is tried. Gives nullopt when the folder refuses new files.
Result<std::optional<Temporary>> make_named(int dir, const std::string& stem,
                                            const SignalCheck& on_signal) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string name = stem + hex_digits(random_word());
    auto created =
        open_at(on_signal, dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (!created) {
      int err = errno_of(created.error());
      if (err == EEXIST) continue;
      if (refuses_new_files(err)) return std::optional<Temporary>();
      return std::move(created.error());
    }
    Temporary temp{std::move(created.value()), std::move(name)};
    // Without lock support (EINVAL, ENOLCK) no cleaner can take a lock either, so nothing
    // removes the file under us.
    if (lock_whole_file(temp.fd.get()) == EAGAIN) continue;
    struct stat info;
    if (::fstat(temp.fd.get(), &info) != 0) {
      int err = errno;
      ::unlinkat(dir, temp.name.c_str(), 0);
      return os_error_from_errno(err);
    }
    if (info.st_nlink == 0) continue;
    return std::optional<Temporary>(std::move(temp));
  }
  return os_error_from_errno(EEXIST);
}

Result<Replaced> replace_through_named(const Folder& folder, const std::string& stem,
                                       const std::string& target_name, const struct stat* existing,
                                       std::string_view text, const SignalCheck& on_signal) {
  int dir = folder.fd.get();
  auto made = make_named(dir, stem, on_signal);
  if (!made) return std::move(made.error());
  if (!made.value()) return Replaced::Refused;
  Temporary& temp = *made.value();
  auto filled = fill(temp, existing, text, on_signal);
  if (!filled || filled.value() != Replaced::Done) {
    ::unlinkat(dir, temp.name.c_str(), 0);  // still holding its lock
    return filled;
  }
  return commit(folder, temp, target_name, existing != nullptr, on_signal);
}

// Writes text to a new file beside target and renames it over target, so that a failure at any
// point leaves target as it was. existing is target's status when it exists, else null. Gives
// Refused, having changed nothing, when the folder refuses new files, the target refuses the
// rename, or the owner cannot be kept. Every failure to make the temporary (a full disk, a
// quota, too many open files) is an error of its own.
Result<Replaced> replace_atomically(const std::string& target, const struct stat* existing,
                                    std::string_view text, const SignalCheck& on_signal) {
  auto folder = open_folder(target, on_signal);
  if (!folder) return std::move(folder.error());
  std::string target_name = target.substr(target.find_last_of('/') + 1);
  std::string stem =
      temporary_stem(target_name, ::fpathconf(folder.value().fd.get(), _PC_NAME_MAX));
  if (folder.value().is_readable) remove_abandoned_temporaries(folder.value().fd.get(), stem);
  auto unnamed =
      replace_through_unnamed(folder.value(), stem, target_name, existing, text, on_signal);
  if (!unnamed || unnamed.value() != Replaced::NoUnnamedFiles) return unnamed;
  return replace_through_named(folder.value(), stem, target_name, existing, text, on_signal);
}

}  // namespace

std::string os_error_text(int err) {
  char buffer[128];
  // GNU strerror_r: returns either buffer or a static string, always terminated.
  const char* message = ::strerror_r(err, buffer, sizeof buffer);
  std::string text = utf8_replacing(message);
  return text + " (os error " + std::to_string(err) + ")";
}

Error os_error_from_errno(int err) { return os_error(os_error_text(err), err); }

Result<SettingValue> load_file(const FileFormat& format, const std::string& path,
                               const SignalCheck& on_signal) {
  if (path.find('\0') != std::string::npos) {
    return os_error("Failed to open config file: file name contained an unexpected NUL byte");
  }
  auto fd = open_at(on_signal, AT_FDCWD, path.c_str(), O_RDONLY);
  if (!fd) {
    if (fd.error().kind != ErrorKind::OS) return std::move(fd.error());
    int err = errno_of(fd.error());
    if (err == ENOENT) return SettingValue::map();
    return os_error("Failed to open config file: " + os_error_text(err));
  }
  FdSource source(fd.value().get(), on_signal);
  return read_settings(format, source);
}

Status save_file(const FileFormat& format, const std::string& path, const SettingValue& root,
                 const SignalCheck& on_signal) {
  auto written = format.write(root);
  if (!written) return std::move(written.error());
  const std::string_view text = written.value().view();
  if (path.find('\0') != std::string::npos) {
    return os_error("file name contained an unexpected NUL byte");
  }
  // What opening "" reports, without leaving a temporary in the current directory on the way.
  if (path.empty()) return os_error_from_errno(ENOENT);
  ORN_TRY(make_directories(parent_of(path), on_signal));

  auto resolved = resolve_links(path);
  if (!resolved) return std::move(resolved.error());
  const std::string& target = resolved.value();
  if (target.back() == '/') {
    // Only a directory can have such a name: opening it to create a file fails as the system
    // says (EISDIR, ENOTDIR) and creates nothing.
    auto opened = open_at(on_signal, AT_FDCWD, target.c_str(), O_WRONLY | O_CREAT, 0666);
    if (!opened) return std::move(opened.error());
    return os_error_from_errno(EISDIR);
  }
  struct stat info;
  bool exists = ::stat(target.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return os_error_from_errno(errno);
  // A device or FIFO must be written, never replaced by a regular file (think /dev/null); a
  // directory gets the EISDIR that opening it for writing gives.
  if (exists && !S_ISREG(info.st_mode)) {
    auto special = open_at(on_signal, AT_FDCWD, target.c_str(), O_WRONLY);
    if (!special) return std::move(special.error());
    ORN_TRY(write_all(special.value().get(), text, on_signal));
    if (int err = special.value().reset()) return os_error_from_errno(err);
    return Ok{};
  }
  // The target must be writable as it stands, exactly as a rewrite in place requires; the
  // rename alone would only need a writable folder. The probe serves such a rewrite.
  Fd writable;
  if (exists) {
    auto probe = open_at(on_signal, AT_FDCWD, target.c_str(), O_WRONLY);
    if (!probe) return std::move(probe.error());
    writable = std::move(probe.value());
  }
  auto replaced = replace_atomically(target, exists ? &info : nullptr, text, on_signal);
  if (!replaced) return std::move(replaced.error());
  if (replaced.value() == Replaced::Done) return Ok{};
  if (!writable.valid()) {
    auto created = open_at(on_signal, AT_FDCWD, target.c_str(), O_WRONLY | O_CREAT, 0666);
    if (!created) return std::move(created.error());
    writable = std::move(created.value());
  }
  ORN_TRY(rewrite_in_place(writable.get(), text, on_signal));
  if (int err = writable.reset()) return os_error_from_errno(err);
  return Ok{};
}

}  // namespace orn
