// Sends the message the command line describes and tells how it went.
#pragma once

#include "options.hpp"

namespace postwing_send {

// The exit statuses of postwing-send.
enum ExitStatus : int {
  kExitAccepted = 0,
  kExitFailedOnWire = 1,
  kExitUsage = 2,
};

// Reads the files the options name, builds the message on a new SendMail, sends it on the
// library's own event loop and waits for the end of the send. Reports problems on
// standard error and returns the exit status.
int SendMessage(const Options& options);

}  // namespace postwing_send
