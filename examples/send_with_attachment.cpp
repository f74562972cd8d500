// A small host of postwing: sends one message with an attachment on the library's own event
// loop and prints every event as it arrives.
//
//   example_send_with_attachment SERVER PORT FROM TO FILE
//
// e.g. against the capture server of the tests:
//   /usr/bin/python3 tests/e2e/servers/capture_server.py --dir /tmp/inbox   (prints its port)
//   build/examples/example_send_with_attachment 127.0.0.1 PORT ann@example.org bob@example.org
//   README.md
#include <postwing/postwing.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// The sink receives the same events after the handlers, with the message's ID: one sink can
// serve many SendMail objects and tell them apart.
class Sink : public postwing::ISendMailEvents {
 public:
  postwing::Variant SendComplete(postwing::Variant ID) override {
    std::printf("sink: SendComplete for message %s\n", ID.ToString().c_str());
    return {};
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s SERVER PORT FROM TO FILE\n", argv[0]);
    return 2;
  }

  std::shared_ptr<postwing::SendMail> mail = postwing::SendMail::Create();
  mail->SetSMTPServer(argv[1]);
  mail->SetSMTPServerPort(std::atoi(argv[2]));
  mail->SetID(postwing::Variant("example-1"));
  mail->SetEventSink(std::make_shared<Sink>());

  bool complete = false;
  bool failed = false;
  // Every request, reply and step of the library, as it happens (each line ends with CR LF).
  mail->OnSendStatus([](std::string& data) { std::printf("status: %s", data.c_str()); });
  // Bytes of the latest write sent and still queued.
  mail->OnSendProgress([](int32_t& sent, int32_t& remaining) {
    std::printf("progress: %d sent, %d remaining\n", sent, remaining);
  });
  // Failures found while the dialogue runs on events, when no call of ours is waiting.
  mail->OnWinsockError([&failed](int32_t& number, std::string& source, std::string& description,
                                 std::string&, int32_t&) {
    std::printf("error %d (%s): %s\n", number, source.c_str(), description.c_str());
    failed = true;
  });
  // The end of the send, whatever its outcome.
  mail->OnSendComplete([&complete] {
    std::printf("SendComplete\n");
    complete = true;
  });

  try {
    auto header = mail->Header();
    header->SetFrom(argv[3]);
    header->SetToList(argv[4]);
    header->SetSubject("A file from the postwing example");
    mail->Body()->SetText(postwing::Variant("Hello,\r\n\r\nthe file is attached.\r\n"));
    // The name it is sent under: the last segment of the path.
    const std::string path = argv[5];
    mail->Attachments()->Add(postwing::Variant(path), path.substr(path.find_last_of('/') + 1));

    // Returns once the server's greeting is answered; the rest runs on the event loop.
    mail->Send();
  } catch (const postwing::Exception& e) {
    // The library's own codes come with vbObjectError added.
    int32_t number = e.Number();
    if (number < 0) number -= postwing::vbObjectError;
    std::fprintf(stderr, "failed: %d %s\n", number, e.Description().c_str());
    return 2;
  }

  // Drives the library's own loop (sleeping in poll) until the send ends. A Send that returned
  // always ends with one SendComplete, whatever happens (a refused connection, a silent
  // server), and the library bounds every wait itself: no limit of our own is needed.
  postwing::RunEventsUntil([&complete] { return complete; }, std::chrono::milliseconds::max());
  return failed ? 1 : 0;
}
