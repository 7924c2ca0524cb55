#include "drivers/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "formats/json.hpp"

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
  // Closes now and reports close's error (a failed close can mean lost data on write).
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

bool valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t length;
    std::uint32_t code;
    if (c >= 0xc2 && c <= 0xdf) {
      length = 2;
      code = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      length = 3;
      code = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      length = 4;
      code = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      if ((p[i] & 0xc0) != 0x80) return false;
      code = (code << 6) | (p[i] & 0x3f);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
        (length == 4 && (code < 0x10000 || code > 0x10ffff))) {
      return false;
    }
    p += length;
  }
  return true;
}

// Reads everything from fd through 8192-byte reads; a failure is the OS error of its kind.
Result<std::string> read_all(int fd) {
  std::string bytes;
  char buffer[8192];
  FdSource source(fd);
  for (;;) {
    auto n = source.read(buffer, sizeof buffer);
    if (!n) return std::move(n.error());
    if (n.value() == 0) return bytes;
    bytes.append(buffer, n.value());
  }
}

// The whole file, read again by path, as UTF-8 text; failures are OS errors of their kind.
Result<std::string> read_utf8_file(const std::string& path) {
  Fd fd(open_retrying(path.c_str(), O_RDONLY));
  if (!fd.valid()) return os_error_from_errno(errno);
  auto bytes = read_all(fd.get());
  if (!bytes) return std::move(bytes.error());
  if (!valid_utf8(bytes.value())) return os_error("stream did not contain valid UTF-8");
  return bytes;
}

Result<SettingValue> not_built(const char* prefix, const char* format) {
  return type_error(std::string(prefix) + format + " files are not supported by this build yet");
}

Result<SettingValue> parse_opened(FileKind kind, int fd, const std::string& path) {
  switch (kind) {
    case FileKind::Json: {
      FdSource source(fd);
      auto root = read_json(source);
      if (!root) return type_error("JSON parse error: " + root.error().message);
      return root;
    }
    case FileKind::Json5: {
      auto text = read_utf8_file(path);
      if (!text) return std::move(text.error());
      return not_built("JSON5 parse error: ", "JSON5");
    }
    case FileKind::Toml: {
      auto text = read_utf8_file(path);
      if (!text) return std::move(text.error());
      return not_built("TOML parse error: ", "TOML");
    }
    case FileKind::Yaml: {
      auto bytes = read_all(fd);
      if (!bytes) return type_error("YAML parse error: " + bytes.error().message);
      return not_built("YAML parse error: ", "YAML");
    }
  }
  return internal_error("unknown file kind");
}

Result<std::string> serialise(FileKind kind, const SettingValue& root) {
  switch (kind) {
    case FileKind::Json:
      return write_json(root);
    case FileKind::Json5:
      return type_error("JSON5 files cannot be written by this build yet");
    case FileKind::Toml:
      return type_error("TOML files cannot be written by this build yet");
    case FileKind::Yaml:
      return type_error("YAML files cannot be written by this build yet");
  }
  return internal_error("unknown file kind");
}

std::string parent_of(const std::string& path) {
  std::size_t end = path.find_last_of('/');
  if (end == std::string::npos) return {};
  // Trailing and repeated separators before the last component do not name a directory.
  while (end > 0 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

// Creates dir and every missing ancestor, outermost first; existing directories are fine.
Status make_directories(const std::string& dir) {
  if (dir.empty()) return Ok{};
  struct stat info;
  if (::stat(dir.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return Ok{};
    return os_error_from_errno(EEXIST);
  }
  if (errno != ENOENT) return os_error_from_errno(errno);
  ORN_TRY(make_directories(parent_of(dir)));
  if (::mkdir(dir.c_str(), 0777) == 0) return Ok{};
  int err = errno;
  // Someone else may have made it meanwhile.
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

Status rewrite_in_place(const std::string& path, std::string_view text) {
  Fd fd(open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!fd.valid()) return os_error_from_errno(errno);
  ORN_TRY(write_all(fd.get(), text));
  if (int err = fd.reset()) return os_error_from_errno(err);
  return Ok{};
}

// The file a save replaces: the target itself, or the end of its chain of symbolic links, so that
// a link stays a link.
Result<std::string> resolve_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
    ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) return os_error_from_errno(errno);
    target.resize(static_cast<std::size_t>(n));
    if (!target.empty() && target[0] != '/') {
      std::size_t slash = current.find_last_of('/');
      if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = std::move(target);
  }
  return os_error_from_errno(ELOOP);
}

std::string temporary_name(const std::string& target) {
  std::size_t slash = target.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  static thread_local std::mt19937_64 random(std::random_device{}());
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "%d-%016llx", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(random()));
  return dir + "." + base + ".tmp-" + suffix;
}

// Writes text to a new file beside target and renames it over target: a failure at any point
// leaves target as it was. Sets refused, and does nothing else, when the directory refuses new
// files (a writable file in a read-only directory, a name too long for the temporary's suffix);
// the caller then rewrites the file in place.
Status replace_atomically(const std::string& target, std::string_view text, bool& refused) {
  refused = false;
  struct stat existing;
  bool exists = ::stat(target.c_str(), &existing) == 0;

  std::string temporary;
  Fd fd;
  for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
    temporary = temporary_name(target);
    fd = Fd(open_retrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
    if (fd.valid() || errno == EEXIST) continue;
    if (errno == EACCES || errno == EPERM || errno == ENAMETOOLONG) {
      refused = true;
      return Ok{};
    }
    return os_error_from_errno(errno);  // nothing has been touched
  }
  if (!fd.valid()) return os_error_from_errno(EEXIST);

  auto fail = [&](int err) -> Status {
    fd.reset();
    ::unlink(temporary.c_str());
    return os_error_from_errno(err);
  };
  if (exists) {
    if (::fchown(fd.get(), existing.st_uid, existing.st_gid) != 0 && errno != EPERM) {
      // Not allowed to give the file away: it keeps this process's owner.
    }
    if (::fchmod(fd.get(), existing.st_mode & 07777) != 0) return fail(errno);
  }
  if (auto written = write_all(fd.get(), text); !written) {
    Error error = std::move(written.error());
    fd.reset();
    ::unlink(temporary.c_str());
    return error;
  }
  // A file system that cannot flush (EINVAL) is no reason to fail; any other error is.
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return fail(errno);
  if (int err = fd.reset()) {
    ::unlink(temporary.c_str());
    return os_error_from_errno(err);
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temporary.c_str());
    return os_error_from_errno(err);
  }
  // Make the rename itself durable; a failure here loses nothing that was promised.
  std::string dir = parent_of(target);
  Fd dir_fd(open_retrying(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir_fd.valid()) ::fsync(dir_fd.get());
  return Ok{};
}

}  // namespace

std::string os_error_text(int err) {
  char buffer[128];
  const char* message = ::strerror_r(err, buffer, sizeof buffer);
  std::string text;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(message); *p; ++p) {
    text.push_back(static_cast<char>(*p));
  }
  if (!valid_utf8(text)) {
    std::string cleaned;
    for (unsigned char c : text) {
      if (c < 0x80) {
        cleaned.push_back(static_cast<char>(c));
      } else {
        cleaned += "\xef\xbf\xbd";
      }
    }
    text = std::move(cleaned);
  }
  return text + " (os error " + std::to_string(err) + ")";
}

Error os_error_from_errno(int err) { return os_error(os_error_text(err), err); }

Result<SettingValue> load_file(FileKind kind, const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return os_error("Failed to open config file: file name contained an unexpected NUL byte");
  }
  Fd fd(open_retrying(path.c_str(), O_RDONLY));
  if (!fd.valid()) {
    if (errno == ENOENT) return SettingValue::map();
    return os_error("Failed to open config file: " + os_error_text(errno));
  }
  return parse_opened(kind, fd.get(), path);
}

Status save_file(FileKind kind, const std::string& path, const SettingValue& root) {
  auto text = serialise(kind, root);
  if (!text) return std::move(text.error());
  if (path.find('\0') != std::string::npos) {
    return os_error("file name contained an unexpected NUL byte");
  }
  ORN_TRY(make_directories(parent_of(path)));

  auto target = resolve_links(path);
  if (!target) return std::move(target.error());
  // An existing target must be writable, exactly as a rewrite in place would require.
  struct stat info;
  if (::stat(target.value().c_str(), &info) == 0) {
    Fd probe(open_retrying(target.value().c_str(), O_WRONLY));
    if (!probe.valid()) return os_error_from_errno(errno);
  } else if (errno != ENOENT) {
    return os_error_from_errno(errno);
  }
  bool refused = false;
  Status replaced = replace_atomically(target.value(), text.value(), refused);
  if (refused) return rewrite_in_place(target.value(), text.value());
  return replaced;
}

}  // namespace orn
