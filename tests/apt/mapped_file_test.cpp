#include "apt/mapped_file.hpp"

#include <gtest/gtest.h>

#include <utility>

#include "apt/read_error.hpp"
#include "tests/apt/test_files.hpp"

using namespace veltrane::apt;
using veltrane::apt::testing::temp_folder;

namespace {

std::string message_of(const std::filesystem::path& path) {
  try {
    mapped_file file(path);
  } catch (const read_error& e) {
    return e.what();
  }
  return {};
}

}  // namespace

TEST(MappedFile, ShowsTheFileBytesAndKeepsThemThroughAMove) {
  temp_folder folder;
  const auto path = folder.write("run.pos", std::string_view("\x01\x02\x03\x04\x05", 5));
  mapped_file file(path);
  ASSERT_EQ(file.size(), 5u);
  ASSERT_EQ(file.bytes().size(), 5u);
  EXPECT_EQ(file.bytes()[0], std::byte{1});
  EXPECT_EQ(file.bytes()[4], std::byte{5});
  EXPECT_EQ(file.path(), path);

  mapped_file moved(std::move(file));
  EXPECT_EQ(moved.bytes()[4], std::byte{5});
  mapped_file other(folder.write("other.pos", std::string_view("\x09", 1)));
  other = std::move(moved);
  EXPECT_EQ(other.size(), 5u);
  EXPECT_EQ(other.bytes()[2], std::byte{3});
}

TEST(MappedFile, AnEmptyFileHasNoBytes) {
  temp_folder folder;
  mapped_file file(folder.write("empty.epos", std::string_view()));
  EXPECT_EQ(file.size(), 0u);
  EXPECT_TRUE(file.bytes().empty());
}

TEST(MappedFile, WhatCannotBeMappedIsAMessageNamingIt) {
  temp_folder folder;
  const auto missing = folder.path() / "missing.epos";
  const std::string gone = message_of(missing);
  EXPECT_EQ(gone.rfind(missing.string() + ": ", 0), 0u) << gone;
  EXPECT_NE(gone.find("No such file"), std::string::npos) << gone;

  const std::string folder_message = message_of(folder.path());
  EXPECT_NE(folder_message.find("is a folder"), std::string::npos) << folder_message;
}
