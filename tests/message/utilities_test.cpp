#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "message/message_test_util.hpp"
#include "platform/module.hpp"

namespace postwing {
namespace {

using testing::kBase;
using testing::Raised;

class UtilitiesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& path : files_) std::remove(path.c_str());
  }
  std::string FileWith(const std::string& bytes) {
    std::string path = platform::TempFileName();
    files_.push_back(path);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::shared_ptr<SendMail> mail_ = SendMail::Create();
  std::shared_ptr<Utilities> utilities_ = mail_->Utilities();
  std::vector<std::string> files_;
};

TEST_F(UtilitiesTest, ParentIsTheSendMail) {
  EXPECT_EQ(utilities_->Parent(), mail_);
}

TEST_F(UtilitiesTest, ReadFileGivesOneCharacterPerByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const Variant text = utilities_->ReadFile(FileWith(all));
  ASSERT_TRUE(text.IsString());
  EXPECT_EQ(text.AsString().size(), 256u);
  EXPECT_EQ(text.AsString(), all);
}

TEST_F(UtilitiesTest, ReadFileOfAnEmptyFileIsTheEmptyText) {
  EXPECT_EQ(utilities_->ReadFile(FileWith("")).ToString(), "");
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

TEST_F(UtilitiesTest, ReadFileOfAMissingFileIsRecordedAndRaised) {
  const std::string path = FileWith("") + ".missing";
  const Exception e = Raised([&] { utilities_->ReadFile(path); });
  EXPECT_EQ(e.Number(), 53);
  ASSERT_EQ(mail_->Errors()->Count(), 1);
  const auto record = mail_->Errors()->Item(1);
  EXPECT_EQ(record->Number(), 53);
  EXPECT_EQ(record->Source(), e.Source());
  EXPECT_EQ(record->Description(), e.Description());
  EXPECT_EQ(record->Method(), "Utilities.ReadFile");
}

TEST_F(UtilitiesTest, ContentTypeForAnExtensionWithOrWithoutDots) {
  const std::string zip = utilities_->GetContentTypeForExt("zip");
  EXPECT_FALSE(zip.empty());
  EXPECT_EQ(utilities_->GetContentTypeForExt(".zip"), zip);
  EXPECT_EQ(utilities_->GetContentTypeForExt("z.ip"), zip);
  EXPECT_EQ(utilities_->GetContentTypeForExt("ZIP"), zip);
  EXPECT_EQ(utilities_->GetContentTypeForExt("pdf"), "application/pdf");
  EXPECT_EQ(mail_->Errors()->Count(), 0);
}

TEST_F(UtilitiesTest, AnExtensionWithoutATypeLeavesTwoRecords) {
  const std::string text =
      "Determination of the MIME type for the extension specified cannot be determined by "
      "postwing.";
  for (const char* extension : {"no-such-extension-42", "", "..."}) {
    mail_->Errors()->Clear();
    const Exception e = Raised([&] { utilities_->GetContentTypeForExt(extension); });
    EXPECT_EQ(e.Number(), kBase + 12012);
    EXPECT_EQ(e.Source(), "postwing");
    EXPECT_EQ(e.Description(), text);
    ASSERT_EQ(mail_->Errors()->Count(), 2) << extension;
    for (const auto& record : *mail_->Errors()) {
      EXPECT_EQ(record->Number(), kBase + 12012);
      EXPECT_EQ(record->Source(), "postwing");
      EXPECT_EQ(record->Description(), text);
      EXPECT_EQ(record->Method(), "Utilities.GetContentTypeForExt");
    }
  }
}

TEST_F(UtilitiesTest, DetachedUtilitiesStillRaise) {
  const auto utilities = utilities_;
  mail_.reset();
  utilities_.reset();
  EXPECT_EQ(utilities->Parent(), nullptr);
  EXPECT_EQ(Raised([&] { utilities->GetContentTypeForExt("no-such-extension-42"); }).Number(),
            kBase + 12012);
}

}  // namespace
}  // namespace postwing
