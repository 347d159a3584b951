// The protocol floor: the POP3 dialogue that pollensift holds with a mailbox in test mode, with
// nothing else. It logs in with USER and PASS, sends STAT twice (pollensift's account check asks
// for the status once and its scan once more), then LIST n and TOP n 0 for every message, reading
// each reply to its end without looking inside, and ends with QUIT. Whatever pollensift takes
// beyond this program's time is the cost of parsing, filtering and logging.
//
//   floor_client HOST PORT USER PASSWORD
//
// Prints "messages M bytes B" (replies read) and exits 0, or names the failed step and exits 1.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// Closes the descriptor exactly once.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct AddressList {
  addrinfo* head = nullptr;
  AddressList() = default;
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;
  ~AddressList() {
    if (head != nullptr) freeaddrinfo(head);
  }
};

int connectTo(const char* host, const char* port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  AddressList addresses;
  if (getaddrinfo(host, port, &hints, &addresses.head) != 0) return -1;
  for (const addrinfo* a = addresses.head; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
    ::close(fd);
  }
  return -1;
}

// Blocking reads into one buffer; a reply is cut off at its terminator and the bytes after it stay
// for the next reply. Each search starts where the previous one gave up, so a long reply arriving
// in many pieces is scanned once.
class Link {
 public:
  explicit Link(int fd) : fd_(fd) {}

  bool send(std::string_view command) {
    while (!command.empty()) {
      const ssize_t wrote = ::send(fd_, command.data(), command.size(), MSG_NOSIGNAL);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return false;
      command.remove_prefix(static_cast<size_t>(wrote));
    }
    return true;
  }

  // Reads one reply; true when it arrived whole and is positive. The reply stays in reply().
  bool read(bool multiline) {
    buffer_.erase(0, taken_);
    taken_ = 0;
    size_t from = 0;
    size_t status_end = std::string::npos;
    for (;;) {
      if (status_end == std::string::npos) {
        const size_t at = buffer_.find("\r\n", from);
        if (at != std::string::npos) {
          status_end = at + 2;
          from = at;  // the status line's CR LF may open the terminator
        } else {
          from = buffer_.empty() ? 0 : buffer_.size() - 1;
        }
      }
      if (status_end != std::string::npos) {
        if (!multiline || buffer_[0] == '-') {
          taken_ = status_end;
          break;
        }
        const size_t at = buffer_.find("\r\n.\r\n", from);
        if (at != std::string::npos) {
          taken_ = at + 5;
          break;
        }
        if (buffer_.size() >= 5) from = buffer_.size() - 4;
      }
      char chunk[16384];
      const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(got));
    }
    bytes_ += taken_;
    return buffer_[0] == '+';
  }

  std::string_view reply() const { return std::string_view(buffer_).substr(0, taken_); }
  unsigned long long bytes() const { return bytes_; }

 private:
  int fd_;
  std::string buffer_;
  size_t taken_ = 0;
  unsigned long long bytes_ = 0;
};

// The message count of a STAT reply: the digits of its second word.
long statCount(std::string_view reply) {
  const size_t space = reply.find(' ');
  if (space == std::string_view::npos) return 0;
  return std::strtol(std::string(reply.substr(space + 1)).c_str(), nullptr, 10);
}

int fail(const char* step) {
  std::fprintf(stderr, "floor_client: %s failed\n", step);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: floor_client HOST PORT USER PASSWORD\n");
    return 2;
  }
  Descriptor socket(connectTo(argv[1], argv[2]));
  if (socket.get() < 0) return fail("connect");
  Link link(socket.get());

  if (!link.read(false)) return fail("greeting");
  if (!link.send(std::string("USER ") + argv[3] + "\r\n") || !link.read(false)) {
    return fail("USER");
  }
  if (!link.send(std::string("PASS ") + argv[4] + "\r\n") || !link.read(false)) {
    return fail("PASS");
  }
  long count = 0;
  for (int i = 0; i < 2; ++i) {
    if (!link.send("STAT\r\n") || !link.read(false)) return fail("STAT");
    count = statCount(link.reply());
  }
  for (long n = 1; n <= count; ++n) {
    const std::string number = std::to_string(n);
    if (!link.send("LIST " + number + "\r\n") || !link.read(false)) return fail("LIST");
    if (!link.send("TOP " + number + " 0\r\n") || !link.read(true)) return fail("TOP");
  }
  // Like pollensift, it does not wait for the reply to QUIT.
  if (!link.send("QUIT\r\n")) return fail("QUIT");
  std::printf("messages %ld bytes %llu\n", count, link.bytes());
  return 0;
}
