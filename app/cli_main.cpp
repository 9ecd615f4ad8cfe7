// morvek-cli: harvests the directory site from the console into channels.dat, showing
// progress on stderr and, on request, every channel on stdout.
#include <cstdio>
#include <optional>
#include <string>

#include "fetch/fetch_ahead.h"
#include "harvest/update_run.h"
#include "text/text.h"
#include "ui/console/console.h"

namespace {

const char kProgramName[] = "morvek-cli";
const char kVersionText[] = "morvek-cli " MORVEK_VERSION "\n";
const char kUsage[] =
    "Usage: morvek-cli [--site URL] [--output FILE] [--details] [--quiet] [--help] [--version]\n"
    "\n"
    "Reads the television directory site and writes its channels to channels.dat in the\n"
    "working directory, one line per channel.\n"
    "\n"
    "  --site URL     read the directory site at URL instead of the built-in one\n"
    "  --output FILE  write FILE instead of channels.dat\n"
    "  --jobs N       fetch up to N country pages at once, 1 to 16 (default 4)\n"
    "  --details      print every channel on stdout as it is found\n"
    "  --quiet        show errors only\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "Ctrl-C stops the run; nothing is written then.\n";
const char kSlash[] = "/";

const int kExitOk = 0;
const int kExitSaveFailed = 1;
const int kExitUsage = 2;
const int kDefaultJobs = 4;
const int kWorkerExitMilliseconds = 500;

struct CliOptions {
  std::string siteBase = kSiteBase;
  std::string outputPath = kChannelFileName;
  int jobs = kDefaultJobs;
  ConsoleOptions console;
  bool help = false;
  bool version = false;
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

// The number of jobs written plainly in text, or 0 when it is not one of 1 to 16.
int JobCount(const std::string& text) {
  int jobs = TextToNumber(text);
  bool plain = TextEquals(NumberToText(jobs), text);
  return plain && jobs >= kMinJobs && jobs <= kMaxJobs ? jobs : 0;
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
      options.jobs = JobCount(*jobs);
      if (options.jobs == 0) options.badArgument = arg;
    } else if (TextEquals(arg, "--details")) {
      options.console.details = true;
    } else if (TextEquals(arg, "--quiet")) {
      options.console.quiet = true;
    } else if (TextEquals(arg, "--help")) {
      options.help = true;
    } else if (TextEquals(arg, "--version")) {
      options.version = true;
    } else {
      options.badArgument = arg;
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
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

  InstallStopHandlers();
  HarvestState state;
  StartConsole(options.console, state);
  RunUpdate(state, options.siteBase, options.outputPath, options.jobs);
  FinishConsole();
  // After a stop, fetches still under way end within a moment; let them, for a tidy exit.
  WaitForFetchWorkers(kWorkerExitMilliseconds);
  // A stop signal wins over everything else. The run wrote no file unless the signal came
  // after the save had begun, when the file holds the complete list.
  if (StopExitCode() != 0) return StopExitCode();
  return ConsoleMessageShown() ? kExitSaveFailed : kExitOk;
}
