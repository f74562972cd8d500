// Accounts files in msmtp's format, so a user's msmtprc can serve as they are.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.hpp"

namespace postwing_send {

// One keyword's value and where it was written.
struct Setting {
  std::string value;
  std::string file;
  int line = 0;
};

struct Account {
  std::string name;
  std::map<std::string, Setting> settings;  // keyword -> value
};

struct AccountSet {
  std::map<std::string, Account> accounts;
  std::vector<std::string> files_with_password;
};

// Adds the accounts of one file's text to the set. Each file starts with empty defaults;
// an account may inherit from any account defined before it, in this file or an earlier
// one, and replaces one of the same name from an earlier file. Returns "FILE:LINE: reason"
// on the first fault, else an empty text.
std::string ParseAccounts(std::string_view text, const std::string& file, AccountSet& set);

// The files read, in order: the system file (POSTWING_SYSTEM_ACCOUNTS, default
// /etc/postwing/accounts), then the user's (POSTWING_ACCOUNTS, default
// $XDG_CONFIG_HOME/postwing/accounts). An empty variable means no file.
std::vector<std::string> AccountFiles();

// Reads the files that exist. A file that holds a password must be readable by its owner
// only. Returns an error text, or an empty one.
std::string LoadAccounts(AccountSet& set);

// Fills what the command line left open from the account: the command line wins. Returns an
// error text ("FILE:LINE: reason" for a value that cannot be used), or an empty one.
std::string ApplyAccount(const Account& account, Options& o);

// The settings in use, one "keyword value" line each as the file would hold them, with the
// password masked.
std::string DescribeSettings(const Options& o, const Account* account);

// Runs COMMAND with /bin/sh, standard input from /dev/null, and returns the first line of
// its output; an error text instead when it fails, says nothing or runs over its time.
bool RunPasswordEval(const std::string& command, std::string& password, std::string& error);

}  // namespace postwing_send
