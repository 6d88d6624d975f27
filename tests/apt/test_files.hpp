#pragma once

// What the tests of the readers share: bytes built by hand, in a given byte
// order (independently of the readers' own decoding), and files in a
// temporary folder.

#include <unistd.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::apt::testing {

/// Bytes appended one number at a time, most significant byte first for
/// big-endian, least significant first for little-endian.
class byte_builder {
 public:
  byte_builder& be32(std::uint32_t v) { return put(v, 4, true); }
  byte_builder& be_float(float v) { return be32(std::bit_cast<std::uint32_t>(v)); }
  byte_builder& le16(std::uint16_t v) { return put(v, 2, false); }
  byte_builder& le32(std::uint32_t v) { return put(v, 4, false); }
  byte_builder& le_i32(std::int32_t v) { return le32(std::bit_cast<std::uint32_t>(v)); }
  byte_builder& le64(std::uint64_t v) { return put(v, 8, false); }
  byte_builder& le_float(float v) { return le32(std::bit_cast<std::uint32_t>(v)); }
  byte_builder& le_double(double v) { return le64(std::bit_cast<std::uint64_t>(v)); }
  /// ASCII text, no terminator.
  byte_builder& text(std::string_view t) {
    for (const char c : t) bytes_.push_back(static_cast<std::byte>(c));
    return *this;
  }
  /// ASCII text as UTF-16LE in a field of `units` code units, NUL-padded.
  byte_builder& utf16(std::string_view t, std::size_t units) {
    for (std::size_t i = 0; i < units; ++i) {
      le16(i < t.size() ? static_cast<std::uint16_t>(t[i]) : std::uint16_t{0});
    }
    return *this;
  }
  byte_builder& zeros(std::size_t n) {
    bytes_.insert(bytes_.end(), n, std::byte{0});
    return *this;
  }
  byte_builder& append(std::span<const std::byte> more) {
    bytes_.insert(bytes_.end(), more.begin(), more.end());
    return *this;
  }
  std::size_t size() const { return bytes_.size(); }
  const std::vector<std::byte>& bytes() const { return bytes_; }
  std::vector<std::byte>& bytes() { return bytes_; }

 private:
  byte_builder& put(std::uint64_t v, int n, bool big) {
    for (int i = 0; i < n; ++i) {
      const int shift = 8 * (big ? n - 1 - i : i);
      bytes_.push_back(static_cast<std::byte>((v >> shift) & 0xffu));
    }
    return *this;
  }
  std::vector<std::byte> bytes_;
};

/// A folder of its own under the system's temporary folder, removed with
/// everything in it when the object goes.
class temp_folder {
 public:
  temp_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veltrane-apt-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~temp_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  temp_folder(const temp_folder&) = delete;
  temp_folder& operator=(const temp_folder&) = delete;

  const std::filesystem::path& path() const { return path_; }

  /// Writes `bytes` to the file `name` of the folder; returns its path.
  std::filesystem::path write(const std::string& name, std::span<const std::byte> bytes) const {
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return file;
  }
  std::filesystem::path write(const std::string& name, std::string_view text) const {
    return write(name, std::as_bytes(std::span(text.data(), text.size())));
  }

 private:
  std::filesystem::path path_;
};

}  // namespace veltrane::apt::testing
