// postwing-send: sends one message from the shell through the postwing library. Called as
// postwing-sendmail (or sendmail) it reads the command line as sendmail does.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "accounts.hpp"
#include "options.hpp"
#include "send.hpp"

namespace {

// The account named on the command line, else the one called "default" when there is one.
// Returns an error text, or an empty one.
std::string UseAccount(postwing_send::Options& o, postwing_send::AccountSet& set,
                       const postwing_send::Account*& used) {
  if (auto e = postwing_send::LoadAccounts(set); !e.empty()) return e;
  const std::string name = o.account.value_or("default");
  if (auto it = set.accounts.find(name); it != set.accounts.end()) {
    used = &it->second;
    if (auto e = postwing_send::ApplyAccount(it->second, o); !e.empty()) return e;
  } else if (o.account) {
    std::string files;
    for (const auto& f : postwing_send::AccountFiles()) files += (files.empty() ? "" : ", ") + f;
    return "no account '" + name + "' in " + (files.empty() ? "any accounts file" : files);
  }
  return postwing_send::CheckSettings(o);
}

}  // namespace

int main(int argc, char** argv) {
  // A server that hangs up must give an error, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string called = argc > 0 ? argv[0] : "postwing-send";
  const std::string name = called.substr(called.find_last_of('/') + 1);
  const auto dialect = name.ends_with("sendmail") ? postwing_send::Dialect::kSendmail
                                                  : postwing_send::Dialect::kPostwingSend;
  const char* program =
      dialect == postwing_send::Dialect::kSendmail ? "postwing-sendmail" : "postwing-send";
  const std::vector<std::string> args(argv + 1, argv + argc);
  auto parsed = postwing_send::ParseArguments(args, dialect);
  switch (parsed.action) {
    case postwing_send::ParseResult::kHelp:
      std::fputs(postwing_send::HelpText(program, dialect).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : postwing_send::kExitUsage;
    case postwing_send::ParseResult::kUsageError:
      std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program,
                   parsed.error.c_str(), program);
      return postwing_send::kExitUsage;
    case postwing_send::ParseResult::kSend:
      break;
  }
  try {
    postwing_send::AccountSet accounts;
    const postwing_send::Account* used = nullptr;
    if (auto e = UseAccount(parsed.options, accounts, used); !e.empty()) {
      std::fprintf(stderr, "%s: %s\n", program, e.c_str());
      return postwing_send::kExitUsage;
    }
    if (parsed.options.show_account) {
      std::fputs(postwing_send::DescribeSettings(parsed.options, used).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : postwing_send::kExitUsage;
    }
    return postwing_send::SendMessage(parsed.options);
  } catch (const std::exception& e) {
    // Not the library's own error (those are reported with their numbers): e.g. no memory.
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return postwing_send::kExitUsage;
  }
}
