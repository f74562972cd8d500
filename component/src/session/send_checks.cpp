// Send: the checks on the host's input, before anything is connected, and the envelope.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "message/address_list.hpp"
#include "message/field_check.hpp"
#include "message/header_date.hpp"
#include "message/header_wire.hpp"
#include "message/text_class.hpp"
#include "postwing/attachment.hpp"
#include "postwing/attachments.hpp"
#include "postwing/body.hpp"
#include "postwing/header.hpp"
#include "postwing/values.hpp"
#include "session/auth.hpp"
#include "session/dialogue.hpp"
#include "session/message_source.hpp"
#include "session/send_mail_impl.hpp"
#include "session/session_errors.hpp"

namespace postwing {

namespace {

// A body with only its plain-text alternative still has something to say.
bool BodyTextIsEmpty(const Body& body) {
  if (!body.AlternativeText(detail::Factory::Key()).empty()) return false;
  Variant text = body.Text();
  if (text.IsString()) return text.AsString().empty();
  if (text.IsArray()) return text.AsArray().empty();
  return text.ToString().empty();
}

// What refuses the first field, of the header, the body or an attachment, that cannot be
// written as header lines: 12013 for a line break or NUL, 12017 for a field with no wire form.
// A field whose only fault is an address outside ASCII needs SMTPUTF8: utf8_field names
// the first such.
std::optional<std::pair<MailErrors, std::string>> UnsafeField(const Header& header,
                                                              const Body& body,
                                                              const Attachments& attachments,
                                                              std::string& utf8_field) {
  using Refusal = std::optional<std::pair<MailErrors, std::string>>;
  auto check = [&utf8_field](const std::shared_ptr<Values>& values) -> Refusal {
    if (!values) return std::nullopt;
    if (auto field = detail::FirstIllegalField(*values)) {
      return std::pair(emxIllegalCharacter, detail::IllegalFieldText(field->Key()));
    }
    for (const auto& value : *values) {
      const detail::WireField wire = detail::FieldWireForm(value->Key(), value->Text());
      if (wire.utf8_only && utf8_field.empty()) utf8_field = value->Key();
      if (!wire.problem.empty() && !wire.utf8_only) {
        return std::pair(emxContentNotSendable,
                         detail::UnsendableFieldText(value->Key(), wire.problem));
      }
    }
    return std::nullopt;
  };
  if (auto refusal = check(header.Values())) return refusal;
  if (auto refusal = check(body.Values())) return refusal;
  for (const auto& attachment : attachments) {
    if (auto refusal = check(attachment->Values())) return refusal;
  }
  return std::nullopt;
}

}  // namespace

void SendMail::Send() {
  auto self = shared_from_this();
  Impl& d = *impl_;
  // The checks on the host's input leave one record each: they bypass the handler below.
  bool handler_on = true;
  auto refuse = [&](MailErrors code, std::string_view text) {
    handler_on = false;
    detail::RaiseMailError(self, code, detail::kSource, text, session::kMethodSend);
  };
  try {
    // Codecs cancelled by an earlier Cancel would spoil this send's encodings.
    d.MakeCodecs();

    auto header = d.header;
    if (d.smtp_server.empty()) {
      refuse(emxEmailHostNotSpecified, "A required property 'EmailHost' was not specified");
    }
    const std::string from = header->Values()->GetValue("FROM");
    if (detail::SplitAddressList(from).empty()) {
      refuse(emxFromNotSpecified, "A required property 'From' address was not specified");
    }
    const std::string to = header->Values()->GetValue("TO");
    if (detail::SplitAddressList(to).empty()) {
      refuse(emxToListNotSpecified, "A required property 'ToList' was not specified");
    }
    const std::string cc = header->Values()->GetValue("CC");
    const std::string bcc = header->BccList();

    // Nothing that would put a line break into a command or a header line is sent. A fold
    // (CR LF and a blank) stays legal in the header fields; the blind copies are no field
    // and may hold none.
    auto refuse_field = [&](std::string_view field) {
      refuse(emxIllegalCharacter, detail::IllegalFieldText(field));
    };
    const std::pair<std::string_view, const std::string*> lists[] = {
        {"From", &from}, {"To", &to}, {"Cc", &cc}, {"Bcc", &bcc}};
    for (const auto& [name, text] : lists) {
      bool legal =
          text == &bcc ? !detail::HasLineBreakOrNul(*text) : detail::IsLegalFieldText(*text);
      // A fold may stand between entries or in a display name, never inside an address.
      for (auto entry : detail::SplitAddressList(*text)) {
        legal = legal && !detail::HasLineBreakOrNul(detail::AddressOf(entry));
      }
      if (!legal) refuse_field(name);
    }
    if (detail::HasLineBreakOrNul(d.user)) refuse_field("User");
    // An address outside ASCII needs SMTPUTF8, which the dialogue asks the server for.
    std::string utf8_field;
    for (const auto& [name, text] : lists) {
      const std::string unfolded = detail::Unfold(*text);
      for (auto entry : detail::SplitAddressList(unfolded)) {
        if (utf8_field.empty() && detail::HasEightBit(detail::AddressOf(entry))) {
          utf8_field = name;
        }
      }
    }
    if (!d.auth_mechanism.empty() && !session::FindMechanism(d.auth_mechanism)) {
      refuse(emxContentNotSendable, "The login mechanism '" + d.auth_mechanism +
                                        "' is not one this library knows (LOGIN, PLAIN, "
                                        "XOAUTH2).");
    }
    if (auto refusal = UnsafeField(*header, *d.body, *d.attachments, utf8_field)) {
      refuse(refusal->first, refusal->second);
    }
    if (auto why = session::UnsendablePlainBody(*header, *d.body)) {
      refuse(emxContentNotSendable, *why);
    }

    if (BodyTextIsEmpty(*d.body)) d.RaiseSendStatus("WARNING! Body is empty\r\n");

    d.recipient_text = to;
    if (!cc.empty()) d.recipient_text += ";" + cc;
    if (!bcc.empty()) d.recipient_text += ";" + bcc;
    std::vector<std::string> recipient_list;
    const std::string recipients = detail::Unfold(d.recipient_text);
    for (auto entry : detail::SplitAddressList(recipients)) recipient_list.emplace_back(entry);
    // The date of the message is the moment it is sent, unless the host chose one.
    detail::RefreshSendDate(*header);

    d.error_reported = false;
    d.message_id.clear();
    d.dialogue->Prepare(std::move(recipient_list), std::move(utf8_field));
    if (!d.dialogue->Resume()) d.Connect();
  } catch (...) {
    if (!handler_on) throw;
    detail::RecordAndRethrow(self, session::kMethodSend);
  }
}

}  // namespace postwing
