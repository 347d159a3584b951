// Measures learned scoring on saved mail: trains on the messages of the training paths, then
// judges those of the test paths and prints, as key=value lines, the time taken, the size of the
// learned-token file and the false positives and negatives at several thresholds. bench/learn.py
// runs it on the public corpus.
//
//   learn_measure --train-spam PATH... --train-ham PATH... --test-spam PATH... --test-ham PATH...

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "driver/saved_mail.h"
#include "header/message_header.h"
#include "header/parse_header.h"
#include "learn/learn.h"

namespace {

using Clock = std::chrono::steady_clock;
using Headers = std::vector<std::unique_ptr<MessageHeader>>;

void readHeaders(const std::string& path, Headers& into) {
  readSavedMail(
      path,
      [&](const SavedMessage& message) {
        auto header = std::make_unique<MessageHeader>();
        if (!message.header_too_long && parseHeader(message.header, header.get()) >= 0) {
          into.push_back(std::move(header));
        }
      },
      [](const std::string& error) { std::fprintf(stderr, "cannot read %s\n", error.c_str()); });
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of the process: on a machine shared with other work, steadier than wall time.
double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  Settings::instance().setVerbose(0);
  Headers sets[4];  // train spam, train ham, test spam, test ham
  int current = -1;
  const char* names[] = {"--train-spam", "--train-ham", "--test-spam", "--test-ham"};
  for (int i = 1; i < argc; ++i) {
    bool option = false;
    for (int k = 0; k < 4; ++k) {
      if (std::strcmp(argv[i], names[k]) == 0) {
        current = k;
        option = true;
      }
    }
    if (option) continue;
    if (current < 0) {
      std::fprintf(stderr, "usage: %s --train-spam PATH... --train-ham PATH... --test-spam "
                   "PATH... --test-ham PATH...\n", argv[0]);
      return 2;
    }
    readHeaders(argv[i], sets[current]);
  }
  for (int k = 0; k < 4; ++k) std::printf("%s=%zu\n", names[k] + 2, sets[k].size());

  learn::LearnedTokens tokens;
  const auto train_start = Clock::now();
  const double train_cpu_start = cpuSeconds();
  for (const auto& header : sets[0]) tokens.learn(*header, learn::Corpus::kSpam);
  for (const auto& header : sets[1]) tokens.learn(*header, learn::Corpus::kHam);
  tokens.prune(learn::kMaxTokens);
  const auto train_end = Clock::now();
  const double train_cpu = cpuSeconds() - train_cpu_start;
  const std::string file = tokens.format();
  std::printf("train_seconds=%.4f\n", seconds(train_end - train_start));
  std::printf("train_cpu_seconds=%.4f\n", train_cpu);
  std::printf("tokens=%zu\nfile_bytes=%zu\n", tokens.tokenCount(), file.size());

  std::vector<double> spam_p;
  std::vector<double> ham_p;
  // Scored a few times over, for a stable time per header.
  // Scored several times over; the fastest round counts, as the one least disturbed by other
  // work on the machine (the mean is printed too).
  constexpr int kRounds = 9;
  const size_t per_round = sets[2].size() + sets[3].size();
  double best_wall = 1e300;
  double best_cpu = 1e300;
  double all_wall = 0;
  double all_cpu = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    const double cpu_start = cpuSeconds();
    for (int k = 2; k < 4; ++k) {
      for (const auto& header : sets[k]) {
        const double p = tokens.judge(*header).p;
        if (round == 0) (k == 2 ? spam_p : ham_p).push_back(p);
      }
    }
    const double wall = seconds(Clock::now() - start);
    const double cpu = cpuSeconds() - cpu_start;
    best_wall = std::min(best_wall, wall);
    best_cpu = std::min(best_cpu, cpu);
    all_wall += wall;
    all_cpu += cpu;
  }
  const double scale = 1e6 / static_cast<double>(per_round);
  std::printf("score_us_per_header=%.2f\n", best_wall * scale);
  std::printf("score_cpu_us_per_header=%.2f\n", best_cpu * scale);
  std::printf("score_mean_us_per_header=%.2f\n", all_wall * scale / kRounds);
  std::printf("score_mean_cpu_us_per_header=%.2f\n", all_cpu * scale / kRounds);
  for (const double threshold : {0.5, 0.7, 0.8, 0.9, 0.95, 0.99}) {
    size_t false_positives = 0;
    size_t false_negatives = 0;
    for (const double p : ham_p) false_positives += p >= threshold ? 1 : 0;
    for (const double p : spam_p) false_negatives += p < threshold ? 1 : 0;
    std::printf("threshold=%.2f fp=%zu fn=%zu\n", threshold, false_positives, false_negatives);
  }
  return 0;
}
