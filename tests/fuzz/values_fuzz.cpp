// A field text parsed into its parts and rendered back: any text parses, the text is kept
// exactly, and a rendered text is a fixed point (parsing it and rendering again gives it
// back with the same parts).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "postwing/postwing.hpp"

namespace {

using namespace postwing;
using PartList = std::vector<std::pair<std::string, std::string>>;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "values_fuzz: %s\n", what);
    std::abort();
  }
}

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto mail = SendMail::Create();
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto values = mail->Body()->Values();
  const Variant key(std::string("X-Fuzz"));
  if (values->Exists(key)) values->Remove(key);

  auto value = values->Add(text, "X-Fuzz");
  Check(value->Text() == text, "the text is not kept exactly");
  if (value->SubValues()->Count() == 0) return 0;
  const std::string rendered = Render(*value);
  const PartList parts = Parts(*value);

  // The first part's key is the field's name: parse again under the same name.
  values->Remove(key);
  auto again = values->Add(rendered, "X-Fuzz");
  Check(Parts(*again) == parts, "the rendered text parses into other parts");
  Check(Render(*again) == rendered, "rendering is not a fixed point");
  Check(mail->Errors()->Count() == 0, "an error recorded");
  return 0;
}
