// SPDX-License-Identifier: MIT
// Locating the portal archive: the environment variable first, then the checkout.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "marrowvane_dat/utils.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

namespace fs = std::filesystem;

// Sets or clears MARROWVANE_PORTAL_DAT for one test and restores it afterwards.
class PortalPath : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv(VARIABLE)) saved_ = old;
    dir_ = fs::path(::testing::TempDir()) /
           ("portal_path_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (saved_) {
      test::set_env(VARIABLE, saved_->c_str());
    } else {
      test::unset_env(VARIABLE);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  static void set(const std::string& value) { test::set_env(VARIABLE, value.c_str()); }
  fs::path touch(const std::string& name) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "x";
    return path;
  }

  // Where the checkout's own archive would be; it may exist on a developer machine.
  static std::optional<fs::path> fallback() {
    fs::path path = fs::path(MARROWVANE_DAT_PACKAGE_DIR) / "../../" / "dats/portal.dat";
    std::error_code ignored;
    if (fs::exists(path, ignored)) return path;
    return std::nullopt;
  }

  static constexpr const char* VARIABLE = "MARROWVANE_PORTAL_DAT";
  std::optional<std::string> saved_;
  fs::path dir_;
};

TEST_F(PortalPath, ExistingFileFromTheVariableIsReturnedAsGiven) {
  const fs::path file = touch("portal.dat");
  set(file.string());
  EXPECT_EQ(get_portal_dat_path(), file);

  const fs::path relative = fs::relative(file);
  if (relative.empty()) {
    GTEST_SKIP() << "the temporary directory is on another drive than the current one";
  }
  set(relative.string());
  const auto found = get_portal_dat_path();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->native(), relative.native());
}

TEST_F(PortalPath, ExistingDirectoryCountsAsFound) {
  set(dir_.string());
  EXPECT_EQ(get_portal_dat_path(), dir_);
}

TEST_F(PortalPath, SymbolicLinksAreFollowed) {
  const fs::path target = touch("target.dat");
  std::error_code cannot;
  fs::create_symlink(target, dir_ / "link.dat", cannot);
  if (cannot) {
    GTEST_SKIP() << "this system cannot make symbolic links here: " << cannot.message();
  }
  set((dir_ / "link.dat").string());
  EXPECT_EQ(get_portal_dat_path(), dir_ / "link.dat");

  fs::create_symlink(dir_ / "missing.dat", dir_ / "dangling.dat");
  set((dir_ / "dangling.dat").string());
  EXPECT_EQ(get_portal_dat_path(), fallback());
}

TEST_F(PortalPath, MissingEmptyOrUnsetFallsBackToTheCheckout) {
  set((dir_ / "nothing-here.dat").string());
  EXPECT_EQ(get_portal_dat_path(), fallback());
  set("");
  EXPECT_EQ(get_portal_dat_path(), fallback());
  test::unset_env(VARIABLE);
  EXPECT_EQ(get_portal_dat_path(), fallback());
}

TEST_F(PortalPath, ValueThatIsNotUtf8CountsAsUnset) {
#ifdef _WIN32
  GTEST_SKIP() << "a Windows environment holds UTF-16 text, never undecodable bytes";
#endif
  const std::string name = "bad\xFF\xFEname.dat";
  const fs::path file = touch(name);
  ASSERT_TRUE(fs::exists(file));
  set(file.string());
  EXPECT_EQ(get_portal_dat_path(), fallback());

  const fs::path good = touch("caf\xC3\xA9.dat");
  set(good.string());
  EXPECT_EQ(get_portal_dat_path(), good);
}

TEST_F(PortalPath, FallbackNamesTheCheckoutsDatsFolder) {
  test::unset_env(VARIABLE);
  const auto found = get_portal_dat_path();
  if (!found) GTEST_SKIP() << "no dats/portal.dat in this checkout";
  EXPECT_TRUE(found->generic_string().ends_with("crates/marrowvane-dat/../../dats/portal.dat"))
      << *found;
}

}  // namespace
}  // namespace marrowvane_dat
