#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane {

/// Writes the content of a file through an open stream; returns 0, or the
/// errno of the first failure.
using file_writer = std::function<int(std::FILE*)>;

/// Writes a file so that it is never left half-written:
///  - a regular file (or a new one) is written to a temporary file beside
///    it (a hidden name of as much of its name as the folder's limit of a
///    name leaves room for, and a random part), flushed and synced to the
///    disk, then renamed over it; a link to a regular file replaces the
///    file it points to and stays a link. On any failure the old file stays
///    byte for byte and the temporary one is removed;
///  - a device, a pipe or a link to one is written in place. It is opened
///    without blocking, so that a pipe that nobody reads from is reported
///    instead of waiting for ever; the write itself then blocks as usual.
/// Returns nothing on success, otherwise the reason in words.
std::optional<std::string> write_file(const std::filesystem::path& path, const file_writer& write);

/// write_file with a block of bytes as the content.
std::optional<std::string> write_file(const std::filesystem::path& path, std::string_view bytes);

/// Checks, before a long calculation, that its output can be delivered: a
/// pipe must have a reader now (a file's folder is not checked; the write
/// reports that). While the check is held, the pipe stays open for writing,
/// so its reader does not see the end before the content has been written.
class output_check {
 public:
  explicit output_check(const std::filesystem::path& path);
  ~output_check();
  output_check(const output_check&) = delete;
  output_check& operator=(const output_check&) = delete;
  /// Why the output cannot be written, if that is known already.
  const std::optional<std::string>& problem() const { return problem_; }

 private:
  int fd_ = -1;
  std::optional<std::string> problem_;
};

/// "<verb> <absolute path>: <reason>", the program's message for a failed
/// write ("Could not write", "Could not save").
std::string file_failure_message(std::string_view verb, const std::filesystem::path& path,
                                 const std::string& reason);

}  // namespace veltrane
