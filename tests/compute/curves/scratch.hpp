#pragma once

// Folders for the tests that write files.

#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <string>

// A scratch folder of its own for each test, removed afterwards.
struct scratch {
  std::filesystem::path dir;
  explicit scratch(const std::string& name)
      : dir(std::filesystem::temp_directory_path() /
            ("veltrane-" + name + "-" + std::to_string(getpid()))) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  ~scratch() {
    std::error_code ec;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir, ec);
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
  }
};

// A folder of its own file system, which even root cannot write beyond its
// size ("size=4k": a full disk) or at all ("ro"). Needs the right to mount.
struct small_file_system {
  std::filesystem::path dir;
  bool mounted = false;
  small_file_system(const std::filesystem::path& where, const char* options) : dir(where) {
    std::filesystem::create_directories(dir);
    mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0;
  }
  ~small_file_system() {
    if (mounted) umount2(dir.c_str(), MNT_DETACH);
  }
  small_file_system(const small_file_system&) = delete;
  small_file_system& operator=(const small_file_system&) = delete;
};
