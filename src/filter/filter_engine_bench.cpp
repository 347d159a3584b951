// Filter speed over realistic headers and rule sets, and the duplicate check with many seen
// Message-IDs: run by hand, never by the tests. Run with standard output sent elsewhere
// (--benchmark_out) when measuring with a verbosity that prints verdict lines.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "header/message_header.h"
#include "rules/rules.h"

namespace {

using Fields = std::vector<MessageHeader::Field>;

// Four ordinary messages, the last one spam that a deny rule catches.
const std::vector<Fields> kHeaders = {
    {{"Received", "from mx1.example.net by pop.example.com with ESMTPS id 4F1A2B3C4D"},
     {"Received", "from lists.example.org by mx1.example.net with ESMTP id 1a2b3c4d5e6f"},
     {"Message-ID", "<20240514071228.GA12345@host.example.org>"},
     {"Date", "Tue, 14 May 2024 09:12:28 +0200"},
     {"From", "Ann Example <ann@example.org>"},
     {"To", "Developers <dev@lists.example.org>"},
     {"Subject", "Re: [dev] Patch for the reply reader, second round"},
     {"MIME-Version", "1.0"},
     {"Content-Type", "text/plain; charset=us-ascii"},
     {"List-Id", "Developers <dev.lists.example.org>"}},
    {{"Received", "from smtp.example.com by pop.example.com with ESMTP id 99AA"},
     {"Message-ID", "<CAF00ba7@mail.example.com>"},
     {"Date", "Tue, 14 May 2024 10:01:02 +0000"},
     {"From", "Bob <bob@example.com>"},
     {"To", "user@example.com"},
     {"Subject", "Lunch on Thursday?"},
     {"MIME-Version", "1.0"},
     {"Content-Type", "multipart/alternative; boundary=\"000000000000a1b2c3\""}},
    {{"Received", "from out.shop.example by pop.example.com with ESMTP id 7C7C"},
     {"Received", "from app-3.shop.example by out.shop.example id 1x2y3z"},
     {"Message-ID", "<order-771234@shop.example>"},
     {"Date", "Tue, 14 May 2024 11:30:00 +0000"},
     {"From", "Shop <noreply@shop.example>"},
     {"To", "user@example.com"},
     {"Subject", "Your order 771234 has been shipped"},
     {"List-Unsubscribe", "<https://shop.example/unsubscribe?u=abc>"},
     {"Content-Type", "text/html; charset=utf-8"}},
    {{"Received", "from [203.0.113.99] by pop.example.com with SMTP id 0000"},
     {"Message-ID", "<ZZ0099@203.0.113.99>"},
     {"Date", "Tue, 14 May 2024 12:00:00 +0000"},
     {"From", "\"Pharmacy\" <sales@pills.example>"},
     {"To", "undisclosed-recipients:;"},
     {"Subject", "Cheap meds, no prescription!!!"},
     {"X-Mailer", "Bulk Sender 3.1"}},
};

size_t totalLines() {
  size_t lines = 0;
  for (const Fields& fields : kHeaders) lines += fields.size();
  return lines;
}

// n rules of mixed kinds, almost none of which match: the usual case for wanted mail, and the most
// work, since every rule is tried on every line.
void configure(int n, int verbose) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(verbose);
  settings.setNormal("yes");
  settings.setRegType("extended");
  for (int i = 0; i < n - 1; ++i) {
    const std::string k = std::to_string(i);
    switch (i % 5) {
      case 0:
        settings.addAllow("allow", "=", "^From:.*friend" + k + "@trusted\\.example");
        break;
      case 1:
        settings.addDeny("deny", "=", "^Subject:.*(lottery|winner)" + k);
        break;
      case 2:
        settings.addDeny("deny_case", "=", "^X-Spam-Flag: YES" + k);
        break;
      case 3:
        settings.addScore("score", 10, "=", "^Received:.*\\[10\\.0\\." + k + "\\.");
        break;
      case 4:
        settings.addScore("score", 5, i % 10 == 4 ? "<>" : "=", "^(Date|To):");
        break;
    }
  }
  settings.addDeny("deny", "=", "^Subject: Cheap");
  compileRules();
}

std::vector<std::unique_ptr<MessageHeader>> makeHeaders() {
  std::vector<std::unique_ptr<MessageHeader>> headers;
  for (const Fields& fields : kHeaders) {
    auto header = std::make_unique<MessageHeader>();
    header->setSize(4000);
    for (const auto& [name, value] : fields) header->addField(name, value);
    headers.push_back(std::move(header));
  }
  return headers;
}

// Arguments: rules, verbosity, rule engine on (1) or off (0: every pattern on every line).
void BM_Filter(benchmark::State& state) {
  const int rules = static_cast<int>(state.range(0));
  configure(rules, static_cast<int>(state.range(1)));
  const auto headers = makeHeaders();
  FilterEngine& engine = FilterEngine::instance();
  engine.setRuleEngine(state.range(2) != 0);
  for (auto _ : state) {
    for (const auto& header : headers) benchmark::DoNotOptimize(engine.filter(header.get()));
  }
  engine.setRuleEngine(true);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(headers.size()));
  state.counters["per_header"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(headers.size()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["per_rule_line"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(totalLines()) * rules,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Filter)
    ->ArgNames({"rules", "verbose", "engine"})
    ->ArgsProduct({{10, 100, 1000, 10000}, {0}, {0, 1}})
    ->Args({10, 3, 1})
    ->Args({100, 3, 1});

// Start-up: compiling n rules, which builds the rule engine as well; and the first filter call
// after a compile, which sorts the rules into lists (the one header it filters costs microseconds).
void BM_CompileRules(benchmark::State& state) {
  configure(static_cast<int>(state.range(0)), 0);
  for (auto _ : state) compileRules();
}
BENCHMARK(BM_CompileRules)->ArgName("rules")->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_IndexRules(benchmark::State& state) {
  configure(static_cast<int>(state.range(0)), 0);
  const auto headers = makeHeaders();
  FilterEngine& engine = FilterEngine::instance();
  for (auto _ : state) {
    state.PauseTiming();
    compileRules();
    state.ResumeTiming();
    benchmark::DoNotOptimize(engine.filter(headers[0].get()));
  }
}
BENCHMARK(BM_IndexRules)->ArgName("rules")->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// A hostile header: one Subject line of the given length repeating "free ", against 1,000
// unanchored rules of the form "word.*word" (none matches). Arguments: line bytes, engine on (1)
// or off (0: the C library's matcher, quadratic in the line's length on such rules).
void BM_LongLine(benchmark::State& state) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(0);
  settings.setRegType("extended");
  for (int i = 0; i < 999; ++i) {
    settings.addDeny("deny", "=", "free" + std::to_string(i) + ".*money");
  }
  settings.addDeny("deny", "=", "free.*money");
  compileRules();
  std::string subject;
  while (subject.size() < static_cast<size_t>(state.range(0))) subject += "free ";
  MessageHeader header;
  header.addField("From", "<offers@spam.example>");
  header.addField("Subject", subject);
  FilterEngine& engine = FilterEngine::instance();
  engine.setRuleEngine(state.range(1) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(engine.filter(&header));
  engine.setRuleEngine(true);
}
BENCHMARK(BM_LongLine)
    ->ArgNames({"bytes", "engine"})
    ->Args({1 << 20, 1})
    ->Args({16 << 10, 0})
    ->Args({64 << 10, 0})
    ->Unit(benchmark::kMillisecond);

constexpr int kSeen = 100000;

std::string messageId(int i) {
  std::string id = "<";
  id += std::to_string(i);
  id += ".1715670748@host.example.org>";
  return id;
}

void fillSeen() {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(0);
  settings.setDelDuplicates("yes");
  FilterEngine& engine = FilterEngine::instance();
  engine.resetForTesting();
  for (int i = 0; i < kSeen; ++i) {
    MessageHeader header;
    header.addField("Message-ID", messageId(i));
    engine.checkDuplicate(&header);
  }
}

// A copy of a message already seen: found and condemned.
void BM_DuplicateSeen(benchmark::State& state) {
  fillSeen();
  std::vector<std::unique_ptr<MessageHeader>> headers;
  for (int i = 0; i < kSeen; i += kSeen / 1000) {
    headers.push_back(std::make_unique<MessageHeader>());
    headers.back()->addField("Message-ID", messageId(i));
  }
  FilterEngine& engine = FilterEngine::instance();
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.checkDuplicate(headers[next].get()));
    next = (next + 1) % headers.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DuplicateSeen);

// A new message: not found, then recorded (the time includes making its header).
void BM_DuplicateNew(benchmark::State& state) {
  fillSeen();
  FilterEngine& engine = FilterEngine::instance();
  int next = kSeen;
  for (auto _ : state) {
    MessageHeader header;
    header.addField("Message-ID", messageId(next++));
    benchmark::DoNotOptimize(engine.checkDuplicate(&header));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DuplicateNew);

}  // namespace

BENCHMARK_MAIN();
