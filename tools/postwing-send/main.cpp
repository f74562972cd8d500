// postwing-send: sends one message from the shell through the postwing library.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "options.hpp"
#include "send.hpp"

int main(int argc, char** argv) {
  constexpr const char* kProgram = "postwing-send";
  // A server that hangs up must give an error, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto parsed = postwing_send::ParseArguments(args);
  switch (parsed.action) {
    case postwing_send::ParseResult::kHelp:
      std::fputs(postwing_send::HelpText(kProgram).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : postwing_send::kExitUsage;
    case postwing_send::ParseResult::kUsageError:
      std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram,
                   parsed.error.c_str(), kProgram);
      return postwing_send::kExitUsage;
    case postwing_send::ParseResult::kSend:
      break;
  }
  try {
    return postwing_send::SendMessage(parsed.options);
  } catch (const std::exception& e) {
    // Not the library's own error (those are reported with their numbers): e.g. no memory.
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    return postwing_send::kExitUsage;
  }
}
