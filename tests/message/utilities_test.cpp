#include <gtest/gtest.h>

#include <string>

#include "message/message_test_util.hpp"

namespace postwing {
namespace {

using testing::kBase;
using testing::Raised;

TEST(UtilitiesTest, ReadFileGivesOneCharacterPerByteAndRecordsAMissingFile) {
  const auto mail = SendMail::Create();
  const auto utilities = mail->Utilities();
  EXPECT_EQ(utilities->Parent(), mail);
  support::TempDir dir;
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const Variant text = utilities->ReadFile(dir.File("all", all));
  ASSERT_TRUE(text.IsString());
  EXPECT_EQ(text.AsString(), all);
  EXPECT_EQ(utilities->ReadFile(dir.File("empty", "")).ToString(), "");
  testing::ExpectRecorded(
      *mail, [&] { utilities->ReadFile((dir / "missing").string()); }, 53, "Utilities.ReadFile");
}

TEST(UtilitiesTest, ContentTypeForAnExtensionOrTwoRecords) {
  auto mail = SendMail::Create();
  auto utilities = mail->Utilities();
  const std::string zip = utilities->GetContentTypeForExt("zip");
  EXPECT_FALSE(zip.empty());
  for (const char* same : {".zip", "z.ip", "ZIP"}) {
    EXPECT_EQ(utilities->GetContentTypeForExt(same), zip) << same;
  }
  EXPECT_EQ(mail->Errors()->Count(), 0);
  for (const char* extension : {"no-such-extension-42", "", "..."}) {
    mail->Errors()->Clear();
    EXPECT_EQ(Raised([&] { utilities->GetContentTypeForExt(extension); }).Number(), kBase + 12012);
    EXPECT_EQ(testing::Methods(*mail),
              std::vector<std::string>(2, "Utilities.GetContentTypeForExt"))
        << extension;
  }
  // Detached utilities still raise.
  mail.reset();
  EXPECT_EQ(utilities->Parent(), nullptr);
  EXPECT_EQ(Raised([&] { utilities->GetContentTypeForExt("no-such-extension-42"); }).Number(),
            kBase + 12012);
}

}  // namespace
}  // namespace postwing
