#include "compute/curves/file_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

namespace veltrane {

namespace {

namespace fs = std::filesystem;

std::string reason_of(int error) { return std::strerror(error != 0 ? error : EIO); }

// Runs the writer on an open descriptor, then flushes (and, for a regular
// file, syncs) and closes it. Returns 0 or the first errno.
int write_through(int fd, const file_writer& write, bool sync) {
  std::FILE* out = fdopen(fd, "w");
  if (out == nullptr) {
    const int error = errno;
    close(fd);
    return error;
  }
  errno = 0;
  int error = write(out);
  if (error == 0 && std::fflush(out) != 0) error = errno != 0 ? errno : EIO;
  if (error == 0 && sync && fsync(fileno(out)) != 0) error = errno;
  errno = 0;
  if (std::fclose(out) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  return error;
}

// Opens a device or pipe for writing without waiting for a reader.
int open_special(const fs::path& path, std::optional<std::string>& problem) {
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    problem = errno == ENXIO ? std::string("nothing is reading from this pipe") : reason_of(errno);
  }
  return fd;
}

std::optional<std::string> write_in_place(const fs::path& path, const file_writer& write) {
  std::optional<std::string> problem;
  const int fd = open_special(path, problem);
  if (fd < 0) return problem;
  // Only the opening must not wait; the writing may.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    const int error = errno;
    close(fd);
    return reason_of(error);
  }
  if (const int error = write_through(fd, write, false)) return reason_of(error);
  return std::nullopt;
}

// Where a chain of symbolic links ends, also when its last target does not
// exist yet (a dangling link is written through, never replaced by a file).
// Nothing when the chain is too long or cannot be read.
std::optional<fs::path> link_target(const fs::path& path) {
  constexpr int max_links = 40;  // as the kernel's own limit
  fs::path p = path;
  std::error_code ec;
  for (int i = 0; i < max_links; ++i) {
    if (!fs::is_symlink(p, ec)) return p;
    const fs::path target = fs::read_symlink(p, ec);
    if (ec) return std::nullopt;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  return std::nullopt;
}

// The start of the temporary name: "." and as much of the target's name as
// leaves room for the 17 characters after it (".", 16 hex digits) within the
// folder's limit of a name (NAME_MAX, 255 bytes on most file systems), so
// that every name the folder takes can be written. A cut never splits a
// character of UTF-8.
std::string temporary_prefix(const fs::path& folder, const std::string& target_name) {
  long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
  if (limit <= 0) limit = NAME_MAX;
  constexpr std::size_t added = 1 + 1 + 16;
  const auto room = static_cast<std::size_t>(limit) > added
                        ? static_cast<std::size_t>(limit) - added
                        : std::size_t{0};
  std::size_t cut = std::min(room, target_name.size());
  // Back to the first byte of the character that the cut would split.
  while (cut > 0 && cut < target_name.size() &&
         (static_cast<unsigned char>(target_name[cut]) & 0xC0u) == 0x80u) {
    --cut;
  }
  return "." + target_name.substr(0, cut);
}

// A new file beside `final_path` that no other process has: created with
// O_EXCL under a name with a random part. A new file gets mode 0666 less the
// umask from the kernel, without the process's umask being touched.
int create_temporary(const fs::path& final_path, std::string& name) {
  const fs::path folder = final_path.has_parent_path() ? final_path.parent_path() : fs::path(".");
  const std::string prefix = temporary_prefix(folder, final_path.filename().string());
  static thread_local std::mt19937_64 random{std::random_device{}()};
  constexpr int attempts = 100;
  for (int i = 0; i < attempts; ++i) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    name = (folder / (prefix + "." + suffix)).string();
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// After a rename the new name lives in the folder's entry: syncing the folder
// keeps it across a crash. File systems that cannot sync a folder say EINVAL.
int sync_folder(const fs::path& final_path) {
  const fs::path folder = final_path.has_parent_path() ? final_path.parent_path() : fs::path(".");
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = fsync(fd) != 0 && errno != EINVAL ? errno : 0;
  close(fd);
  return error;
}

}  // namespace

std::optional<std::string> write_file(const fs::path& path, const file_writer& write) {
  const auto resolved = link_target(path);
  if (!resolved) return reason_of(ELOOP);
  const fs::path& final_path = *resolved;
  struct stat target {};
  const bool exists = stat(final_path.c_str(), &target) == 0;
  if (exists) {
    if (S_ISDIR(target.st_mode)) return reason_of(EISDIR);
    if (!S_ISREG(target.st_mode)) return write_in_place(path, write);
  }

  std::string temporary;
  const int fd = create_temporary(final_path, temporary);
  if (fd < 0) return reason_of(errno);
  // A replaced file keeps its permissions.
  int error = exists && fchmod(fd, target.st_mode & 07777) != 0 ? errno : 0;
  if (error == 0) {
    error = write_through(fd, write, true);
  } else {
    close(fd);
  }
  if (error == 0 && std::rename(temporary.c_str(), final_path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    return reason_of(error);
  }
  if (const int sync_error = sync_folder(final_path)) return reason_of(sync_error);
  return std::nullopt;
}

std::optional<std::string> write_file(const fs::path& path, std::string_view bytes) {
  return write_file(path, [bytes](std::FILE* out) {
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
      return errno != 0 ? errno : EIO;
    }
    return 0;
  });
}

output_check::output_check(const fs::path& path) {
  struct stat target {};
  if (stat(path.c_str(), &target) == 0 && S_ISFIFO(target.st_mode))
    fd_ = open_special(path, problem_);
}

output_check::~output_check() {
  if (fd_ >= 0) close(fd_);
}

std::string file_failure_message(std::string_view verb, const fs::path& path,
                                 const std::string& reason) {
  std::error_code ec;
  fs::path shown = fs::absolute(path, ec);
  if (ec) shown = path;
  return std::string(verb) + " " + shown.string() + ": " + reason;
}

}  // namespace veltrane
