// SPDX-License-Identifier: MIT
// Display texts, debug forms and causes of IoError, BinReadError and DatError.
#include <cerrno>
#include <sstream>

#include <gtest/gtest.h>

#include "marrowvane_dat/error.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

BinReadError truncated_glyph() {
  BinReadError error(IoError::unexpected_eof());
  error.add_field_context("offset_x", "FontCharDesc", std::source_location::current());
  error.add_field_context("char_descs", "Font", std::source_location::current());
  return error;
}

TEST(ErrorDisplay, IdsAreEightUpperCaseHexDigitsWithoutPrefix) {
  EXPECT_EQ(DatError(DatError::NotFound{0x40000001}).to_string(),
            "File ID 40000001 not found in provider");
  EXPECT_EQ(DatError(DatError::NotFound{0}).to_string(), "File ID 00000000 not found in provider");
  EXPECT_EQ(DatError(DatError::NotFound{0xFFFFFFFF}).to_string(),
            "File ID FFFFFFFF not found in provider");
  EXPECT_EQ(DatError(DatError::DuplicateId{0xabc}).to_string(),
            "Duplicate File ID 00000ABC detected");
  EXPECT_EQ(DatError(DatError::DecompressionFailed{0x0600001f}).to_string(),
            "Failed to recover compressed file 0600001F");
  EXPECT_EQ(DatError(DatError::DuplicateNamespacedId{"abc", 0x1A}).to_string(),
            "Duplicate namespaced file abc:0000001A detected");
}

TEST(ErrorDisplay, StringAndNumberPayloadsAreShownPlain) {
  EXPECT_EQ(DatError(DatError::UnsupportedVersion{255}).to_string(), "Unsupported version: 255");
  EXPECT_EQ(DatError(DatError::Other{""}).to_string(), "Other error: ");
  EXPECT_EQ(DatError(DatError::InvalidMagic{"\"DAT\""}).to_string(),
            "Invalid magic for format: \"DAT\"");
  EXPECT_EQ(DatError(DatError::InvalidNamespace{"a b"}).to_string(), "Invalid namespace: a b");
  EXPECT_EQ(DatError(DatError::Corruption{"loop"}).to_string(), "Corruption detected: loop");
  std::ostringstream out;
  out << DatError(DatError::NotFound{1});
  EXPECT_EQ(out.str(), "File ID 00000001 not found in provider");
}

TEST(ErrorDisplay, NestedErrorsShowTheirOwnMessages) {
  EXPECT_EQ(DatError(IoError::unexpected_eof()).to_string(),
            "IO error: failed to fill whole buffer");
  EXPECT_EQ(DatError(IoError::from_errno(ENOENT)).to_string(),
            "IO error: " + test::not_found_text() + " (os error 2)");
  EXPECT_EQ(DatError(truncated_glyph()).to_string(),
            "Binary read error: failed to fill whole buffer; While parsing field 'offset_x' in "
            "FontCharDesc; While parsing field 'char_descs' in Font");
  EXPECT_EQ(
      DatError(DatError::PathError{"/no/such/portal.dat", IoError::from_errno(ENOENT)}).to_string(),
      "Failed to open file at /no/such/portal.dat: " + test::not_found_text() + " (os error 2)");
}

TEST(ErrorDisplay, PathBytesThatAreNotUtf8ShowAsReplacementCharacters) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows paths are UTF-16, not bytes";
#endif
  const DatError error(DatError::PathError{"/tmp/a\xFF\xC3", IoError::from_errno(EACCES)});
  EXPECT_EQ(
      error.to_string(),
      "Failed to open file at /tmp/a\xEF\xBF\xBD\xEF\xBF\xBD: Permission denied (os error 13)");
}

TEST(ErrorDebug, UnnamedPayloadsInParenthesesNumbersInDecimal) {
  EXPECT_EQ(DatError(DatError::NotFound{1024}).debug(), "NotFound(1024)");
  EXPECT_EQ(DatError(DatError::DuplicateId{0xFFFFFFFF}).debug(), "DuplicateId(4294967295)");
  EXPECT_EQ(DatError(DatError::UnsupportedVersion{7}).debug(), "UnsupportedVersion(7)");
  EXPECT_EQ(DatError(DatError::DecompressionFailed{16}).debug(), "DecompressionFailed(16)");
  EXPECT_EQ(DatError(DatError::Other{"say \"hi\"\n"}).debug(), "Other(\"say \\\"hi\\\"\\n\")");
  EXPECT_EQ(DatError(DatError::Corruption{"a\\b\t"}).debug(), "Corruption(\"a\\\\b\\t\")");
  EXPECT_EQ(DatError(DatError::InvalidMagic{"x"}).debug(), "InvalidMagic(\"x\")");
  EXPECT_EQ(DatError(DatError::InvalidNamespace{""}).debug(), "InvalidNamespace(\"\")");
}

TEST(ErrorDebug, NamedFieldsInBraces) {
  EXPECT_EQ(DatError(DatError::DuplicateNamespacedId{"abc", 26}).debug(),
            "DuplicateNamespacedId { namespace: \"abc\", file_id: 26 }");
  EXPECT_EQ(DatError(DatError::PathError{"/x/\"p\".dat", IoError::from_errno(ENOENT)}).debug(),
            "PathError { path: \"/x/\\\"p\\\".dat\", source: Os { code: 2, kind: NotFound, "
            "message: \"" +
                test::not_found_text() + "\" } }");
}

TEST(ErrorDebug, NestedErrorsUseTheirDebugForms) {
  EXPECT_EQ(DatError(IoError::unexpected_eof()).debug(),
            "Io(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })");
  const std::string bin = DatError(truncated_glyph()).debug();
  EXPECT_TRUE(bin.starts_with("BinRead(BinReadError { cause: Error { kind: UnexpectedEof"));
  EXPECT_NE(bin.find("While parsing field 'offset_x' in FontCharDesc at "), std::string::npos);
  EXPECT_NE(bin.find("error_test.cpp:"), std::string::npos) << bin;
}

TEST(ErrorSource, WrappedCausesAreReachableAndOthersHaveNone) {
  const DatError path(DatError::PathError{"p", IoError::from_errno(EACCES)});
  ASSERT_NE(path.source(), nullptr);
  EXPECT_EQ(path.source()->to_string(), test::os_text(EACCES));
  EXPECT_EQ(path.source()->source(), nullptr);

  const DatError bin(truncated_glyph());
  ASSERT_NE(bin.source(), nullptr);
  ASSERT_NE(bin.source()->source(), nullptr);
  EXPECT_EQ(bin.source()->source()->to_string(), "failed to fill whole buffer");

  EXPECT_EQ(DatError(DatError::NotFound{1}).source(), nullptr);
  EXPECT_EQ(DatError(DatError::Corruption{"x"}).source(), nullptr);
  EXPECT_EQ(DatError(IoError::from_errno(EIO)).source()->to_string(), test::os_text(EIO));
}

TEST(ErrorConversion, KindFollowsTheWrappedError) {
  EXPECT_EQ(DatError(IoError::from_errno(EIO)).kind(), DatErrorKind::Io);
  EXPECT_EQ(DatError(truncated_glyph()).kind(), DatErrorKind::BinRead);
  EXPECT_EQ(DatError(DatError::Other{"x"}).kind(), DatErrorKind::Other);
  const DatError io(IoError::from_errno(EIO));
  ASSERT_NE(io.get_if<DatError::Io>(), nullptr);
  EXPECT_EQ(io.get_if<DatError::Io>()->error.raw_os_error(), EIO);
  EXPECT_EQ(io.get_if<DatError::BinRead>(), nullptr);
  static_assert(!std::is_copy_constructible_v<DatError>);
  static_assert(std::is_nothrow_move_constructible_v<DatError>);
}

TEST(BinReadErrorText, FramesFollowTheCauseInnermostFirst) {
  const BinReadError error = truncated_glyph();
  ASSERT_EQ(error.frames().size(), 2U);
  EXPECT_EQ(error.frames()[0].message, "While parsing field 'offset_x' in FontCharDesc");
  EXPECT_EQ(error.frames()[1].message, "While parsing field 'char_descs' in Font");
  EXPECT_EQ(BinReadError(IoError::from_errno(EIO)).to_string(), test::os_text(EIO));
}

}  // namespace
}  // namespace marrowvane_dat
