#pragma once

// Virtual phones for hosts without a Bluetooth radio (tests, demonstrations): one simulated radio
// and up to kMaxPhones phones, each with an address, a name, a class of device, a paired flag, an
// in-range flag and a scripted RSSI sequence. Each phone listens on a stream socket of its own in
// the simulator's directory; what it answers to a message is PhoneAnswer (phone_protocol.h).
// The control socket "control.sock" in the same directory takes the requests of
// docs/bluetooth.md, from the engine's simulated stack and from `keystonectl bt sim`.
//
// Time: an inquiry lasts its length and a lookup of a phone out of reach the page time-out, in
// the simulator's time unit (phone_protocol.h); the other requests are answered at once.
//
// Threads: Run serves control requests on the caller's thread and hands the slow answers to a
// thread of their own (DelayedAnswers), so a running inquiry never holds up another request;
// each phone has an acceptor thread and each open link a reader thread, all joined when their
// phone goes or the simulator ends.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "platform/bluetooth.h"
#include "platform/unix_socket.h"
#include "sim/phones/phone_protocol.h"
#include "sim/phones/delayed_answers.h"

namespace phonesim {

struct SimulatorOptions {
  // How long one control client may take to send its line and take the reply.
  std::chrono::milliseconds clientLimit{2000};
  // How long a phone waits for the engine to take its answer.
  std::chrono::milliseconds answerLimit{5000};
  // The radio's time unit: 1.28 s as on a real controller; tests and demonstrations shrink it.
  std::chrono::milliseconds timeUnit = kRadioTimeUnit;
};

class PhoneSimulator {
 public:
  // Creates the directory (mode 0700) and binds its control socket. Throws std::system_error.
  explicit PhoneSimulator(std::string directory, SimulatorOptions options = {});
  ~PhoneSimulator();
  PhoneSimulator(const PhoneSimulator&) = delete;
  PhoneSimulator& operator=(const PhoneSimulator&) = delete;

  // Serves control requests until a SHUTDOWN request or Stop. Never throws for a bad client.
  void Run();
  // Makes Run return soon. Thread-safe.
  void Stop() noexcept;

  const std::string& ControlPath() const { return controlPath; }

  // Answers one request line (without "\n"): the reply text, each line ending in "\n". A slow
  // request (an inquiry, a lookup of a phone out of reach) blocks for its radio time, or until
  // Stop, which answers "ERR noradio".
  std::string Handle(std::string_view line);

  // How many slow answers wait for their time.
  size_t DelayedAnswersForTesting() { return delayed.Waiting(); }

  // Keeps a WATCH client's stream: answers the radio's state now and pushes every later change
  // to it before the change has any other effect. Refuses (ERR) when kMaxRadioWatchers are open.
  void AddRadioWatcher(platform::UnixStream stream, platform::Deadline deadline);

 private:
  enum class Mode { kEcho, kSilent, kDrop };
  // A request's answer: the text now, or (delay above zero) what later makes after the delay.
  struct Answer {
    Answer(std::string reply) : text(std::move(reply)) {}  // NOLINT: most answers are texts
    Answer(std::chrono::milliseconds wait, std::function<std::string()> make)
        : delay(wait), later(std::move(make)) {}
    std::string text;
    std::chrono::milliseconds delay{0};
    std::function<std::string()> later;
  };
  struct Link {
    platform::UnixStream stream;
    std::jthread reader;
    std::atomic<bool> done{false};
    bool closing = false;  // told to go (guarded by the simulator's mutex)
  };
  struct Phone {
    platform::BluetoothAddress address = 0;
    std::string name;
    uint32_t classOfDevice = 0;
    bool paired = false;
    bool inRange = true;
    bool hasApp = true;
    int nodeProblem = 0;
    Mode mode = Mode::kEcho;
    size_t replySize = 0;
    size_t maxMessage = 0;
    std::vector<int8_t> rssi;
    size_t rssiNext = 0;
    platform::BluetoothErrc failKind = platform::BluetoothErrc::kFailed;
    uint32_t failCount = 0;
    std::string socketPath;
    platform::UnixListener listener;
    std::jthread acceptor;
    std::vector<std::shared_ptr<Link>> links;
  };

  // The answer to a request line; a refusal is an "ERR" text.
  Answer Respond(std::string_view line);
  std::string Dispatch(const std::vector<std::string>& words);
  // The inquiry and the lookup, which take radio time.
  Answer Inquiry(const std::vector<std::string>& words);
  Answer Services(const std::vector<std::string>& words);
  std::string InquiryResult();
  Phone& Find(std::string_view addressText) REQUIRES(mutex);
  std::string AddPhone(const std::vector<std::string>& words);
  std::string RemovePhone(platform::BluetoothAddress address);
  void Accept(Phone* phone);
  void Serve(Phone* phone, std::shared_ptr<Link> link);
  void DropLinksLocked(Phone& phone) REQUIRES(mutex);
  bool ConnectedLocked(const Phone& phone) const REQUIRES(mutex);
  void RequireRadioLocked() const REQUIRES(mutex);
  // "on ADDRESS NAME" or "off", as a WATCH client reads it.
  std::string RadioStateLocked() const REQUIRES(mutex);
  // Pushes the radio's state to every watcher; one that cannot take it at once is dropped
  // (it reads the end of its stream and asks again).
  void PublishRadioLocked() REQUIRES(mutex);
  platform::BluetoothDeviceInfo InfoLocked(const Phone& phone) const REQUIRES(mutex);
  // Stops the phone's threads; the phone is no longer in the map.
  static void Retire(Phone& phone);

  const std::string directory;
  const std::string controlPath;
  const SimulatorOptions options;
  platform::UnixListener control;
  std::atomic<bool> stopping{false};

  keystone::Mutex mutex;  // Guards the members below and every phone's fields.
  bool radioOn GUARDED_BY(mutex) = true;
  std::map<platform::BluetoothAddress, std::unique_ptr<Phone>> phones GUARDED_BY(mutex);
  std::vector<platform::UnixStream> radioWatchers GUARDED_BY(mutex);

  // Ends the in-process waits of Handle at Stop.
  std::mutex stopMutex;
  std::condition_variable stopWake;
  DelayedAnswers delayed;
};

}  // namespace phonesim
