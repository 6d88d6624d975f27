#include "apt/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "apt/read_error.hpp"

namespace veltrane::apt {

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& reason) {
  throw read_error(path.string() + ": " + reason);
}

// Closes the descriptor on every way out; the mapping outlives it.
struct descriptor {
  int fd;
  ~descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

mapped_file::mapped_file(const std::filesystem::path& path) : path_(path) {
  const descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) fail(path, std::strerror(errno));
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) fail(path, std::strerror(errno));
  if (S_ISDIR(info.st_mode)) fail(path, "is a folder, not a file");
  if (!S_ISREG(info.st_mode)) fail(path, "is not a regular file and cannot be mapped");
  if (info.st_size < 0 ||
      static_cast<std::uintmax_t>(info.st_size) > std::numeric_limits<std::size_t>::max()) {
    fail(path, "is too large to be mapped on this machine");
  }
  size_ = static_cast<std::size_t>(info.st_size);
  if (size_ == 0) return;  // mmap refuses a length of 0
  void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, file.fd, 0);
  if (p == MAP_FAILED) {
    size_ = 0;
    fail(path, std::string("cannot be mapped: ") + std::strerror(errno));
  }
  data_ = static_cast<const std::byte*>(p);
}

mapped_file::~mapped_file() {
  if (data_ != nullptr) ::munmap(const_cast<std::byte*>(data_), size_);
}

mapped_file::mapped_file(mapped_file&& other) noexcept
    : path_(std::move(other.path_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

mapped_file& mapped_file::operator=(mapped_file&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(const_cast<std::byte*>(data_), size_);
    path_ = std::move(other.path_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

}  // namespace veltrane::apt
