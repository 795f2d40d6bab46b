// Listing and emptiness over real folders, through the platform the program
// runs on.
#include "fs/directory_listing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "test_support.h"

namespace quarvane {
namespace {

namespace fs = std::filesystem;

NameList Sorted(NameList names) {
  names.sort();
  return names;
}

class DirectoryListingTest : public ::testing::Test {
 protected:
  bool List(const fs::path& path) {
    return ListDirectory(NativePlatform(), FolderText(path), files_, subdirectories_);
  }
  bool IsEmpty(const fs::path& path) {
    return IsDirectoryEmpty(NativePlatform(), FolderText(path));
  }
  // Every entry the platform's listing delivers, "." and ".." included.
  static NameList Entries(const fs::path& path) {
    NameList names;
    std::unique_ptr<Listing> listing = NativePlatform().OpenListing(FolderText(path) + L"*.*");
    FindData entry;
    while (listing && listing->FindNext(&entry) == FindStep::kEntry) names.push_back(entry.name);
    return names;
  }

  TempDir temp_;
  NameList files_;
  NameList subdirectories_;
};

TEST_F(DirectoryListingTest, FolderWithNothingButDotEntriesIsEmpty) {
  EXPECT_TRUE(List(temp_.path()));
  EXPECT_TRUE(files_.empty());
  EXPECT_TRUE(subdirectories_.empty());
  EXPECT_TRUE(IsEmpty(temp_.path()));
  EXPECT_EQ(Sorted(Entries(temp_.path())), (NameList{L".", L".."}));
}

// Names valid on every platform; Windows drops a trailing dot when it makes one.
TEST_F(DirectoryListingTest, SortsEntriesIntoFilesAndFoldersSkippingOnlyDotAndDotDot) {
  for (const char* folder : {"{A}", "...x", ".x"}) fs::create_directory(temp_.path() / folder);
  for (const char* file : {"catalog.cat", "..y"}) MakeFile(temp_.path() / file);

  EXPECT_TRUE(List(temp_.path()));

  EXPECT_EQ(Sorted(subdirectories_), (NameList{L"...x", L".x", L"{A}"}));
  EXPECT_EQ(Sorted(files_), (NameList{L"..y", L"catalog.cat"}));
}

TEST_F(DirectoryListingTest, AnyEntryMakesAFolderNonEmpty) {
  const fs::path hidden = temp_.path() / "hidden";
  fs::create_directory(hidden);
  MakeHiddenFile(hidden / ".secret");
  const fs::path nested = temp_.path() / "nested";
  fs::create_directories(nested / "empty");
  const fs::path odd = temp_.path() / "odd";
  fs::create_directories(odd / "..x");

  EXPECT_FALSE(IsEmpty(hidden));
  EXPECT_FALSE(IsEmpty(nested));
  EXPECT_FALSE(IsEmpty(odd));
  EXPECT_TRUE(IsEmpty(nested / "empty"));
  // Each listing was closed as it ended, so what it listed can go at once.
  for (const fs::path& listed : {hidden, nested, odd}) {
    std::error_code error;
    fs::remove_all(listed, error);
    EXPECT_FALSE(error) << listed << ": " << error.message();
  }
}

TEST_F(DirectoryListingTest, ReplacesWhatTheListsHeldBefore) {
  fs::create_directory(temp_.path() / "only");
  files_ = {L"stale file"};
  subdirectories_ = {L"stale folder", L"only"};

  EXPECT_TRUE(List(temp_.path()));

  EXPECT_EQ(files_, NameList{});
  EXPECT_EQ(subdirectories_, NameList{L"only"});
}

TEST_F(DirectoryListingTest, WhatCannotBeListedIsNotEmpty) {
  const fs::path file = temp_.path() / "file";
  MakeFile(file);

  for (const fs::path& path : {temp_.path() / "missing", file}) {
    files_ = {L"stale"};
    subdirectories_ = {L"stale"};
    EXPECT_FALSE(List(path)) << path;
    EXPECT_TRUE(files_.empty()) << path;
    EXPECT_TRUE(subdirectories_.empty()) << path;
    EXPECT_FALSE(IsEmpty(path)) << path;
  }
}

}  // namespace
}  // namespace quarvane
