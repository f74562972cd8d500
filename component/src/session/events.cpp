// The four events of SendMail: host handlers in connection order, then the sink.
#include "session/events.hpp"

#include <utility>

#include "core/error_report.hpp"
#include "postwing/errors.hpp"
#include "session/dialogue.hpp"
#include "session/send_mail_impl.hpp"
#include "session/session_errors.hpp"

namespace postwing {

Variant ISendMailEvents::SendStatus(std::string, Variant) {
  return {};
}
Variant ISendMailEvents::SendComplete(Variant) {
  return {};
}
Variant ISendMailEvents::SendProgress(int32_t, int32_t, Variant) {
  return {};
}
Variant ISendMailEvents::WinsockError(int32_t, std::string, std::string, std::string, int32_t,
                                      Variant) {
  return {};
}

namespace {

template <class Fn>
Connection Connect(const std::shared_ptr<detail::EventHandlers>& owner,
                   detail::HandlerList<Fn>& list, std::function<Fn> handler) {
  if (!handler) return Connection();
  uint64_t id = list.Add(std::move(handler));
  std::weak_ptr<detail::EventHandlers> weak = owner;
  auto* list_ptr = &list;
  return Connection([weak, list_ptr, id] {
    // The list lives inside the handlers object: reach it only while that still exists.
    if (auto alive = weak.lock()) list_ptr->Remove(id);
  });
}

// Keeps the object alive while its handlers run: a handler may drop the host's last
// reference. Empty while the object is being destroyed.
std::shared_ptr<SendMail> HoldObject(const SendMail::Impl& d) {
  return d.owner ? d.owner->weak_from_this().lock() : nullptr;
}

}  // namespace

Connection SendMail::OnSendStatus(std::function<void(std::string& Data)> handler) {
  return Connect(impl_->handlers, impl_->handlers->status, std::move(handler));
}

Connection SendMail::OnSendComplete(std::function<void()> handler) {
  return Connect(impl_->handlers, impl_->handlers->complete, std::move(handler));
}

Connection SendMail::OnSendProgress(
    std::function<void(int32_t& BytesSent, int32_t& BytesRemaining)> handler) {
  return Connect(impl_->handlers, impl_->handlers->progress, std::move(handler));
}

Connection SendMail::OnWinsockError(
    std::function<void(int32_t& Number, std::string& Source, std::string& Description,
                       std::string& HelpFile, int32_t& HelpContext)>
        handler) {
  return Connect(impl_->handlers, impl_->handlers->winsock_error, std::move(handler));
}

void SendMail::Impl::RaiseSendStatus(std::string data) {
  auto keep = HoldObject(*this);
  auto lists = handlers;
  for (const auto& entry : lists->status.Snapshot()) {
    if (entry->connected) entry->fn(data);
  }
  if (auto sink = event_sink) sink->SendStatus(data, Variant(id));
}

void SendMail::Impl::RaiseSendComplete() {
  auto keep = HoldObject(*this);
  auto lists = handlers;
  for (const auto& entry : lists->complete.Snapshot()) {
    if (entry->connected) entry->fn();
  }
  if (auto sink = event_sink) sink->SendComplete(Variant(id));
}

void SendMail::Impl::RaiseSendProgress(int32_t bytes_sent, int32_t bytes_remaining) {
  auto keep = HoldObject(*this);
  auto lists = handlers;
  for (const auto& entry : lists->progress.Snapshot()) {
    if (entry->connected) entry->fn(bytes_sent, bytes_remaining);
  }
  if (auto sink = event_sink) sink->SendProgress(bytes_sent, bytes_remaining, Variant(id));
}

void SendMail::Impl::RaiseWinsockError(int32_t number, std::string source, std::string description,
                                       std::string help_file, int32_t help_context) {
  auto keep = HoldObject(*this);
  // The first error of a send is the one that ended it.
  if (dialogue && dialogue->result.error == 0) {
    dialogue->result.error = number;
    dialogue->result.error_text = description;
  }
  auto lists = handlers;
  for (const auto& entry : lists->winsock_error.Snapshot()) {
    if (entry->connected) entry->fn(number, source, description, help_file, help_context);
  }
  if (auto sink = event_sink) {
    sink->WinsockError(number, source, description, help_file, help_context, Variant(id));
  }
}

void SendMail::Impl::ReportCaughtError(std::string_view method) noexcept {
  try {
    Exception e = detail::CurrentException();
    if (errors) {
      errors->Add(e.Number(), e.Source(), e.Description(), e.HelpFile(), e.HelpContext(),
                  std::string(method));
    }
    RaiseWinsockError(e.Number(), e.Source(), e.Description(), e.HelpFile(), e.HelpContext());
  } catch (...) {
    // A handler that throws while an error is being reported: nobody is left to tell.
  }
}

namespace session {

void ReportWireFailure(SendMail::Impl& d, int32_t number, std::string_view source,
                       std::string_view description, std::string_view method) {
  detail::RecordError(d.Self(), number, source, description, "", 0, method);
  d.RaiseWinsockError(number, std::string(source), std::string(description), "", 0);
}

}  // namespace session

}  // namespace postwing
