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

/// A file that cannot be opened for reading at all: missing, not readable,
/// or no regular file (a folder, a pipe, a device, a socket). Nothing of its
/// content was looked at, so the fault is not the content's (the command
/// line exits with 1 for it, and with 2 for a file whose content is bad).
class open_error : public read_error {
 public:
  using read_error::read_error;
};

/// Reading or searching stopped because the caller raised its cancel flag.
class cancelled : public std::runtime_error {
 public:
  cancelled() : std::runtime_error("cancelled") {}
};

}  // namespace veltrane::apt
