#include "apt/input_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "apt/data_file.hpp"
#include "apt/range_file.hpp"
#include "apt/read_error.hpp"
#include "tests/apt/test_files.hpp"

using namespace veltrane::apt;
using veltrane::apt::testing::temp_folder;

namespace {

// The message of the open_error that opening `path` with `open` throws, or
// what else happened.
std::string open_message(const std::filesystem::path& path,
                         const std::function<void(const std::filesystem::path&)>& open) {
  try {
    open(path);
  } catch (const open_error& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("not an open_error: ") + e.what();
  }
  return "opened";
}

void open_input(const std::filesystem::path& p) { input_file file(p); }
void open_dataset(const std::filesystem::path& p) { open_data(p); }
void open_ranges(const std::filesystem::path& p) { read_range_file(p); }

const std::pair<const char*, void (*)(const std::filesystem::path&)> openers[] = {
    {"input_file", open_input}, {"open_data", open_dataset}, {"read_range_file", open_ranges}};

// Runs `open` of the named pipe `fifo` (which nobody writes to) on a thread
// until it returns. Should the opener open the pipe, it would wait for a
// writer for ever: the pipe then has a reader, which the loop sees (opening
// it for writing without blocking succeeds exactly when a reader is there),
// and it becomes the writer so that the opener returns and the test fails.
// True when the pipe was never opened.
bool never_opened(const std::filesystem::path& fifo, const std::function<void()>& open) {
  std::atomic<bool> done{false};
  std::thread opener([&] {
    open();
    done = true;
  });
  int writer = -1;
  while (!done && writer < 0) {
    writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    std::this_thread::yield();
  }
  opener.join();
  if (writer >= 0) ::close(writer);
  return writer < 0;
}

}  // namespace

TEST(InputFile, ReadsAnyBytesOfTheFileAndKeepsItThroughAMove) {
  temp_folder folder;
  const auto path = folder.write("run.pos", std::string_view("\x01\x02\x03\x04\x05", 5));
  input_file file(path);
  EXPECT_EQ(file.size(), 5u);
  EXPECT_EQ(file.path(), path);
  std::array<std::byte, 3> middle{};
  file.read(1, middle);
  EXPECT_EQ(middle, (std::array{std::byte{2}, std::byte{3}, std::byte{4}}));

  input_file moved(std::move(file));
  std::array<std::byte, 1> last{};
  moved.read(4, last);
  EXPECT_EQ(last[0], std::byte{5});
  input_file other(folder.write("other.pos", std::string_view("\x09", 1)));
  other = std::move(moved);
  EXPECT_EQ(other.size(), 5u);
  other.read(0, last);
  EXPECT_EQ(last[0], std::byte{1});
  // Bytes beyond the size it was opened with are no part of the file.
  EXPECT_THROW(other.read(3, middle), std::out_of_range);
  EXPECT_THROW(other.read(6, {}), std::out_of_range);
}

TEST(InputFile, AnEmptyFileHasNoBytes) {
  temp_folder folder;
  input_file file(folder.write("empty.epos", std::string_view()));
  EXPECT_EQ(file.size(), 0u);
  EXPECT_NO_THROW(file.read(0, {}));
}

TEST(InputFile, AFileCutShortWhileOpenIsAReadErrorNamingBothSizes) {
  temp_folder folder;
  const auto path = folder.write("run.epos", std::string(1000, 'x'));
  input_file file(path);
  std::filesystem::resize_file(path, 100);
  std::array<std::byte, 10> bytes{};
  file.read(90, bytes);  // still there
  try {
    file.read(95, bytes);
    FAIL() << "a read beyond the new end passed";
  } catch (const open_error& e) {
    FAIL() << "the file was opened: " << e.what();
  } catch (const read_error& e) {
    EXPECT_EQ(std::string(e.what()),
              path.string() +
                  ": cannot be read: it was cut off while being read (1000 bytes when opened, "
                  "100 now)");
  }
}

TEST(InputFile, WhatCannotBeOpenedSaysWhyInTheSystemsWords) {
  temp_folder folder;
  const auto missing = folder.path() / "missing.epos";
  // A path through a regular file as if it were a folder.
  const auto regular = folder.write("run.pos", std::string_view("0123456789abcdef"));
  const auto through = regular / "x.rrng";
  for (const auto& [name, open] : openers) {
    EXPECT_EQ(open_message(missing, open),
              missing.string() + ": cannot be opened for reading: No such file or directory")
        << name;
    EXPECT_EQ(open_message(through, open),
              through.string() + ": cannot be opened for reading: Not a directory")
        << name;
  }
}

TEST(InputFile, AFileWithoutReadPermissionSaysPermissionDenied) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "run as root, who reads a file whatever its permissions say";
  }
  temp_folder folder;
  const auto locked = folder.write("locked.rrng", std::string_view("[Ions]\n"));
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  for (const auto& [name, open] : openers) {
    EXPECT_EQ(open_message(locked, open),
              locked.string() + ": cannot be opened for reading: Permission denied")
        << name;
  }
}

TEST(InputFile, NoRegularFileIsRefusedAtOnceAndAPipeIsNeverOpened) {
  temp_folder folder;
  const auto fifo = folder.path() / "run.epos";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  const auto socket_path = folder.path() / "run.rrng";
  const int socket_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(socket_fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(::bind(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  for (const auto& [name, open] : openers) {
    std::string message;
    EXPECT_TRUE(never_opened(fifo, [&, open = open] { message = open_message(fifo, open); }))
        << name << " opened the pipe and waited for a writer";
    EXPECT_EQ(message, fifo.string() + ": is not a regular file (a named pipe)") << name;
    EXPECT_EQ(open_message(folder.path(), open),
              folder.path().string() + ": is not a regular file (a folder)")
        << name;
    EXPECT_EQ(open_message("/dev/null", open), "/dev/null: is not a regular file (a device)")
        << name;
    EXPECT_EQ(open_message(socket_path, open),
              socket_path.string() + ": is not a regular file (a socket)")
        << name;
  }
  ::close(socket_fd);
}
