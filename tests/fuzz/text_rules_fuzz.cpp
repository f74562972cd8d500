// The address-list rules, the command builder, the path helpers and the field parser on
// arbitrary text. A field text parsed into its parts and rendered back: any text parses, the
// text is kept exactly, and a rendered text is a fixed point (parsing it and rendering again
// gives it back with the same parts).
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.hpp"
#include "message/address_list.hpp"
#include "platform/module.hpp"
#include "postwing/postwing.hpp"
#include "session/dialogue.hpp"

namespace {

using namespace postwing;
using fuzz::Check;
using PartList = std::vector<std::pair<std::string, std::string>>;

PartList Parts(const Value& value) {
  PartList parts;
  for (const auto& part : *value.SubValues()) parts.emplace_back(part->Key(), part->Text());
  return parts;
}

// Renders the field from its parts (setting a part's text writes the field again).
std::string Render(Value& value) {
  auto first = value.SubValues()->Item(1);
  first->SetText(std::string(first->Text()));
  return value.Text();
}

void ParseAndRender(const std::string& text) {
  static auto mail = SendMail::Create();
  auto values = mail->Body()->Values();
  const Variant key(std::string("X-Fuzz"));
  if (values->Exists(key)) values->Remove(key);

  auto value = values->Add(text, "X-Fuzz");
  Check(value->Text() == text, "the text is not kept exactly");
  if (value->SubValues()->Count() == 0) return;
  const std::string rendered = Render(*value);
  const PartList parts = Parts(*value);

  // The first part's key is the field's name: parse again under the same name.
  values->Remove(key);
  auto again = values->Add(rendered, "X-Fuzz");
  Check(Parts(*again) == parts, "the rendered text parses into other parts");
  Check(Render(*again) == rendered, "rendering is not a fixed point");
  Check(mail->Errors()->Count() == 0, "an error recorded");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);

  // Entries are pieces of the text, never blank, with no blanks around them.
  for (std::string_view entry : detail::SplitAddressList(text)) {
    Check(!entry.empty(), "an empty entry");
    Check(std::string_view(" \t\r\n").find(entry.front()) == std::string_view::npos &&
              std::string_view(" \t\r\n").find(entry.back()) == std::string_view::npos,
          "an entry with blanks around it");
    Check(text.find(entry) != std::string::npos, "an entry that is not part of the text");
  }
  const std::string path = detail::EnvelopePath(text);
  Check(path.front() == '<' && path.back() == '>', "a path without its brackets");
  const std::string address = path.substr(1, path.size() - 2);

  try {
    const std::string line = session::CommandLine("RCPT TO: ", path, "recipient list");
    Check(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
          "a command holding a line break");
  } catch (const Exception&) {
    Check(address.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos,
          "a clean command refused");
  }

  const std::string domain = platform::DomainOf(text);
  Check(text.ends_with(domain), "domain is not a tail of the text");

  const std::string name = platform::FileNameOf(text);
  Check(name.find_first_of("/\\") == std::string::npos, "file name holds a separator");
  const std::string extension = platform::ExtensionOf(text);
  Check(extension.find_first_of("/\\") == std::string::npos, "extension holds a separator");
  if (!extension.empty()) Check(name.find(extension) != std::string::npos, "extension not in name");
  (void)platform::ContentTypeForFileName(text);
  (void)platform::ContentTypeForExtension(text);
  ParseAndRender(text);
  return 0;
}
