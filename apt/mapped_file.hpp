#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace veltrane::apt {

/// A file mapped read-only into memory, for as long as this object lives.
/// Sizes are 64-bit: files of more than 4 GiB are mapped whole, and nothing
/// is copied; pages are read from the disk when first touched. An empty file
/// is fine and gives no bytes. The view stays valid while the object lives
/// (also after a move, which takes the mapping along).
class mapped_file {
 public:
  /// Maps the file at `path`. Throws read_error "<path>: <reason>" when it
  /// cannot be opened, is no regular file (a folder, a pipe) or cannot be
  /// mapped.
  explicit mapped_file(const std::filesystem::path& path);
  ~mapped_file();
  mapped_file(mapped_file&& other) noexcept;
  mapped_file& operator=(mapped_file&& other) noexcept;
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;

  /// The file's bytes; empty for an empty file.
  std::span<const std::byte> bytes() const { return {data_, size_}; }
  /// The size in bytes.
  std::uint64_t size() const { return size_; }
  /// The path as it was given, for messages.
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace veltrane::apt
