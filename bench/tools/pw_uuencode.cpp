// uuencodes a file (UUEncodeFile) and writes the text to standard output.
//   pw_uuencode FILE [NAME]
#include <cstdio>
#include <string>

#include "codecs/uuencode.hpp"
#include "postwing/exception.hpp"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: pw_uuencode FILE [NAME]\n");
    return 2;
  }
  try {
    postwing::UUEncode uu;
    const std::string text = uu.UUEncodeFile(argv[1], argc == 3 ? argv[2] : "");
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return 1;
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const postwing::Exception& e) {
    std::fprintf(stderr, "pw_uuencode: %d %s\n", e.Number(), e.Description().c_str());
    return 1;
  }
}
