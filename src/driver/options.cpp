#include <getopt.h>

#include <cstdio>
#include <cstdlib>

#include "config/settings.h"
#include "driver/driver.h"

const char* const program_version = "0.8.9";

namespace {

void printHelp() {
  static const char* const kLines[] = {
      "pollensift filters e-mail and removes spam in one or many POP accounts.",
      "",
      "Usage: pollensift [OPTION]...",
      "",
      "If a long option shows an argument as mandatory, then ",
      "it is mandatory for the equivalent short option also.",
      "",
      "Options:",
      "  -h, --help                 Display this help information",
      "  -L, --logfile=FILE         Specify logfile location",
      "  -M, --pollensiftrc=FILE    Specify rcfile location",
      "  -r, --return-value         Enable additional return values",
      "  -s, --skip-ssl-verify      Skip verification of SSL certificates (Do not use unless you "
      "know better!)",
      "  -t, --test                 Simulate deletes",
      "  -i, --ignore-time-stamps   Ignore invalid Message-ID time stamps (Do not use unless you "
      "know better!)",
      "  -v, --verbose=LEVEL        Specify level of verbosity",
      "  -V, --version              Display version information",
      "",
      "Report bugs to <pollensift-bugs@lists.pollensift.org>.",
  };
  for (const char* line : kLines) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}

void printVersion() {
  std::printf("pollensift %s\n\n", program_version);
  std::puts("This is free software; see the source for copying conditions.");
  std::puts("");
  std::fflush(stdout);
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
      {nullptr, 0, nullptr, 0},
  };
  Settings& settings = Settings::instance();
  int c;
  while ((c = getopt_long(argc, argv, "hL:M:Vv:tirs", kLongOptions, nullptr)) != -1) {
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
        settings.setVerbose(std::atoi(optarg));
        break;
      default:
        std::fprintf(stderr, "Try '%s --help' for more information.\n", argv[0]);
        std::fflush(stderr);
        std::exit(-1);
    }
  }
}
