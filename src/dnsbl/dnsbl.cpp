#include "dnsbl/dnsbl.h"

#include <regex.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <unordered_map>

#include "dnsbl/relay.h"
#include "dnsbl/resolver.h"
#include "header/message_header.h"
#include "report/reporter.h"
#include "report/warning.h"

namespace dnsbl {

namespace {

using Clock = std::chrono::steady_clock;

// What became of one name asked.
struct Lookup {
  bool done = false;
  Answer answer;
};

struct ListState {
  List list;
  bool silent = false;  // did not answer in time once: not asked again in this run
  bool warned = false;  // named in a warning already
};

struct TicketState {
  std::optional<Address> relay;
  std::vector<std::string> names;  // per list; empty where the list was not asked
  std::vector<bool> asked_before;  // per list: the name was asked for an earlier message
  Clock::time_point deadline;
};

struct Expression {
  regex_t compiled;
  explicit Expression(const std::string& text) {
    ok = regcomp(&compiled, text.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) == 0;
  }
  ~Expression() {
    if (ok) regfree(&compiled);
  }
  Expression(const Expression&) = delete;
  Expression& operator=(const Expression&) = delete;
  bool ok;
};

bool equalsNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string dotted(const std::array<uint8_t, 4>& bytes) {
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

// 127.0.0.0/8 lists; 127.255.255.0/24 is the lists' own error and refusal codes.
bool listing(const std::array<uint8_t, 4>& bytes) {
  return bytes[0] == 127 && !(bytes[1] == 255 && bytes[2] == 255);
}

}  // namespace

struct BlockLists::State {
  Config config;
  std::vector<ListState> lists;
  std::vector<std::unique_ptr<Expression>> trusted;
  std::unique_ptr<Resolver> resolver;
  bool resolver_tried = false;
  std::unordered_map<std::string, Lookup> lookups;
  std::map<Ticket, TicketState> tickets;
  Ticket next_ticket = 1;

  Resolver* resolve() {
    if (!resolver_tried) {
      resolver_tried = true;
      std::string problem;
      // Two tries, the second twice as long: together about the wait a message allows.
      resolver = Resolver::open(config.server, std::max(config.wait_ms / 3, 1), &problem);
      if (!resolver) {
        warn("The DNS block lists are not asked: the resolver cannot start: " + problem + ".");
      }
    }
    return resolver.get();
  }

  std::optional<Address> relayOf(const MessageHeader& header) const {
    for (const auto field : header.fields()) {
      if (!equalsNoCase(field.first, "Received")) continue;
      if (!trusted.empty()) {
        const std::string line = std::string(field.first) + ": " + std::string(field.second);
        const bool is_trusted = std::any_of(trusted.begin(), trusted.end(), [&](const auto& e) {
          return e->ok && regexec(&e->compiled, line.c_str(), 0, nullptr, 0) == 0;
        });
        if (is_trusted) continue;
      }
      const std::optional<Address> from = receivedFrom(field.second);
      if (from && scopeOf(*from) == Scope::kPublic) return from;
    }
    return std::nullopt;
  }

  // The line of one lookup at level 5, and its listing if it lists.
  std::string outcome(ListState& list, const TicketState& ticket, size_t i,
                      std::optional<Listing>* listed) {
    const std::string& name = ticket.names[i];
    if (name.empty() && !resolver) return "not asked: the resolver cannot start.";
    if (name.empty()) return "not asked: " + list.list.zone + " did not answer in time before.";
    const Lookup& lookup = lookups[name];
    std::string head = name + (ticket.asked_before[i] ? " (asked before in this run): " : ": ");
    if (!lookup.done || lookup.answer.kind == Answer::Kind::kTimedOut) {
      list.silent = true;
      if (!list.warned) {
        list.warned = true;
        warn("The DNS block list " + list.list.zone + " did not answer within " +
             std::to_string(config.wait_ms) +
             " ms; it is not asked again in this run and adds "
             "no points.");
      }
      return head + "no answer in time, no points.";
    }
    const Answer& answer = lookup.answer;
    switch (answer.kind) {
      case Answer::Kind::kNxdomain:
        return head + "NXDOMAIN, not listed.";
      case Answer::Kind::kNoData:
        return head + "no address, not listed.";
      case Answer::Kind::kFailed:
        if (!list.warned) {
          list.warned = true;
          warn("The DNS block list " + list.list.zone + " could not be asked (" + answer.problem +
               "); it adds no points when it cannot.");
        }
        return head + "the lookup failed (" + answer.problem + "), no points.";
      default:
        break;
    }
    std::string codes;
    bool lists = false;
    for (const auto& bytes : answer.addresses) {
      codes += (codes.empty() ? "" : ", ") + dotted(bytes);
      lists = lists || listing(bytes);
    }
    if (lists) {
      *listed = Listing{list.list.zone, addressText(*ticket.relay), list.list.points};
      return head + codes + ", listed [" + std::to_string(list.list.points) + "].";
    }
    if (!list.warned) {
      list.warned = true;
      warn("The DNS block list " + list.list.zone + " answered " + codes + " for " + name +
           ", an error code and not a listing (free lists refuse queries that come through "
           "public resolvers); it adds no points for such answers.");
    }
    return head + codes + ", an error answer, not a listing.";
  }
};

BlockLists::BlockLists(Config config) : state_(std::make_unique<State>()) {
  for (const List& list : config.lists) state_->lists.push_back({list, false, false});
  for (const std::string& text : config.trusted_relays) {
    state_->trusted.push_back(std::make_unique<Expression>(text));
  }
  state_->config = std::move(config);
}

BlockLists::~BlockLists() = default;

BlockLists::Ticket BlockLists::ask(const MessageHeader& header) {
  State& s = *state_;
  const Ticket id = s.next_ticket++;
  TicketState& ticket = s.tickets[id];
  ticket.deadline = Clock::now() + std::chrono::milliseconds(s.config.wait_ms);
  ticket.relay = s.relayOf(header);
  if (!ticket.relay || s.lists.empty()) return id;
  Resolver* resolver = s.resolve();
  for (ListState& list : s.lists) {
    std::string name;
    bool before = false;
    if (!list.silent && resolver != nullptr) {
      name = queryName(*ticket.relay, list.list.zone);
      const auto [entry, fresh] = s.lookups.try_emplace(name);
      before = !fresh;
      if (fresh) {
        resolver->ask(name, [&s, name](Answer answer) {
          Lookup& lookup = s.lookups[name];
          lookup.done = true;
          lookup.answer = std::move(answer);
        });
      }
    }
    ticket.names.push_back(std::move(name));
    ticket.asked_before.push_back(before);
  }
  return id;
}

bool BlockLists::answered(Ticket id) {
  State& s = *state_;
  const auto found = s.tickets.find(id);
  if (found == s.tickets.end()) return true;
  const TicketState& ticket = found->second;
  if (Clock::now() >= ticket.deadline) return true;
  for (size_t i = 0; i < ticket.names.size(); ++i) {
    if (ticket.names[i].empty() || s.lists[i].silent) continue;
    if (!s.lookups[ticket.names[i]].done) return false;
  }
  return true;
}

void BlockLists::await(Ticket id) {
  std::vector<pollfd> fds;
  while (!answered(id)) {
    fds.clear();
    int due = watch(&fds);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          state_->tickets[id].deadline - Clock::now())
                          .count() +
                      1;
    if (due < 0 || due > left) due = static_cast<int>(left);
    if (::poll(fds.data(), fds.size(), due) < 0 && errno != EINTR) break;
    serve(fds);
  }
}

std::vector<Listing> BlockLists::take(Ticket id) {
  State& s = *state_;
  std::vector<Listing> found;
  const auto entry = s.tickets.find(id);
  if (entry == s.tickets.end()) return found;
  const TicketState ticket = std::move(entry->second);
  s.tickets.erase(entry);
  Reporter& reporter = Reporter::instance();
  if (!ticket.relay) {
    reporter.print("DNSBL: no Received line names a public relay; no list is asked.", 5);
    return found;
  }
  reporter.print("DNSBL: the relay is " + addressText(*ticket.relay) + ".", 5);
  for (size_t i = 0; i < ticket.names.size(); ++i) {
    std::optional<Listing> listed;
    const std::string line = s.outcome(s.lists[i], ticket, i, &listed);
    reporter.print("DNSBL: " + line, 5);
    if (listed) found.push_back(std::move(*listed));
  }
  return found;
}

int BlockLists::watch(std::vector<pollfd>* fds) {
  return state_->resolver && state_->resolver->busy() ? state_->resolver->watch(fds) : -1;
}

void BlockLists::serve(std::span<const pollfd> fds) {
  if (state_->resolver) state_->resolver->serve(fds);
}

std::vector<std::string> BlockLists::describe() {
  State& s = *state_;
  std::vector<std::string> lines;
  for (const ListState& list : s.lists) {
    lines.push_back("DNSBL " + std::to_string(list.list.points) + " = \"" + list.list.zone + "\"");
  }
  for (const std::string& text : s.config.trusted_relays) {
    lines.push_back("TRUSTED_RELAYS = \"" + text + "\"");
  }
  Resolver* resolver = s.resolve();
  std::string where = s.config.server.empty() ? "the system's resolver configuration"
                                              : "DNS_SERVER = \"" + s.config.server + "\"";
  lines.push_back("DNS resolver: " + where + ", asking " +
                  (resolver != nullptr ? resolver->servers() : std::string("nothing")) +
                  "; a message waits at most " + std::to_string(s.config.wait_ms) +
                  " ms for its answers");
  return lines;
}

namespace {
std::unique_ptr<BlockLists>& current() {
  static std::unique_ptr<BlockLists> lists;
  return lists;
}
}  // namespace

BlockLists* runLists() {
  return current().get();
}
void setRunLists(std::unique_ptr<BlockLists> lists) {
  current() = std::move(lists);
}

}  // namespace dnsbl
