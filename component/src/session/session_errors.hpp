// The error numbers and method names of the send session, and its one way of reporting a
// failure on the wire.
#pragma once

#include <cstdint>
#include <string_view>

#include "session/send_mail_impl.hpp"

namespace postwing::session {

// Methods named in the error log.
inline constexpr std::string_view kMethodSend = "SendMail.Send";
inline constexpr std::string_view kMethodSendToWS = "SendMail.SendToWS";
inline constexpr std::string_view kMethodConnect = "SendMail.Connect";
inline constexpr std::string_view kMethodTimeout = "SendMail.Timeout";
inline constexpr std::string_view kMethodProcess = "SendMail.Process";
inline constexpr std::string_view kMethodDataArrival = "SendMail.DataArrival";
inline constexpr std::string_view kMethodStartTls = "SendMail.StartTLS";
inline constexpr std::string_view kMethodWinsockError = "SendMail.Winsock_Error";
inline constexpr std::string_view kMethodWinsockClose = "SendMail.Winsock_Close";
inline constexpr std::string_view kMethodSendProgress = "SendMail.Winsock_SendProgress";

// Windows Sockets numbers the session raises itself.
inline constexpr int32_t kErrConnectionAborted = 10053;
inline constexpr int32_t kErrTimedOut = 10060;
inline constexpr int32_t kErrHostNotFound = 11001;

// Records the failure under method, then raises WinsockError with the same values: no host
// call is waiting to receive it.
void ReportWireFailure(SendMail::Impl& d, int32_t number, std::string_view source,
                       std::string_view description, std::string_view method);

}  // namespace postwing::session
