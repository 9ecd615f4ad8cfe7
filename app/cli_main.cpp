// morvek-cli: harvests the directory site from the console into channels.dat, showing
// progress on stderr and, on request, every channel on stdout.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "check/check_command.h"
#include "fetch/fetch.h"
#include "fetch/fetch_ahead.h"
#include "harvest/update_run.h"
#include "text/text.h"
#include "ui/console/console.h"

namespace {

const char kProgramName[] = "morvek-cli";
const char kVersionText[] = "morvek-cli " MORVEK_VERSION "\n";
const char kUsage[] =
    "Usage: morvek-cli [--site URL] [--output FILE] [--jobs N] [--timeout S] [--details] [--quiet]\n"
    "                  [--help] [--version] [--check [--check-OPTION...]]\n"
    "       morvek-cli check [LIST] [OPTION...]   (see morvek-cli check --help)\n"
    "\n"
    "Reads the television directory site and writes its channels to channels.dat in the\n"
    "working directory, one line per channel.\n"
    "\n"
    "  --site URL     read the directory site at URL instead of the built-in one\n"
    "  --output FILE  write FILE instead of channels.dat\n"
    "  --jobs N       fetch up to N country pages at once, 1 to 16 (default 4)\n"
    "  --timeout S    give up on a silent server after S seconds, and end any page after\n"
    "                 10 times S with what has arrived (default 60)\n"
    "  --details      print every channel on stdout as it is found\n"
    "  --quiet        show errors only\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "  --check        check the saved list's streams; check options take the prefix --check-\n"
    "\n"
    "Ctrl-C stops the run; nothing is written then.\n";
const char kSlash[] = "/";

const int kExitOk = 0;
const int kExitSaveFailed = 1;
const int kExitUsage = 2;
const int kDefaultJobs = 4;
const int kWorkerExitMilliseconds = 500;
const int kLongestTimeoutSeconds = 86400;

struct CliOptions {
  std::string siteBase = kSiteBase;
  std::string outputPath = kChannelFileName;
  int jobs = kDefaultJobs;
  int timeoutSeconds = kDefaultFetchTimeoutSeconds;
  ConsoleOptions console;
  bool help = false;
  bool version = false;
  bool check = false;
  std::vector<std::string> checkArguments;
  std::string badArgument;  // set when the arguments are refused
};

// The value of "--name VALUE" or "--name=VALUE" at argv[*i], moving *i past it; nothing when
// argv[*i] is not that option. A missing value gives the empty text, which the caller refuses.
std::optional<std::string> OptionValue(int argc, char** argv, int* i, const std::string& name) {
  std::string arg = argv[*i];
  if (TextEquals(arg, name)) {
    if (*i + 1 >= argc) return std::string();
    ++*i;
    return std::string(argv[*i]);
  }
  std::string withEquals = Concat(name, "=");
  if (StartsWith(arg, withEquals.c_str())) {
    return RightPart(arg, TextLength(arg) - TextLength(withEquals));
  }
  return std::nullopt;
}

// The number written plainly in text, or 0 when it is not one of low to high.
int PlainNumber(const std::string& text, int low, int high) {
  int number = TextToNumber(text);
  bool plain = TextEquals(NumberToText(number), text);
  return plain && number >= low && number <= high ? number : 0;
}

// The options; badArgument names the first argument that is unknown or lacks its value.
CliOptions ParseArguments(int argc, char** argv) {
  CliOptions options;
  for (int i = 1; i < argc && options.badArgument.empty(); ++i) {
    std::string arg = argv[i];
    if (std::optional<std::string> site = OptionValue(argc, argv, &i, "--site")) {
      if (site->empty()) options.badArgument = arg;
      options.siteBase = TextEquals(RightPart(*site, 1), kSlash) ? *site : Concat(*site, kSlash);
    } else if (std::optional<std::string> output = OptionValue(argc, argv, &i, "--output")) {
      if (output->empty()) options.badArgument = arg;
      options.outputPath = *output;
    } else if (std::optional<std::string> jobs = OptionValue(argc, argv, &i, "--jobs")) {
      options.jobs = PlainNumber(*jobs, kMinJobs, kMaxJobs);
      if (options.jobs == 0) options.badArgument = arg;
    } else if (std::optional<std::string> timeout = OptionValue(argc, argv, &i, "--timeout")) {
      options.timeoutSeconds = PlainNumber(*timeout, 1, kLongestTimeoutSeconds);
      if (options.timeoutSeconds == 0) options.badArgument = arg;
    } else if (TextEquals(arg, "--details")) {
      options.console.details = true;
    } else if (TextEquals(arg, "--quiet")) {
      options.console.quiet = true;
    } else if (TextEquals(arg, "--help")) {
      options.help = true;
    } else if (TextEquals(arg, "--version")) {
      options.version = true;
    } else if (TextEquals(arg, "--check")) {
      options.check = true;
    } else if (TakeCheckOption(argc, argv, &i, options.checkArguments)) {
      if (!options.check) options.badArgument = arg;  // check options follow --check
    } else {
      options.badArgument = arg;
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && TextEquals(argv[1], "check")) {
    return RunCheckCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  CliOptions options = ParseArguments(argc, argv);
  if (!options.badArgument.empty()) {
    std::fputs(Concat(kProgramName, ": bad option or missing value: ", options.badArgument, "\n",
                      kUsage).c_str(), stderr);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (options.version) {
    std::fputs(kVersionText, stdout);
    return kExitOk;
  }

  const int checkRefused = options.check ? RefuseCheckOptions(options.checkArguments, options.outputPath) : 0;
  if (checkRefused != 0) return checkRefused;

  InstallStopHandlers();
  SetFetchTimeout(options.timeoutSeconds);
  HarvestState state;
  StartConsole(options.console, state);
  RunUpdate(state, options.siteBase, options.outputPath, options.jobs);
  FinishConsole();
  // After a stop, fetches still under way end within a moment; let them, for a tidy exit.
  WaitForFetchWorkers(kWorkerExitMilliseconds);
  // A stop signal wins over everything else. The run wrote no file unless the signal came
  // after the save had begun, when the file holds the complete list.
  if (StopExitCode() != 0) return StopExitCode();
  if (ConsoleMessageShown()) return kExitSaveFailed;
  if (options.check && state.channelCount > 0) {
    return CheckHarvestedList(state.channels, options.checkArguments, options.console.quiet);
  }
  return kExitOk;
}
