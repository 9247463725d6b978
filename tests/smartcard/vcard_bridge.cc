// A virtual CAC card for the integration tests: libcacard emulates the card over an NSS database
// and this program carries its APDUs to the vpcd reader driver inside pcscd.
//
//   keystone-test-vcard-bridge NSSDB PORT CERT1[,CERT2[,CERT3]]
//
// vpcd's socket protocol: each message is a 2-byte big-endian length, then the payload. A 1-byte
// payload is a control code: 0 power off, 1 power on, 2 reset, 4 send the ATR. Any other payload
// is a command APDU, answered with the response APDU.
//
// Two fixes make the emulation answer as a real card does: TCP_QUICKACK after every read
// (otherwise delayed ACKs cost ~40 ms per APDU), and a wrong PIN answered 63Cx (tries left)
// instead of libcacard's 6985, which middleware reports as a general error; after three wrong
// PINs in a row the card answers 6983 (blocked).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <vcard_emul.h>
#include <vreader.h>
}

namespace {

constexpr const char* kReaderName = "Keystone Virtual Reader";
constexpr size_t kMaxMessage = 65536;
constexpr int kPinTries = 3;

bool ReadExactly(int fd, uint8_t* out, size_t length) {
  while (length > 0) {
    const ssize_t got = ::recv(fd, out, length, 0);
    if (got <= 0) return false;
    out += got;
    length -= static_cast<size_t>(got);
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  return true;
}

bool Send(int fd, const uint8_t* data, size_t length) {
  const uint8_t header[2] = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  return ::send(fd, header, 2, MSG_NOSIGNAL) == 2 &&
         ::send(fd, data, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

int Connect(uint16_t port) {
  // pcscd opens vpcd's listening socket when it loads the driver; wait for it a little.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return fd;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s NSSDB PORT CERT1[,CERT2[,CERT3]]\n", argv[0]);
    return 2;
  }
  const std::string options = std::string("db=\"sql:") + argv[1] + "\" use_hw=no soft=(," +
                              kReaderName + ",CAC,," + argv[3] + ")";
  if (vcard_emul_init(vcard_emul_options(options.c_str())) != VCARD_EMUL_OK) {
    std::fprintf(stderr, "vcard-bridge: the emulator did not start (%s)\n", options.c_str());
    return 1;
  }
  VReader* reader = vreader_get_reader_by_name(kReaderName);
  if (reader == nullptr) {
    std::fprintf(stderr, "vcard-bridge: no virtual reader\n");
    return 1;
  }
  const int fd = Connect(static_cast<uint16_t>(std::atoi(argv[2])));
  if (fd < 0) {
    std::fprintf(stderr, "vcard-bridge: cannot reach vpcd on port %s\n", argv[2]);
    return 1;
  }
  std::fprintf(stderr, "vcard-bridge: connected\n");
  int triesLeft = kPinTries;
  std::vector<uint8_t> message(kMaxMessage);
  std::vector<uint8_t> answer(kMaxMessage);
  for (;;) {
    uint8_t header[2];
    if (!ReadExactly(fd, header, 2)) break;
    const size_t length = static_cast<size_t>(header[0]) << 8 | header[1];
    if (length == 0 || !ReadExactly(fd, message.data(), length)) break;
    if (length == 1) {
      int atrLength = static_cast<int>(answer.size());
      switch (message[0]) {
        case 0:
          vreader_power_off(reader);
          break;
        case 1:
          vreader_power_on(reader, answer.data(), &atrLength);
          break;
        case 2:
          vreader_power_off(reader);
          vreader_power_on(reader, answer.data(), &atrLength);
          break;
        case 4:
          if (vreader_power_on(reader, answer.data(), &atrLength) != VREADER_OK ||
              !Send(fd, answer.data(), static_cast<size_t>(atrLength))) {
            return 1;
          }
          break;
        default:
          break;
      }
      continue;
    }
    const bool verify = length > 5 && message[1] == 0x20;  // VERIFY with a PIN in it
    int answerLength = static_cast<int>(answer.size());
    if (verify && triesLeft == 0) {
      answer[0] = 0x69;
      answer[1] = 0x83;
      answerLength = 2;
    } else if (vreader_xfr_bytes(reader, message.data(), static_cast<int>(length), answer.data(),
                                 &answerLength) != VREADER_OK ||
               answerLength < 2) {
      answer[0] = 0x6F;  // no precise diagnosis
      answer[1] = 0x00;
      answerLength = 2;
    }
    if (verify) {
      uint8_t* sw = answer.data() + answerLength - 2;
      if (sw[0] == 0x90 && sw[1] == 0x00) {
        triesLeft = kPinTries;
      } else if (sw[0] == 0x69 && sw[1] == 0x85) {
        --triesLeft;
        sw[0] = triesLeft == 0 ? 0x69 : 0x63;
        sw[1] = triesLeft == 0 ? 0x83 : static_cast<uint8_t>(0xC0 | triesLeft);
      }
    }
    if (!Send(fd, answer.data(), static_cast<size_t>(answerLength))) break;
  }
  ::close(fd);
  return 0;
}
