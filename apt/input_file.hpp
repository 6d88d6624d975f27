#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace veltrane::apt {

/// A regular file open for reading, read at any offset. The file is never
/// mapped into memory: a file that another program cuts short while it is
/// being read then gives a read error, where touching a mapping beyond the
/// new end would end the process (SIGBUS). Sizes are 64-bit. Reading is
/// const and keeps no position, so several threads may read one file at
/// once.
class input_file {
 public:
  /// Opens the file at `path`. Throws open_error
  ///   "<path>: cannot be opened for reading: <the system's reason>"
  ///   (No such file or directory, Permission denied, Not a directory, ...)
  ///   "<path>: is not a regular file (a folder)" (or a named pipe, a
  ///   device, a socket).
  /// What the path names is looked at before it is opened, so that a pipe
  /// without a writer or a device is never opened; the file is then opened
  /// without waiting (O_NONBLOCK) and looked at again, so that a pipe put in
  /// its place in between is refused as well instead of waited for.
  explicit input_file(const std::filesystem::path& path);
  ~input_file();
  input_file(input_file&& other) noexcept;
  input_file& operator=(input_file&& other) noexcept;
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;

  /// The size in bytes when the file was opened.
  std::uint64_t size() const { return size_; }
  /// The path as it was given, for messages.
  const std::filesystem::path& path() const { return path_; }

  /// Reads the bytes [offset, offset + out.size()) into `out`; they must lie
  /// within size() (std::out_of_range otherwise). Throws read_error
  ///   "<path>: cannot be read: it was cut off while being read (<n> bytes
  ///   when opened, <m> now)" when the file ends before them,
  ///   "<path>: cannot be read: <the system's reason>" when reading fails.
  void read(std::uint64_t offset, std::span<std::byte> out) const;

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

}  // namespace veltrane::apt
