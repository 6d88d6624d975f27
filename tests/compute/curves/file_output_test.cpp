#include "compute/curves/file_output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "scratch.hpp"

using namespace veltrane;
namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Writes half of the content, then fails as a full disk would.
int half_then_full(std::FILE* out) {
  std::fputs("new content, half", out);
  return ENOSPC;
}

}  // namespace

TEST(FileOutput, ReplacesWholeFilesAndKeepsModeAndLinks) {
  scratch s("out-replace");
  const fs::path file = s.dir / "data.txt";
  EXPECT_EQ(write_file(file, "first\n"), std::nullopt);
  EXPECT_EQ(read_file(file), "first\n");
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(write_file(file, "second\n"), std::nullopt);
  EXPECT_EQ(read_file(file), "second\n");
  EXPECT_EQ(fs::status(file).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // A link to a regular file: the file is replaced, the link stays a link.
  const fs::path link = s.dir / "link.txt";
  fs::create_symlink(file, link);
  EXPECT_EQ(write_file(link, "third\n"), std::nullopt);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_file(file), "third\n");
  EXPECT_EQ(s.entries(), 2u) << "no temporary file is left";
}

TEST(FileOutput, DanglingLinksNewFilesAndTheUmask) {
  scratch s("out-links");
  // A link to a file not yet there (through a second link): the file is
  // made where the chain ends, the links stay links.
  const fs::path target = s.dir / "results";
  fs::create_directories(target);
  fs::create_symlink(target / "data.txt", s.dir / "inner");
  fs::create_symlink(s.dir / "inner", s.dir / "outer");
  EXPECT_EQ(write_file(s.dir / "outer", "through\n"), std::nullopt);
  EXPECT_TRUE(fs::is_symlink(s.dir / "outer"));
  EXPECT_TRUE(fs::is_symlink(s.dir / "inner"));
  EXPECT_EQ(read_file(target / "data.txt"), "through\n");

  // A new file gets the mode the umask allows; the umask itself is left as
  // it was (other threads may be creating files meanwhile).
  const mode_t old_mask = umask(027);
  EXPECT_EQ(write_file(s.dir / "new.txt", "x"), std::nullopt);
  const mode_t during = umask(old_mask);
  EXPECT_EQ(during, 027);
  EXPECT_EQ(fs::status(s.dir / "new.txt").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // A loop of links is a message, not a hang.
  fs::create_symlink(s.dir / "loop-b", s.dir / "loop-a");
  fs::create_symlink(s.dir / "loop-a", s.dir / "loop-b");
  const auto message = write_file(s.dir / "loop-a", "x");
  ASSERT_TRUE(message);
  EXPECT_NE(message->find("symbolic links"), std::string::npos) << *message;
}

TEST(FileOutput, AFailedWriteKeepsTheOldFile) {
  scratch s("out-half");
  const fs::path file = s.dir / "data.txt";
  ASSERT_EQ(write_file(file, "old content\n"), std::nullopt);
  const auto reason = write_file(file, half_then_full);
  ASSERT_TRUE(reason);
  EXPECT_EQ(*reason, std::strerror(ENOSPC));
  EXPECT_EQ(read_file(file), "old content\n") << "byte for byte as it was";
  EXPECT_EQ(s.entries(), 1u) << "the temporary file is removed";

  // A new file that fails is not created at all.
  EXPECT_TRUE(write_file(s.dir / "new.txt", half_then_full));
  EXPECT_FALSE(fs::exists(s.dir / "new.txt"));
  EXPECT_EQ(s.entries(), 1u);
}

TEST(FileOutput, NamesUpToTheFoldersLimitAreWrittenAndOneBeyondIsRefused) {
  scratch s("out-long");
  const long limit = pathconf(s.dir.c_str(), _PC_NAME_MAX);
  ASSERT_GE(limit, 255) << "a file system with short names";
  const auto limit_bytes = static_cast<std::size_t>(limit);
  // The temporary name adds 18 characters to the target's: it is shortened.
  for (const std::size_t length : {std::size_t{250}, limit_bytes}) {
    const fs::path file = s.dir / (std::string(length - 4, 'n') + ".csv");
    EXPECT_EQ(write_file(file, "first\n"), std::nullopt) << length;
    EXPECT_EQ(write_file(file, "second\n"), std::nullopt) << length;  // replaced
    EXPECT_EQ(read_file(file), "second\n") << length;
    EXPECT_EQ(s.entries(), 1u) << length << ": no temporary file is left";
    // A failed write of such a name leaves the old file and no temporary.
    EXPECT_TRUE(write_file(file, half_then_full)) << length;
    EXPECT_EQ(read_file(file), "second\n") << length;
    EXPECT_EQ(s.entries(), 1u) << length;
    fs::remove(file);
  }
  // Two-byte characters up to the limit: the shortened name is still UTF-8.
  std::string accents;
  while (accents.size() + 2 <= limit_bytes) accents += "\xc3\xa9";  // e acute
  if (accents.size() < limit_bytes) accents += "e";
  EXPECT_EQ(write_file(s.dir / accents, "utf-8\n"), std::nullopt);
  EXPECT_EQ(read_file(s.dir / accents), "utf-8\n");
  EXPECT_EQ(s.entries(), 1u);
  fs::remove(s.dir / accents);
  // A name beyond the limit cannot be: the system's reason, and nothing left.
  const auto too_long = write_file(s.dir / std::string(limit_bytes + 1, 'n'), "x");
  ASSERT_TRUE(too_long);
  EXPECT_EQ(*too_long, std::strerror(ENAMETOOLONG));
  EXPECT_EQ(s.entries(), 0u);
}

TEST(FileOutput, FoldersAndMissingFolders) {
  scratch s("out-folders");
  fs::create_directories(s.dir / "data.txt");
  EXPECT_EQ(write_file(s.dir / "data.txt", "x"), std::strerror(EISDIR));
  EXPECT_EQ(write_file(s.dir / "missing" / "data.txt", "x"), std::strerror(ENOENT));
  EXPECT_TRUE(write_file("/proc/data.txt", "x"));
  EXPECT_EQ(file_failure_message("Could not write", "/proc/data.txt", "why"),
            "Could not write /proc/data.txt: why");
}

TEST(FileOutput, PipesNeverWaitForAReader) {
  scratch s("out-fifo");
  const fs::path fifo = s.dir / "data.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  const auto reason = write_file(fifo, "x\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  ASSERT_TRUE(reason);
  EXPECT_EQ(*reason, "nothing is reading from this pipe");
  EXPECT_FALSE(fs::is_regular_file(fifo)) << "the pipe stays a pipe";

  // With a reader, the bytes go through the pipe.
  std::string received;
  std::thread reader([&] {
    const int fd = open(fifo.c_str(), O_RDONLY);
    char buffer[64];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
      received.append(buffer, static_cast<std::size_t>(got));
    close(fd);
  });
  // The reader may not have opened yet; retry until it has.
  std::optional<std::string> result = "not yet";
  for (int i = 0; i < 200 && result; ++i) {
    result = write_file(fifo, "through the pipe\n");
    if (result) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  reader.join();
  EXPECT_EQ(result, std::nullopt);
  EXPECT_EQ(received, "through the pipe\n");
}

TEST(FileOutput, FullDiskAndReadOnlyFolder) {
  scratch s("out-full");
  // A full disk: a file system of one page, which stops root too.
  small_file_system full(s.dir / "full", "size=4k");
  if (full.mounted) {
    const fs::path file = full.dir / "data.txt";
    ASSERT_EQ(write_file(file, "old\n"), std::nullopt);
    const auto reason = write_file(file, std::string(64 * 1024, 'x'));
    ASSERT_TRUE(reason);
    EXPECT_EQ(*reason, std::strerror(ENOSPC));
    EXPECT_EQ(read_file(file), "old\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(full.dir), {}), 1);
  } else if (fs::exists("/dev/full")) {
    EXPECT_EQ(write_file("/dev/full", "x"), std::strerror(ENOSPC));
  } else {
    GTEST_SKIP() << "neither a mountable file system nor /dev/full: the full disk is not tried";
  }

  // A folder nobody may write to: read-only for root as well.
  small_file_system readonly(s.dir / "readonly", "ro");
  if (readonly.mounted) {
    EXPECT_EQ(write_file(readonly.dir / "data.txt", "x"), std::strerror(EROFS));
  } else if (geteuid() != 0) {
    const fs::path locked = s.dir / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(write_file(locked / "data.txt", "x"), std::strerror(EACCES));
  } else {
    GTEST_SKIP() << "root without the right to mount: a read-only folder cannot be had";
  }
}
