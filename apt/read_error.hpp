#pragma once

#include <stdexcept>
#include <string>

namespace veltrane::apt {

/// A file that cannot be read, or holds what it must not: the message names
/// the file first ("run.epos: ..." or "W.rrng:14: ...") and says what is
/// wrong, ready to be shown as it is.
class read_error : public std::runtime_error {
 public:
  explicit read_error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace veltrane::apt
