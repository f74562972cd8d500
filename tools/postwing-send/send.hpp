// Sends the message the command line describes and tells how it went.
#pragma once

#include "options.hpp"

namespace postwing_send {

// The exit statuses of postwing-send.
enum ExitStatus : int {
  kExitAccepted = 0,
  kExitFailedOnWire = 1,
  kExitUsage = 2,
  kExitPartial = 3,  // accepted for some recipients only (partial delivery allowed)
};

// Reads the files the options name, builds the message on a new SendMail, sends it on the
// library's own event loop and waits for the end of the send; several message files go out
// in order over one connection, a result line each on standard output. Reports problems on
// standard error and returns the exit status: the worst of the messages' (2, 1, 3, 0).
int SendMessage(const Options& options);

}  // namespace postwing_send
