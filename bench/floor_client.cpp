// The protocol floor: the POP3 dialogue that pollensift holds with a mailbox in test mode, with
// nothing else. Whatever pollensift takes beyond this program's time is the cost of parsing,
// filtering and logging.
//
//   floor_client [--pipelined | --ahead | --uidl] HOST PORT USER PASSWORD
//
// Without --pipelined it is pollensift's dialogue with PIPELINING = "no": USER, PASS, STAT twice
// (the account check asks for the status once and the scan once more), LIST n and TOP n 0 for
// every message, one command at a time, and QUIT.
//
// With --pipelined it is pollensift's dialogue with a server that offers PIPELINING and USER:
// CAPA before the login, USER and PASS in one write, STAT once, then LIST n and TOP n 0 for every
// message with as many commands in flight as pollensift allows (100 commands, and at most 1 MiB
// of replies expected: 64 bytes for a LIST reply, 16 KiB and 64 bytes for a header), and QUIT.
// It writes every command the window takes in one send and reads every reply that has arrived
// before it sends again, which is as few system calls as that window allows. It does not check
// that the server offers PIPELINING.
//
// With --ahead it is the floor of the protocol itself, not of any one client's dialogue: USER and
// PASS in one write, STAT, one LIST for every size, then every TOP n 0 written at once by a second
// thread while the first only frames the replies as they come; then QUIT. No window: the server
// is never kept waiting for a command.
//
// With --uidl it is the bare session of a repeat run under STATEFILE where nothing is new: CAPA,
// USER and PASS in one write, STAT and UIDL in one write, QUIT.
//
// All four await QUIT's reply. Every reply is read to its end without looking inside, but for STAT's
// count. Prints "messages M bytes B" (replies read) and exits 0, or names the failed step and
// exits 1.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <thread>

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
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      // As pollensift: a command is not held back until the one before it is acknowledged.
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return fd;
    }
    ::close(fd);
  }
  return -1;
}

// Blocking reads into one buffer; a reply is cut off at its terminator and the bytes after it stay
// for the next reply. The search for a reply's end resumes where it last gave up, so a long reply
// arriving in many pieces is scanned once.
class Link {
 public:
  explicit Link(int fd) : fd_(fd) {}

  bool send(std::string_view commands) {
    while (!commands.empty()) {
      const ssize_t wrote = ::send(fd_, commands.data(), commands.size(), MSG_NOSIGNAL);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return false;
      commands.remove_prefix(static_cast<size_t>(wrote));
    }
    return true;
  }

  // Reads one reply; true when it arrived whole and is positive. The reply stays in reply().
  bool read(bool multiline) {
    drop();
    while (!complete(multiline)) {
      char chunk[16384];
      const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      // As pollensift: each read is acknowledged at once, so that a server that holds its next
      // reply until the last is acknowledged (Nagle) does not wait for a delayed acknowledgement.
      const int on = 1;
      ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
      buffer_.append(chunk, static_cast<size_t>(got));
    }
    bytes_ += taken_;
    returned_ = true;
    return buffer_[0] == '+';
  }

  // Whether the next reply has arrived whole already, so read() would not wait.
  bool ready(bool multiline) {
    drop();
    return complete(multiline);
  }

  std::string_view reply() const { return std::string_view(buffer_).substr(0, taken_); }
  unsigned long long bytes() const { return bytes_; }

 private:
  // Forgets the reply read() returned last.
  void drop() {
    if (!returned_) return;
    returned_ = false;
    buffer_.erase(0, taken_);
    taken_ = 0;
    from_ = 0;
    status_end_ = std::string::npos;
  }

  // Whether the buffer holds the whole next reply; if so, taken_ is its length.
  bool complete(bool multiline) {
    if (taken_ != 0) return true;
    if (status_end_ == std::string::npos) {
      const size_t at = buffer_.find("\r\n", from_);
      if (at == std::string::npos) {
        from_ = buffer_.empty() ? 0 : buffer_.size() - 1;
        return false;
      }
      status_end_ = at + 2;
      from_ = at;  // the status line's CR LF may open the terminator
    }
    if (!multiline || buffer_[0] == '-') {
      taken_ = status_end_;
      return true;
    }
    const size_t at = buffer_.find("\r\n.\r\n", from_);
    if (at == std::string::npos) {
      if (buffer_.size() >= 5) from_ = buffer_.size() - 4;
      return false;
    }
    taken_ = at + 5;
    return true;
  }

  int fd_;
  std::string buffer_;
  size_t taken_ = 0;       // the length of the next reply, once it is complete
  bool returned_ = false;  // whether read() has returned that reply
  size_t from_ = 0;
  size_t status_end_ = std::string::npos;
  unsigned long long bytes_ = 0;
};

// The number after the first word of a reply line ("+OK 12 3400", "12 3400"), or -1.
long secondWord(std::string_view line) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return -1;
  return std::strtol(std::string(line.substr(space + 1)).c_str(), nullptr, 10);
}

int fail(const char* step) {
  std::fprintf(stderr, "floor_client: %s failed\n", step);
  return 1;
}

std::string top(long n) {
  return "TOP " + std::to_string(n) + " 0\r\n";
}

// LIST n and TOP n 0 for each message, one command at a time.
int oneAtATime(Link& link, long count) {
  for (long n = 1; n <= count; ++n) {
    if (!link.send("LIST " + std::to_string(n) + "\r\n") || !link.read(false)) return fail("LIST");
    if (!link.send(top(n)) || !link.read(true)) return fail("TOP");
  }
  return 0;
}

// pollensift's window where the server pipelines.
constexpr size_t kWindowCommands = 100;
constexpr size_t kWindowBytes = size_t{1} << 20;
constexpr size_t kExpectedHeader = 16 << 10;
constexpr size_t kShortReply = 64;

// LIST n and TOP n 0 for each message with the window full; each reply is taken in turn.
int pipelined(Link& link, long count) {
  struct Pending {
    bool top;
    size_t bytes;
  };
  std::deque<Pending> in_flight;
  size_t in_flight_bytes = 0;
  long next = 1;          // the message whose commands go out next
  bool listed = false;    // its LIST has gone out, its TOP not yet
  long answered = 0;      // TOP replies taken
  std::string batch;
  while (answered < count) {
    batch.clear();
    for (;;) {
      if (next > count) break;
      const Pending command = listed ? Pending{true, kExpectedHeader + kShortReply}
                                     : Pending{false, kShortReply};
      if (!in_flight.empty() && (in_flight.size() >= kWindowCommands ||
                                 in_flight_bytes + command.bytes > kWindowBytes)) {
        break;
      }
      batch += command.top ? top(next) : "LIST " + std::to_string(next) + "\r\n";
      in_flight.push_back(command);
      in_flight_bytes += command.bytes;
      if (command.top) ++next;
      listed = !listed;
    }
    if (!batch.empty() && !link.send(batch)) return fail("LIST and TOP");
    do {
      const bool top_reply = in_flight.front().top;
      if (!link.read(top_reply)) return fail(top_reply ? "TOP" : "LIST");
      in_flight_bytes -= in_flight.front().bytes;
      in_flight.pop_front();
      if (top_reply) ++answered;
    } while (!in_flight.empty() && link.ready(in_flight.front().top));
  }
  return 0;
}

// Every TOP n 0 written ahead by a second thread while this one reads the replies: the server
// always has the next command, and the socket's buffers hold whatever the reader has not taken.
int ahead(Link& link, int fd, long count) {
  if (!link.send("LIST\r\n") || !link.read(true)) return fail("LIST");
  std::string commands;
  commands.reserve(static_cast<size_t>(count) * 16);
  for (long n = 1; n <= count; ++n) commands += top(n);
  bool sent = false;
  std::thread writer([&] { sent = Link(fd).send(commands); });
  long answered = 0;
  while (answered < count && link.read(true)) ++answered;
  writer.join();
  if (!sent) return fail("TOP writing");
  return answered == count ? 0 : fail("TOP");
}

}  // namespace

int main(int argc, char** argv) {
  const bool pipelining = argc > 1 && std::strcmp(argv[1], "--pipelined") == 0;
  const bool all_ahead = argc > 1 && std::strcmp(argv[1], "--ahead") == 0;
  const bool uidl = argc > 1 && std::strcmp(argv[1], "--uidl") == 0;
  if (pipelining || all_ahead || uidl) {
    --argc;
    ++argv;
  }
  if (argc != 5) {
    std::fprintf(stderr,
                 "usage: floor_client [--pipelined | --ahead | --uidl] HOST PORT USER PASSWORD\n");
    return 2;
  }
  Descriptor socket(connectTo(argv[1], argv[2]));
  if (socket.get() < 0) return fail("connect");
  Link link(socket.get());

  if (!link.read(false)) return fail("greeting");
  const std::string user = std::string("USER ") + argv[3] + "\r\n";
  const std::string pass = std::string("PASS ") + argv[4] + "\r\n";
  if (pipelining || uidl) {
    if (!link.send("CAPA\r\n") || !link.read(true)) return fail("CAPA");
  }
  if (pipelining || all_ahead || uidl) {
    if (!link.send(user + pass) || !link.read(false)) return fail("USER");
    if (!link.read(false)) return fail("PASS");
  } else {
    if (!link.send(user) || !link.read(false)) return fail("USER");
    if (!link.send(pass) || !link.read(false)) return fail("PASS");
  }
  if (uidl) {
    if (!link.send("STAT\r\nUIDL\r\n") || !link.read(false)) return fail("STAT");
    const long listed = secondWord(link.reply());
    if (!link.read(true)) return fail("UIDL");
    if (!link.send("QUIT\r\n") || !link.read(false)) return fail("QUIT");
    std::printf("messages %ld bytes %llu\n", listed, link.bytes());
    return 0;
  }
  long count = 0;
  for (int i = 0; i < (pipelining || all_ahead ? 1 : 2); ++i) {
    if (!link.send("STAT\r\n") || !link.read(false)) return fail("STAT");
    count = secondWord(link.reply());
  }
  if (count < 0) return fail("STAT reading");
  if (count > 0) {
    const int failed = all_ahead    ? ahead(link, socket.get(), count)
                       : pipelining ? pipelined(link, count)
                                    : oneAtATime(link, count);
    if (failed != 0) return failed;
  }
  if (!link.send("QUIT\r\n") || !link.read(false)) return fail("QUIT");
  std::printf("messages %ld bytes %llu\n", count, link.bytes());
  return 0;
}
