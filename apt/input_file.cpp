#include "apt/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "apt/read_error.hpp"

namespace veltrane::apt {

namespace {

[[noreturn]] void refuse(const std::filesystem::path& path, const std::string& what) {
  throw open_error(path.string() + ": " + what);
}

[[noreturn]] void cannot_open(const std::filesystem::path& path, int error) {
  refuse(path, std::string("cannot be opened for reading: ") + std::strerror(error));
}

// What a file that is no regular file is, in words.
std::string kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "of an unknown kind";
}

void check_regular(const std::filesystem::path& path, const struct stat& info) {
  if (!S_ISREG(info.st_mode)) refuse(path, "is not a regular file (" + kind_of(info.st_mode) + ")");
}

}  // namespace

input_file::input_file(const std::filesystem::path& path) : path_(path) {
  // Looked at first: opening a pipe would wait for its writer, and opening
  // a device may do something.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) cannot_open(path, errno);
  check_regular(path, info);
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) cannot_open(path, errno);
  // The path may name another file by now: what was opened counts.
  if (::fstat(fd_, &info) != 0) {
    const int error = errno;
    ::close(fd_);
    cannot_open(path, error);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd_);
    check_regular(path, info);
  }
  size_ = static_cast<std::uint64_t>(info.st_size);
}

input_file::~input_file() {
  if (fd_ >= 0) ::close(fd_);
}

input_file::input_file(input_file&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      size_(std::exchange(other.size_, 0)) {}

input_file& input_file::operator=(input_file&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void input_file::read(std::uint64_t offset, std::span<std::byte> out) const {
  if (offset > size_ || out.size() > size_ - offset) {
    throw std::out_of_range(path_.string() + ": bytes beyond the end of the file were asked for");
  }
  std::size_t done = 0;
  while (done < out.size()) {
    // size_ came from st_size, so every offset within it is an off_t.
    const auto at = static_cast<off_t>(offset + done);
    const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, at);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw read_error(path_.string() + ": cannot be read: " + std::strerror(errno));
    }
    // The end of the file before the bytes that were there when it was
    // opened: someone has cut it short since.
    struct stat info {};
    const std::string now = ::fstat(fd_, &info) == 0 ? std::to_string(info.st_size) : "fewer";
    throw read_error(path_.string() + ": cannot be read: it was cut off while being read (" +
                     std::to_string(size_) + " bytes when opened, " + now + " now)");
  }
}

}  // namespace veltrane::apt
