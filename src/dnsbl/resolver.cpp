#include "dnsbl/resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <sys/time.h>

#include <cstring>
#include <mutex>

namespace dnsbl {

struct Resolver::Channel {
  ares_channel handle = nullptr;
  ~Channel() {
    if (handle != nullptr) ares_destroy(handle);
  }
};

// What travels through c-ares with one query. A resolver being destroyed answers its queries
// with ARES_EDESTRUCTION; those are then only freed.
struct Resolver::Request {
  Resolver* owner;
  Done done;
};

namespace {

constexpr int kClass = 1;  // IN
constexpr int kTypeA = 1;

Answer answerOf(int status, const unsigned char* reply, int length) {
  Answer answer;
  switch (status) {
    case ARES_SUCCESS:
      break;
    case ARES_ENOTFOUND:
      answer.kind = Answer::Kind::kNxdomain;
      return answer;
    case ARES_ENODATA:
      answer.kind = Answer::Kind::kNoData;
      return answer;
    case ARES_ETIMEOUT:
      answer.kind = Answer::Kind::kTimedOut;
      return answer;
    default:
      answer.problem = ares_strerror(status);
      return answer;
  }
  ares_addrttl records[16];
  int count = 16;
  hostent* host = nullptr;
  const int parsed = ares_parse_a_reply(reply, length, &host, records, &count);
  if (host != nullptr) ares_free_hostent(host);
  if (parsed == ARES_ENODATA) {
    answer.kind = Answer::Kind::kNoData;
    return answer;
  }
  if (parsed != ARES_SUCCESS) {
    answer.problem = ares_strerror(parsed);
    return answer;
  }
  answer.kind = count > 0 ? Answer::Kind::kAddresses : Answer::Kind::kNoData;
  for (int i = 0; i < count; ++i) {
    std::array<uint8_t, 4> bytes;
    static_assert(sizeof records[i].ipaddr == 4);
    std::memcpy(bytes.data(), &records[i].ipaddr, 4);
    answer.addresses.push_back(bytes);
  }
  return answer;
}

}  // namespace

std::unique_ptr<Resolver> Resolver::open(const std::string& server, int timeout_ms,
                                         std::string* problem) {
  static std::once_flag initialised;
  static int init_status = ARES_SUCCESS;
  std::call_once(initialised, [] { init_status = ares_library_init(ARES_LIB_INIT_ALL); });
  if (init_status != ARES_SUCCESS) {
    *problem = ares_strerror(init_status);
    return nullptr;
  }
  auto channel = std::make_unique<Channel>();
  ares_options options{};
  options.timeout = timeout_ms > 0 ? timeout_ms : 1;
  // A lost datagram is sent again once; the second try waits twice as long.
  options.tries = 2;
  const int status =
      ares_init_options(&channel->handle, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
  if (status != ARES_SUCCESS) {
    *problem = ares_strerror(status);
    return nullptr;
  }
  if (!server.empty()) {
    const int set = ares_set_servers_ports_csv(channel->handle, server.c_str());
    if (set != ARES_SUCCESS) {
      *problem =
          std::string("the DNS server \"") + server + "\" cannot be used: " + ares_strerror(set);
      return nullptr;
    }
  }
  return std::unique_ptr<Resolver>(new Resolver(std::move(channel)));
}

Resolver::Resolver(std::unique_ptr<Channel> channel) : channel_(std::move(channel)) {}

Resolver::~Resolver() {
  channel_.reset();
}

void Resolver::ask(const std::string& name, Done done) {
  if (in_flight_ >= kInFlight) {
    waiting_.emplace_back(name, std::move(done));
    return;
  }
  send(name, std::move(done));
}

void Resolver::send(const std::string& name, Done done) {
  ++in_flight_;
  auto* request = new Request{this, std::move(done)};
  ares_query(
      channel_->handle, name.c_str(), kClass, kTypeA,
      [](void* arg, int status, int /*timeouts*/, unsigned char* reply, int length) {
        std::unique_ptr<Request> request(static_cast<Request*>(arg));
        if (status == ARES_EDESTRUCTION || status == ARES_ECANCELLED) return;
        --request->owner->in_flight_;
        request->done(answerOf(status, reply, length));
      },
      request);
}

void Resolver::startWaiting() {
  while (in_flight_ < kInFlight && !waiting_.empty()) {
    auto [name, done] = std::move(waiting_.front());
    waiting_.pop_front();
    send(name, std::move(done));
  }
}

int Resolver::watch(std::vector<pollfd>* fds) {
  ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
  const int bits = ares_getsock(channel_->handle, sockets, ARES_GETSOCK_MAXNUM);
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    short events = 0;
    if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
    if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
    if (events != 0) fds->push_back({sockets[i], events, 0});
  }
  if (in_flight_ == 0) return -1;
  timeval longest{3600, 0};
  timeval due{};
  const timeval* next = ares_timeout(channel_->handle, &longest, &due);
  return static_cast<int>(next->tv_sec * 1000 + (next->tv_usec + 999) / 1000);
}

void Resolver::serve(std::span<const pollfd> fds) {
  for (const pollfd& entry : fds) {
    if (entry.revents == 0) continue;
    const bool readable = (entry.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    const bool writable = (entry.revents & POLLOUT) != 0;
    ares_process_fd(channel_->handle, readable ? entry.fd : ARES_SOCKET_BAD,
                    writable ? entry.fd : ARES_SOCKET_BAD);
  }
  // Queries whose time is up end here.
  ares_process_fd(channel_->handle, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
  startWaiting();
}

std::string Resolver::servers() const {
  ares_addr_port_node* list = nullptr;
  if (ares_get_servers_ports(channel_->handle, &list) != ARES_SUCCESS) return "(unknown)";
  std::string text;
  for (const ares_addr_port_node* node = list; node != nullptr; node = node->next) {
    char address[INET6_ADDRSTRLEN] = {};
    inet_ntop(node->family, &node->addr, address, sizeof address);
    const int port = node->udp_port != 0 ? node->udp_port : 53;
    if (!text.empty()) text += ", ";
    text += node->family == AF_INET6 ? "[" + std::string(address) + "]" : std::string(address);
    text += ":" + std::to_string(port);
  }
  ares_free_data(list);
  return text.empty() ? "(none)" : text;
}

}  // namespace dnsbl
