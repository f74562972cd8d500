// The address extractor, the command builder and the path helpers on arbitrary text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/module.hpp"
#include "postwing/exception.hpp"
#include "session/dialogue_state.hpp"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "text_rules_fuzz: %s\n", what);
    std::abort();
  }
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  using namespace postwing;

  const std::string address = session::ExtractAddress(text);
  Check(text.find(address) != std::string::npos, "address is not part of the text");
  if (const auto lt = text.find('<'); lt != std::string::npos) {
    Check(address.rfind('<', 0) == 0, "address does not start at the first <");
    const auto gt = text.find('>', lt);
    if (gt != std::string::npos) Check(address == text.substr(lt, gt - lt + 1), "<...> span");
  } else {
    const auto gt = text.find('>');
    Check(address == (gt == std::string::npos ? text : text.substr(0, gt + 1)), "no < rule");
  }

  try {
    const std::string line = session::CommandLine("RCPT TO: ", address, "recipient list");
    Check(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
          "a command holding a line break");
  } catch (const Exception&) {
    Check(address.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos,
          "a clean command refused");
  }

  const std::string domain = platform::DomainOf(text);
  Check(EndsWith(text, domain), "domain is not a tail of the text");

  const std::string name = platform::FileNameOf(text);
  Check(name.find_first_of("/\\") == std::string::npos, "file name holds a separator");
  const std::string extension = platform::ExtensionOf(text);
  Check(extension.find_first_of("/\\") == std::string::npos, "extension holds a separator");
  if (!extension.empty()) Check(name.find(extension) != std::string::npos, "extension not in name");
  (void)platform::ContentTypeForFileName(text);
  (void)platform::ContentTypeForExtension(text);
  return 0;
}
