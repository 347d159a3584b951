#include <getopt.h>
#include <gnu/libc-version.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "config/protocol_codes.h"
#include "config/settings.h"
#include "driver/driver.h"
#include "driver/modes.h"
#include "net/tls.h"
#include "text/escape.h"

const char* const program_version = "0.8.9";

namespace {

// Long options without a short form.
enum : int {
  kJudgeOption = 256,
  kCheckCommandsOption,
  kQuarantineOption,
  kReleaseOption,
  kProbeOption,
  kAccountOption,
  kLearnSpamOption,
  kLearnHamOption,
  kUnlearnSpamOption,
  kUnlearnHamOption,
  kStatsOption,
  kSinceOption,
  kRemoveOption,
  kDnsblOption
};

// A usage error: the message, then the pointer to --help; status -1 before anything is contacted.
[[noreturn]] void usageError(const std::string& message, const char* program) {
  std::fflush(stdout);
  std::fprintf(stderr, "pollensift: Error: %s\nTry '%s --help' for more information.\n",
               escapeControls(message).c_str(), program);
  std::fflush(stderr);
  std::exit(-1);
}

// The options that choose each mode, in the order of ModeRequest::Mode.
constexpr const char* kModeOptions[] = {
    "",           "--check",      "--judge",         "--quarantine",  "--release",
    "--probe",    "--learn-spam", "--learn-ham",     "--unlearn-spam", "--unlearn-ham"};

// --since's date, YYYY-MM-DD, as the start of that day in local time.
std::time_t sinceDate(const char* text, const char* program) {
  std::tm local{};
  const char* end = ::strptime(text, "%Y-%m-%d", &local);
  std::time_t when = -1;
  if (end != nullptr && *end == '\0' && std::strlen(text) == 10) {
    local.tm_isdst = -1;
    when = std::mktime(&local);
  }
  if (when <= 0) {
    usageError(std::string("--since takes a date: YYYY-MM-DD, not '") + text + "'.", program);
  }
  return when;
}

void chooseMode(ModeRequest::Mode mode, const char* program) {
  ModeRequest& request = modeRequest();
  if (request.mode != ModeRequest::Mode::kRun && request.mode != mode) {
    const auto first = static_cast<size_t>(std::min(request.mode, mode));
    const auto second = static_cast<size_t>(std::max(request.mode, mode));
    usageError(std::string(kModeOptions[first]) + " and " + kModeOptions[second] +
                   " cannot be combined.",
               program);
  }
  request.mode = mode;
}

void printHelp() {
  static const char* const kLines[] = {
      "pollensift filters e-mail and removes spam in one or many POP accounts.",
      "",
      "Usage: pollensift [OPTION]...",
      "       pollensift [OPTION]... --judge PATH...",
      "       pollensift [OPTION]... --quarantine",
      "       pollensift [OPTION]... --release FILE...",
      "       pollensift [OPTION]... --learn-spam|--learn-ham PATH...",
      "",
      "If a long option shows an argument as mandatory, then ",
      "it is mandatory for the equivalent short option also.",
      "",
      "Options:",
      "  -h, --help                 Display this help information",
      "  -L, --logfile=FILE         Specify logfile location",
      "  -M, --pollensiftrc=FILE    Specify rcfile location (default ~/.pollensiftrc)",
      "  -r, --return-value         Enable additional return values",
      "  -s, --skip-ssl-verify      Skip verification of SSL certificates (Do not use unless you "
      "know better!)",
      "  -t, --test                 Simulate deletes",
      "  -i, --ignore-time-stamps   Ignore invalid Message-ID time stamps (Do not use unless you "
      "know better!)",
      "  -v, --verbose=LEVEL        Specify level of verbosity (0 to 6, default 3)",
      "  -V, --version              Display version information",
      "  -j, --jobs=N               Check up to N accounts at the same time (default 1)",
      "  -n, --check                Check the rcfile and show what it configures; contact no server",
      "      --check-commands       The same, also running the rcfile's backquoted commands",
      "      --judge PATH...        Judge saved mail (a message file, a Maildir, an mbox file, or -",
      "                             for standard input) with the rules; contact no server",
      "      --quarantine           List the messages that QUARANTINE holds, newest first",
      "      --release FILE...      Write quarantined messages to standard output as an mbox",
      "      --remove               With --release: then take each released message out of the",
      "                             quarantine",
      "      --probe                Ask each server what it offers and suggest PROTOCOL, PORT",
      "                             and AUTH; send no user name or password",
      "      --account=USER@SERVER  With --probe or --quarantine: only that account",
      "      --since=DATE           With --quarantine: only messages held from DATE (YYYY-MM-DD)",
      "      --learn-spam PATH...   Learn saved mail (as --judge reads it) as spam, into LEARN_FILE",
      "      --learn-ham PATH...    Learn saved mail as wanted mail (ham), into LEARN_FILE",
      "      --unlearn-spam PATH... Take back messages learned as spam",
      "      --unlearn-ham PATH...  Take back messages learned as ham",
      "      --stats                With a run or --judge: end with how many messages each rule",
      "                             decided and matched, and the rules that never matched",
      "      --dnsbl                With --judge: ask the DNSBL lists of the rc file too",
      "",
      "See pollensift(1) and pollensiftrc(5) for the details.",
      "Report bugs to <pollensift-bugs@lists.pollensift.org>.",
  };
  for (const char* line : kLines) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}

// What this build can do, for a user asking what it supports before writing an rc file, and the
// rc file it reads by default.
void printBuildFeatures() {
  std::string methods = "USER/PASS, APOP";
  for (const char* mechanism : kAuthMechanisms) methods += std::string(", AUTH ") + mechanism;
  std::string protocols;
  for (const auto& protocol : kProtocolNames) {
    protocols += std::string(protocols.empty() ? "" : ", ") + protocol.first;
  }
  std::string rcfiles;
  const char* home = std::getenv("HOME");
  for (const char* name : Settings::kDefaultRcNames) {
    rcfiles += std::string(rcfiles.empty() ? "" : ", else ") + (home ? home : "$HOME") + "/" + name;
  }
  std::printf("TLS library: %s\n", tlsLibraryVersion().c_str());
  std::printf("Rule engine: RE2, and the C library's POSIX regex (glibc %s) for rules RE2 cannot "
              "take\n",
              gnu_get_libc_version());
  std::printf("Login methods: %s\n", methods.c_str());
  std::printf("Protocols: %s\n", protocols.c_str());
  std::printf("Default rcfile: %s\n", escapeControls(rcfiles).c_str());
}

void printVersion() {
  std::printf("pollensift %s\n", program_version);
  printBuildFeatures();
  std::printf("\n");
  std::puts("This is free software; see the source for copying conditions.");
  std::puts(
      "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.");
  std::puts("There is NO WARRANTY, to the extent permitted by law.");
  std::puts("");
  std::fflush(stdout);
}

// The verbosity is a whole number from 0 to 6: anything else (a word, a sign, an option taken as
// the level as in "-v -t") is refused rather than read as 0, which would run silently.
int verbosityLevel(const char* text, const char* program) {
  const std::string level(text);
  const size_t digits = level.find_first_not_of("0123456789");
  const size_t first = level.find_first_not_of('0');
  if (!level.empty() && digits == std::string::npos &&
      (first == std::string::npos || (first + 1 == level.size() && level[first] <= '6'))) {
    return first == std::string::npos ? 0 : level[first] - '0';
  }
  usageError("Invalid verbosity level '" + level + "': LEVEL is a whole number from 0 to 6.",
             program);
}

// The number of accounts checked at once, a whole number from 1 to the most allowed.
int jobCount(const char* text, const char* program) {
  const std::string jobs(text);
  if (!jobs.empty() && jobs.size() <= 3 && jobs.find_first_not_of("0123456789") == std::string::npos) {
    const int n = std::stoi(jobs);
    if (n >= 1 && n <= Settings::kMaxJobs) return n;
  }
  usageError("Invalid number of jobs '" + jobs + "': N is a whole number from 1 to " +
                 std::to_string(Settings::kMaxJobs) + ".",
             program);
}

// Words that are no options were once ignored, so "pollensift -t my.rc" filtered ~/.pollensiftrc.
void refuseOperands(int first, int argc, char** argv) {
  if (first >= argc) return;
  std::string words;
  for (int i = first; i < argc; ++i) words += std::string(i == first ? "'" : ", '") + argv[i] + "'";
  if (first + 1 == argc) {
    usageError("Unexpected argument " + words +
                   " (not an option); to read it as the rcfile, use -M " + words + ".",
               argv[0]);
  }
  usageError("Unexpected arguments " + words + " (not options); to read an rcfile, use -M FILE.",
             argv[0]);
}

}  // namespace

void parseOptions(int argc, char** argv) {
  static const option kLongOptions[] = {
      {"help", no_argument, nullptr, 'h'},
      {"verbose", required_argument, nullptr, 'v'},
      {"pollensiftrc", required_argument, nullptr, 'M'},
      {"logfile", required_argument, nullptr, 'L'},
      {"ignore-time-stamps", no_argument, nullptr, 'i'},
      {"version", no_argument, nullptr, 'V'},
      {"test", no_argument, nullptr, 't'},
      {"return-value", no_argument, nullptr, 'r'},
      {"skip-ssl-verify", no_argument, nullptr, 's'},
      {"check", no_argument, nullptr, 'n'},
      {"jobs", required_argument, nullptr, 'j'},
      {"check-commands", no_argument, nullptr, kCheckCommandsOption},
      {"judge", no_argument, nullptr, kJudgeOption},
      {"quarantine", no_argument, nullptr, kQuarantineOption},
      {"release", no_argument, nullptr, kReleaseOption},
      {"probe", no_argument, nullptr, kProbeOption},
      {"account", required_argument, nullptr, kAccountOption},
      {"learn-spam", no_argument, nullptr, kLearnSpamOption},
      {"learn-ham", no_argument, nullptr, kLearnHamOption},
      {"unlearn-spam", no_argument, nullptr, kUnlearnSpamOption},
      {"unlearn-ham", no_argument, nullptr, kUnlearnHamOption},
      {"stats", no_argument, nullptr, kStatsOption},
      {"since", required_argument, nullptr, kSinceOption},
      {"remove", no_argument, nullptr, kRemoveOption},
      {"dnsbl", no_argument, nullptr, kDnsblOption},
      {nullptr, 0, nullptr, 0},
  };
  Settings& settings = Settings::instance();
  int c;
  while ((c = getopt_long(argc, argv, "hL:M:Vv:tirsnj:", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'h':
        printHelp();
        std::exit(0);
      case 'V':
        printVersion();
        std::exit(0);
      case 'L':
        settings.setLogfile(optarg);
        break;
      case 'M':
        settings.setPollensiftrc(optarg);
        break;
      case 'r':
        settings.setReturnValue(true);
        break;
      case 's':
        settings.setSkipSslVerify(true);
        break;
      case 't':
        settings.setTest("yes");
        break;
      case 'i':
        settings.setIgnoreTimeStamps(true);
        break;
      case 'v':
        settings.setVerbose(verbosityLevel(optarg, argv[0]));
        break;
      case 'j':
        settings.setJobs(jobCount(optarg, argv[0]));
        break;
      case 'n':
        chooseMode(ModeRequest::Mode::kCheck, argv[0]);
        break;
      case kCheckCommandsOption:
        chooseMode(ModeRequest::Mode::kCheck, argv[0]);
        modeRequest().run_commands = true;
        break;
      case kJudgeOption:
        chooseMode(ModeRequest::Mode::kJudge, argv[0]);
        break;
      case kQuarantineOption:
        chooseMode(ModeRequest::Mode::kQuarantine, argv[0]);
        break;
      case kReleaseOption:
        chooseMode(ModeRequest::Mode::kRelease, argv[0]);
        break;
      case kProbeOption:
        chooseMode(ModeRequest::Mode::kProbe, argv[0]);
        break;
      case kAccountOption:
        modeRequest().probe_account = optarg;
        break;
      case kLearnSpamOption:
      case kLearnHamOption:
      case kUnlearnSpamOption:
      case kUnlearnHamOption:
        // The four options are in the order of their modes.
        chooseMode(static_cast<ModeRequest::Mode>(
                       static_cast<int>(ModeRequest::Mode::kLearnSpam) + (c - kLearnSpamOption)),
                   argv[0]);
        break;
      case kStatsOption:
        modeRequest().stats = true;
        break;
      case kSinceOption:
        modeRequest().since = sinceDate(optarg, argv[0]);
        break;
      case kRemoveOption:
        modeRequest().remove_released = true;
        break;
      case kDnsblOption:
        modeRequest().dnsbl = true;
        break;
      default:
        std::fprintf(stderr, "Try '%s --help' for more information.\n", argv[0]);
        std::fflush(stderr);
        std::exit(-1);
    }
  }
  // The words that are no options are the operands of --judge and --release, and an error
  // otherwise.
  ModeRequest& request = modeRequest();
  if (request.mode == ModeRequest::Mode::kRelease) {
    request.release_files.assign(argv + optind, argv + argc);
    if (request.release_files.empty()) {
      usageError("--release needs at least one FILE: a message file that --quarantine lists.",
                 argv[0]);
    }
  } else if (request.mode == ModeRequest::Mode::kJudge ||
             request.mode >= ModeRequest::Mode::kLearnSpam) {
    request.judge_paths.assign(argv + optind, argv + argc);
    if (request.judge_paths.empty()) {
      usageError(std::string(kModeOptions[static_cast<size_t>(request.mode)]) +
                     " needs at least one PATH: a message file, a Maildir, an mbox file, or - for "
                     "standard input.",
                 argv[0]);
    }
  } else {
    refuseOperands(optind, argc, argv);
  }
  if (request.since != 0 && request.mode != ModeRequest::Mode::kQuarantine) {
    usageError("--since is for --quarantine, which is missing.", argv[0]);
  }
  if (request.remove_released && request.mode != ModeRequest::Mode::kRelease) {
    usageError("--remove takes released messages out of the quarantine: it goes with --release.",
               argv[0]);
  }
  if (!request.probe_account.empty() && request.mode != ModeRequest::Mode::kProbe &&
      request.mode != ModeRequest::Mode::kQuarantine) {
    usageError("--account names the account for --probe, which is missing.", argv[0]);
  }
  if (request.stats && request.mode != ModeRequest::Mode::kRun &&
      request.mode != ModeRequest::Mode::kJudge) {
    usageError(std::string("--stats counts what the rules do in a run or with --judge, not with ") +
                   kModeOptions[static_cast<size_t>(request.mode)] + ".",
               argv[0]);
  }
  if (request.dnsbl && request.mode != ModeRequest::Mode::kJudge) {
    usageError("--dnsbl asks the block lists with --judge; a run asks them anyway.", argv[0]);
  }
}

ModeRequest& modeRequest() {
  static ModeRequest request;
  return request;
}
