#include "drivers/files.hpp"

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
#include <utility>

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
  // report of lost data.
  int reset() noexcept {
    if (fd_ < 0) return 0;
    int rc = ::close(std::exchange(fd_, -1));
    return rc == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return os_error_from_errno(errno);
    }
  }

 private:
  int fd_;
};

// The path without its last component; empty for a bare name and for anything directly under /.
std::string parent_of(const std::string& path) {
  std::size_t end = path.find_last_of('/');
  if (end == std::string::npos) return {};
  // Repeated separators before the last component do not name a directory of their own.
  while (end > 0 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

// Creates dir and every missing ancestor, outermost first; existing directories are fine.
Status make_directories(const std::string& dir) {
  if (dir.empty()) return Ok{};
  struct stat info;
  if (::stat(dir.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return Ok{};
    return os_error_from_errno(EEXIST);  // what mkdir says about a file in the way
  }
  if (errno != ENOENT) return os_error_from_errno(errno);
  ORN_TRY(make_directories(parent_of(dir)));
  if (::mkdir(dir.c_str(), 0777) == 0) return Ok{};
  int err = errno;
  // Another process may have made it between our stat and mkdir.
  if (err == EEXIST && ::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return Ok{};
  return os_error_from_errno(err);
}

Status write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error_from_errno(errno);
    }
    if (n == 0) return os_error("failed to write whole buffer");
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return Ok{};
}

// Truncates and rewrites path: not crash-safe, for targets that cannot be replaced by a rename.
Status rewrite_in_place(const std::string& path, std::string_view text) {
  Fd fd(open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!fd.valid()) return os_error_from_errno(errno);
  ORN_TRY(write_all(fd.get(), text));
  if (int err = fd.reset()) return os_error_from_errno(err);
  return Ok{};
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

// ".<name>.tmp-<pid>-<random>" beside target: hidden, and recognisable as ours if a crash
// leaves it behind.
std::string temporary_name(const std::string& target) {
  std::size_t slash = target.find_last_of('/');
  std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%016llx", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(random_word()));
  return target.substr(0, base) + "." + target.substr(base) + suffix;
}

// The directory will not take a new file, or the target cannot be renamed over (a file
// bind-mounted into place): only an in-place rewrite can save there.
bool refuses_replacement(int err) {
  return err == EACCES || err == EPERM || err == EROFS || err == ENAMETOOLONG || err == EBUSY ||
         err == EXDEV;
}

enum class Replaced : std::uint8_t { Done, Refused };

// Writes text to a new file beside target and renames it over target, so that a failure at any
// point leaves target as it was. existing is target's status when it exists, else null. Gives
// Refused, having changed nothing, when refuses_replacement says so.
Result<Replaced> replace_atomically(const std::string& target, const struct stat* existing,
                                    std::string_view text) {
  std::string temporary;
  Fd fd;
  for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
    temporary = temporary_name(target);
    fd = Fd(open_retrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
    if (fd.valid() || errno == EEXIST) continue;
    if (refuses_replacement(errno)) return Replaced::Refused;
    return os_error_from_errno(errno);
  }
  if (!fd.valid()) return os_error_from_errno(EEXIST);

  auto discard = [&](Error error) -> Result<Replaced> {
    fd.reset();
    ::unlink(temporary.c_str());
    return error;
  };
  if (existing != nullptr) {
    // Owner first: fchown may clear the set-id bits that fchmod then restores. Only root may
    // give a file away: when the new file cannot carry the old owner and group, replacing would
    // hand someone else's settings file to this user, so it is rewritten in place instead.
    struct stat made;
    if (::fchown(fd.get(), existing->st_uid, existing->st_gid) != 0 &&
        (::fstat(fd.get(), &made) != 0 || made.st_uid != existing->st_uid ||
         made.st_gid != existing->st_gid)) {
      fd.reset();
      ::unlink(temporary.c_str());
      return Replaced::Refused;
    }
    if (::fchmod(fd.get(), existing->st_mode & 07777) != 0) {
      return discard(os_error_from_errno(errno));
    }
  }
  if (auto written = write_all(fd.get(), text); !written) {
    return discard(std::move(written.error()));
  }
  // A file system that cannot flush (EINVAL) is no reason to fail; any other error is.
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return discard(os_error_from_errno(errno));
  if (int err = fd.reset()) return discard(os_error_from_errno(err));
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temporary.c_str());
    if (existing != nullptr && refuses_replacement(err)) return Replaced::Refused;
    return os_error_from_errno(err);
  }
  // Makes the rename itself durable; a failure here loses nothing that was promised.
  std::string dir = parent_of(target);
  if (dir.empty() && !target.empty() && target[0] == '/') dir = "/";
  Fd dir_fd(open_retrying(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir_fd.valid()) ::fsync(dir_fd.get());
  return Replaced::Done;
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

Result<SettingValue> load_file(const FileFormat& format, const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return os_error("Failed to open config file: file name contained an unexpected NUL byte");
  }
  Fd fd(open_retrying(path.c_str(), O_RDONLY));
  if (!fd.valid()) {
    int err = errno;
    if (err == ENOENT) return SettingValue::map();
    return os_error("Failed to open config file: " + os_error_text(err));
  }
  FdSource source(fd.get());
  return read_settings(format, source);
}

Status save_file(const FileFormat& format, const std::string& path, const SettingValue& root) {
  auto text = format.write(root);
  if (!text) return std::move(text.error());
  if (path.find('\0') != std::string::npos) {
    return os_error("file name contained an unexpected NUL byte");
  }
  // What opening "" reports, without leaving a temporary in the current directory on the way.
  if (path.empty()) return os_error_from_errno(ENOENT);
  ORN_TRY(make_directories(parent_of(path)));

  auto resolved = resolve_links(path);
  if (!resolved) return std::move(resolved.error());
  const std::string& target = resolved.value();
  struct stat info;
  bool exists = ::stat(target.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return os_error_from_errno(errno);
  // A device or FIFO must be written, never replaced by a regular file (think /dev/null); a
  // directory gets the EISDIR that opening it for writing gives.
  if (exists && !S_ISREG(info.st_mode)) return rewrite_in_place(target, text.value());
  if (exists) {
    // The target must be writable as it stands, exactly as a rewrite in place requires; the
    // rename alone would only need a writable directory.
    Fd probe(open_retrying(target.c_str(), O_WRONLY));
    if (!probe.valid()) return os_error_from_errno(errno);
  }
  auto replaced = replace_atomically(target, exists ? &info : nullptr, text.value());
  if (!replaced) return std::move(replaced.error());
  if (replaced.value() == Replaced::Refused) return rewrite_in_place(target, text.value());
  return Ok{};
}

}  // namespace orn
