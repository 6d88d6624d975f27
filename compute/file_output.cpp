#include "compute/file_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// The permissions a new file gets from the process's umask.
mode_t new_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::optional<std::string> write_file(const fs::path& path, const file_writer& write) {
  struct stat target {};
  if (stat(path.c_str(), &target) == 0) {
    if (S_ISDIR(target.st_mode)) return reason_of(EISDIR);
    if (!S_ISREG(target.st_mode)) return write_in_place(path, write);
  }

  // A link to a regular file: the file it points to is replaced.
  std::error_code ec;
  fs::path final_path = path;
  if (fs::is_symlink(path, ec)) {
    const fs::path resolved = fs::canonical(path, ec);
    if (!ec) final_path = resolved;
  }
  const fs::path folder = final_path.has_parent_path() ? final_path.parent_path() : fs::path(".");
  std::string temporary = (folder / ("." + final_path.filename().string() + ".XXXXXX")).string();
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return reason_of(errno);

  const mode_t mode =
      S_ISREG(target.st_mode) ? (target.st_mode & 07777) : new_file_mode();
  int error = fchmod(fd, mode) != 0 ? errno : 0;
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
