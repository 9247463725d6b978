#pragma once

// The raw socket round trips the benchmarks measure their subjects against: the least a
// request and its answer can cost over the same kind of socket, with the same sizes, and none
// of the subject's work. Each peer runs on a thread of its own with plain blocking reads and
// writes; it ends when the client's end closes.
//   RawEcho   client <-> peer                      (one hop: a call to a service)
//   RawRelay  client <-> relay <-> peer            (two hops: a call to a service that asks a
//                                                   device behind it)
//   PooledEcho  many clients <-> one small pool of threads waiting on all of their connections
//               at once (one-shot readiness, re-armed after each answer): the least a server pays
//               per call when its threads must not grow with its connections

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "platform/stream_poller.h"
#include "platform/unix_socket.h"

namespace keystone::bench {

// Reads exactly data.size() bytes; throws std::runtime_error when the peer closes first.
inline void ReceiveExactly(platform::UnixStream& stream, std::span<uint8_t> data) {
  size_t got = 0;
  while (got < data.size()) {
    const size_t n = stream.ReceiveSome(data.subspan(got));
    if (n == 0) throw std::runtime_error("peer closed");
    got += n;
  }
}

// What a peer answers: fills reply from request. Without one the reply is zeros.
using Answer = std::function<void(std::span<const uint8_t> request, std::span<uint8_t> reply)>;

// The bytes of one hop: what goes to the far end, and what comes back.
struct HopSizes {
  size_t request = 0;
  size_t reply = 0;
};

namespace detail {

// Answers every request of sizes.request bytes with sizes.reply bytes until the stream ends.
inline void AnswerUntilClosed(platform::UnixStream stream, HopSizes sizes, const Answer& answer) {
  std::vector<uint8_t> request(sizes.request);
  std::vector<uint8_t> reply(sizes.reply);
  try {
    for (;;) {
      ReceiveExactly(stream, request);
      if (answer) answer(request, reply);
      stream.SendAll(reply);
    }
  } catch (const std::exception&) {
    // The other end closed: done.
  }
}

// The client's end of a raw path: what it sends and what it reads back.
class ClientEnd {
 public:
  ClientEnd(const ClientEnd&) = delete;
  ClientEnd& operator=(const ClientEnd&) = delete;

  // The bytes the next round trip sends.
  std::span<uint8_t> Request() { return request; }
  void RoundTrip() {
    client.SendAll(request);
    ReceiveExactly(client, reply);
  }
  std::span<const uint8_t> Reply() const { return reply; }

 protected:
  explicit ClientEnd(HopSizes sizes) : request(sizes.request), reply(sizes.reply) {}
  ~ClientEnd() = default;

  platform::UnixStream client;

 private:
  std::vector<uint8_t> request;
  std::vector<uint8_t> reply;
};

}  // namespace detail

// One hop: a socket pair whose far end answers each message.
class RawEcho : public detail::ClientEnd {
 public:
  explicit RawEcho(HopSizes sizes, Answer answer = {}) : ClientEnd(sizes) {
    auto [near, far] = platform::UnixStream::Pair();
    client = std::move(near);
    peer = std::jthread([stream = std::move(far), sizes, answer = std::move(answer)]() mutable {
      detail::AnswerUntilClosed(std::move(stream), sizes, answer);
    });
  }
  ~RawEcho() { client.ShutdownBoth(); }

 private:
  std::jthread peer;
};

// Two hops: the client's socket pair to a relay, which sends each message on over a second
// pair to the answering peer and carries the answer back. The relay copies what fits of each
// message into the next hop's, so the peer sees the client's bytes. The relay runs as a thread,
// or as a process of its own where the subject is a service in another process (a switch
// between processes costs more than one between threads).
class RawRelay : public detail::ClientEnd {
 public:
  enum class Where { kThread, kProcess };

  RawRelay(HopSizes first, HopSizes second, Answer answer = {}, Where where = Where::kThread)
      : ClientEnd(first) {
    auto [near, relayFront] = platform::UnixStream::Pair();
    auto [relayBack, far] = platform::UnixStream::Pair();
    if (where == Where::kProcess) {
      relayProcess = ::fork();
      if (relayProcess < 0) throw std::runtime_error("fork failed");
      if (relayProcess == 0) {
        // Only the relay's own ends stay open here, so that each close reaches the other side.
        near.Close();
        far.Close();
        Relay(relayFront, relayBack, first, second);
        ::_exit(0);
      }
      relayFront.Close();
      relayBack.Close();
    } else {
      relay = std::jthread([front = std::move(relayFront), back = std::move(relayBack), first,
                            second]() mutable { Relay(front, back, first, second); });
    }
    client = std::move(near);
    peer = std::jthread([stream = std::move(far), second, answer = std::move(answer)]() mutable {
      detail::AnswerUntilClosed(std::move(stream), second, answer);
    });
  }
  ~RawRelay() {
    client.ShutdownBoth();
    if (relayProcess > 0) ::waitpid(relayProcess, nullptr, 0);
  }

 private:
  static void Relay(platform::UnixStream& front, platform::UnixStream& back, HopSizes first,
                    HopSizes second) {
    std::vector<uint8_t> inbound(first.request);
    std::vector<uint8_t> onward(second.request);
    std::vector<uint8_t> answer(second.reply);
    std::vector<uint8_t> outbound(first.reply);
    try {
      for (;;) {
        ReceiveExactly(front, inbound);
        std::copy_n(inbound.begin(), std::min(inbound.size(), onward.size()), onward.begin());
        back.SendAll(onward);
        ReceiveExactly(back, answer);
        std::copy_n(answer.begin(), std::min(answer.size(), outbound.size()), outbound.begin());
        front.SendAll(outbound);
      }
    } catch (const std::exception&) {
      // The client closed (or the peer did): the peer's end closes with this thread.
    }
    back.ShutdownBoth();
  }

  pid_t relayProcess = -1;
  std::jthread peer;
  std::jthread relay;
};

// Echo peers for many connections served by a fixed pool of threads that wait on all of them
// through one poller: a thread that finds a connection readable reads the request, answers it
// and arms the connection again. Connection i's client end is used by one thread at a time.
class PooledEcho {
 public:
  PooledEcho(size_t connections, size_t threads, HopSizes hop) : sizes(hop) {
    for (size_t i = 0; i < connections; ++i) {
      auto [near, far] = platform::UnixStream::Pair();
      clients.push_back(std::move(near));
      peers.push_back(std::move(far));
    }
    for (size_t i = 0; i < peers.size(); ++i) poller.Add(peers[i], i);
    for (size_t i = 0; i < threads; ++i) pool.emplace_back([this] { Serve(); });
  }
  ~PooledEcho() {
    poller.Stop();
    pool.clear();  // joins
  }
  PooledEcho(const PooledEcho&) = delete;
  PooledEcho& operator=(const PooledEcho&) = delete;

  void RoundTrip(size_t connection, std::span<const uint8_t> request, std::span<uint8_t> reply) {
    clients[connection].SendAll(request);
    ReceiveExactly(clients[connection], reply);
  }

 private:
  void Serve() {
    std::vector<uint8_t> request(sizes.request);
    const std::vector<uint8_t> reply(sizes.reply);
    for (;;) {
      const platform::StreamPoller::Event event = poller.Wait(platform::kNoDeadline);
      if (event.kind == platform::StreamPoller::EventKind::kStopped) return;
      if (event.kind != platform::StreamPoller::EventKind::kReady) continue;
      platform::UnixStream& peer = peers[event.key];
      try {
        ReceiveExactly(peer, request);
        peer.SendAll(reply);
        poller.Rearm(peer, event.key);
      } catch (const std::exception&) {
        // The client's end closed: the connection stays disarmed.
      }
    }
  }

  const HopSizes sizes;
  std::vector<platform::UnixStream> clients;
  std::vector<platform::UnixStream> peers;
  platform::StreamPoller poller;
  std::vector<std::jthread> pool;  // last: stopped and joined before the rest goes
};

}  // namespace keystone::bench
