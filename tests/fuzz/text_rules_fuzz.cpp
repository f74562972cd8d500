// The address-list rules, the command builder and the path helpers on arbitrary text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/address_list.hpp"
#include "platform/module.hpp"
#include "postwing/exception.hpp"
#include "session/dialogue.hpp"

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
