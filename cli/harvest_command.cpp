// SPDX-License-Identifier: GPL-2.0-or-later
// The harvest command of morvek-cli: reads the directory site into channels.dat, showing
// progress on stderr and, on request, every channel on stdout, a playlist and JSON.
#include "cli/harvest_command.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "check/check_command.h"
#include "cli/options.h"
#include "cli/outputs.h"
#include "cli/program.h"
#include "fetch/fetch.h"
#include "fetch/fetch_ahead.h"
#include "harvest/channel_export.h"
#include "harvest/channel_file.h"
#include "harvest/country_choice.h"
#include "harvest/index_parser.h"
#include "harvest/update_run.h"
#include "text/text.h"
#include "text/utf8.h"
#include "ui/console/console.h"

namespace {

const char kVersionText[] = "morvek-cli " MORVEK_VERSION "\n";
const char kWindowsProxyRefusal[] =
    "--proxy and --noproxy are not available in the Windows build, which connects directly";
// The help text around the option lines.
const char kUsageHead[] =
    "Usage: morvek-cli [OPTION]... [--check [--check-OPTION]...]\n"
    "       morvek-cli check [LIST] [OPTION]...   (see morvek-cli check --help)\n"
    "       morvek-cli serve [OPTION]...          (see morvek-cli serve --help)\n"
    "\n"
    "Reads the television directory site and writes its channels to channels.dat in the\n"
    "working directory, one line per channel.\n"
    "\n";
const char kUsageTail[] =
    "\n"
    "Short options group (-qo FILE); --opt=value works for every value option; after --\n"
    "every argument is an operand.\n"
    "Ctrl-C stops the run; nothing is written then.\n"
    "\n"
    "Exit codes:\n"
    "  0    done: the list was written\n"
    "  1    a file, or stdout, could not be written, or memory ran out\n"
    "  2    bad options, an output that cannot be written (a folder, a device, a missing\n"
    "       folder), two outputs on one file or on stdout, or a country that the index lacks\n"
    "  3    no channel (or, for --list-countries, no country) was found; nothing was written\n"
    "  4    the stream check (check, --check) needs morvek-check, which is missing\n"
    "  129  hung up\n"
    "  130  stopped by Ctrl-C\n"
    "  141  stdout was closed before the end (for example by head)\n"
    "  143  terminated\n";
const size_t kHelpColumn = 22;
const int kDefaultJobs = 4;
const int kLongestTimeoutSeconds = 86400;
const char kProxyOption[] = "proxy";
const char kNoProxyOption[] = "noproxy";

// The harvest's options; after --check the check's own follow with the prefix "check-".
const std::vector<OptionSpec> kHarvestOptions = {
    TextOption("site", 0, "URL",
               "read the directory site at URL instead of the built-in one,\n" MORVEK_SITE_BASE),
    TextOption("output", 'o', "FILE",
               "write FILE instead of channels.dat; the null device writes no\nchannel file"),
    TextOption("m3u", 0, "FILE", "also write an M3U playlist of the channels with a stream"),
    TextOption("json", 0, "FILE",
               "also write the channels as a JSON array\n"
               "(FILE - for --m3u and --json writes to stdout)"),
    NumberOption("jobs", 'j', "N",
                 "fetch up to N country pages at once, {low} to {high} (default {default})",
                 kMinJobs, kMaxJobs, kDefaultJobs),
    NumberOption("timeout", 't', "S",
                 "give up on a silent server after S seconds, and end any page\n"
                 "after 10 times S with what has arrived (default {default})",
                 1, kLongestTimeoutSeconds, kDefaultFetchTimeoutSeconds, "seconds"),
    TextOption("country", 0, "NAME",
               "read only this country's page; repeat it for more (any case); a\n"
               "name that several entries share reads them all"),
    FlagOption("list-countries", 0, "print the index's countries, one a line, and write nothing"),
    TextOption(kProxyOption, 0, "URL",
               "fetch through this proxy (default: http_proxy, https_proxy)"),
    TextOption(kNoProxyOption, 0, "LIST",
               "reach these comma-separated hosts directly, * for all\n(default: no_proxy)"),
    FlagOption("details", 0, "print every channel on stdout as it is found"),
    FlagOption("quiet", 'q', "show errors and warnings only"),
    FlagOption("verbose", 'v', "add a line per page read"),
    kCommandFlags[0],
    kCommandFlags[1],
    FlagOption("check", 0,
               "check the saved list's streams; check options take the\nprefix --check-")};

const char kTryHelp[] = " (try --help)\n";
const char kSlash[] = "/";
const char kCountriesOutput[] = "the countries";

const char kPlaylistExport[] = "the playlist (--m3u)";
const char kJsonExport[] = "the JSON list (--json)";
const int kWorkerExitMilliseconds = 500;

struct CliOptions {
  std::string siteBase = kSiteBase;
  std::string outputPath = kChannelFileName;
  int jobs = kDefaultJobs;
  int timeoutSeconds = kDefaultFetchTimeoutSeconds;
  ConsoleOptions console;
  std::string m3uPath;
  std::string jsonPath;
  std::string proxy;                        // --proxy; empty for the environment's
  std::string noProxy;                      // --noproxy; empty for the environment's
  std::vector<std::string> countries;       // --country, in the order given
  bool check = false;                       // check the saved list's streams afterwards
  std::vector<GivenOption> checkArguments;  // the --check-OPTION forms, as given
  bool listCountries = false;               // print the index's countries instead of harvesting
  bool help = false;
  bool version = false;
  std::string refusal;  // why the arguments are refused; empty when they are good
};

// The options that take one text, and where it goes.
struct TextField {
  const char* name;
  std::string CliOptions::*field;
};
const TextField kTextFields[] = {
    {"site", &CliOptions::siteBase}, {"output", &CliOptions::outputPath},
    {"m3u", &CliOptions::m3uPath},   {"json", &CliOptions::jsonPath},
    {"proxy", &CliOptions::proxy},   {"noproxy", &CliOptions::noProxy},
};
// The options that take a number, and where it goes.
struct NumberField {
  const char* name;
  int CliOptions::*field;
};
const NumberField kNumberFields[] = {{"jobs", &CliOptions::jobs},
                                     {"timeout", &CliOptions::timeoutSeconds}};

// The rows that --help shows: a build that connects directly reads the proxy options only to
// refuse them.
std::vector<OptionSpec> ShownOptions() {
  std::vector<OptionSpec> shown;
  for (const OptionSpec& option : kHarvestOptions) {
    const bool proxy =
        TextEquals(option.name, kProxyOption) || TextEquals(option.name, kNoProxyOption);
    if (!proxy || FetchTakesProxy()) shown.push_back(option);
  }
  return shown;
}

// Every output of the harvest: the channel file, the exports, the channel blocks on stdout.
// One on the null device is written nowhere and is left out.
std::vector<NamedOutput> HarvestOutputs(const CliOptions& options) {
  const NamedOutput named[] = {{"--output", options.outputPath},
                               {"--details", options.console.details ? kStandardOutputName : ""},
                               {"--m3u", options.m3uPath},
                               {"--json", options.jsonPath}};
  std::vector<NamedOutput> outputs;
  for (const NamedOutput& output : named) {
    if (!output.path.empty() && !IsNullDevice(output.path)) outputs.push_back(output);
  }
  return outputs;
}

// The site of an address (ending in "/") that names the index page or its folder, with a
// note on stderr of the site taken; else siteBase as given.
std::string SiteOf(const std::string& siteBase, bool quiet) {
  for (const std::string& tail : {Concat(kIndexPath, kSlash), std::string(kCountryPathPrefix)}) {
    const std::string ending = Concat(kSlash, tail);
    const int kept = TextLength(siteBase) - TextLength(ending) + 1;
    if (kept <= 1 || !TextEquals(RightPart(siteBase, TextLength(ending)), ending)) continue;
    const std::string site = LeftPart(siteBase, kept);
    if (!quiet) {
      std::fputs(Concat(kProgramPrefix, "reading the site ", site, ", the part of --site before ",
                        kCountryPathPrefix, "\n")
                     .c_str(),
                 stderr);
    }
    return site;
  }
  return siteBase;
}

void CheckCombinations(CliOptions& options) {
  if (!options.refusal.empty()) return;
  if (options.console.quiet && options.console.verbose) {
    options.refusal = "--quiet and --verbose exclude each other";
  } else if (TextEquals(options.outputPath, kStandardOutputName)) {
    options.refusal = "--output needs a file name";
  } else {
    options.refusal = OutputClash(HarvestOutputs(options));
  }
}

// Puts one option into options; refusal says when its value is bad.
void TakeOption(const GivenOption& given, CliOptions& options) {
  const std::string& name = given.name;
  for (const TextField& option : kTextFields) {
    if (TextEquals(name, option.name)) {
      options.*(option.field) = given.value;
      return;
    }
  }
  for (const NumberField& option : kNumberFields) {
    if (!TextEquals(name, option.name)) continue;
    const OptionNumber number = ReadNumber(given, *FindOption(kHarvestOptions, name));
    options.*(option.field) = number.number;
    options.refusal = number.refusal;
    return;
  }
  if (TextEquals(name, "country")) {
    options.countries.push_back(given.value);
  } else if (TextEquals(name, "details")) {
    options.console.details = true;
  } else if (TextEquals(name, "quiet")) {
    options.console.quiet = true;
  } else if (TextEquals(name, "verbose")) {
    options.console.verbose = true;
  } else if (TextEquals(name, "help")) {
    options.help = true;
  } else if (TextEquals(name, "version")) {
    options.version = true;
  } else if (TextEquals(name, "check")) {
    options.check = true;
  } else if (TextEquals(name, "list-countries")) {
    options.listCountries = true;
  } else {
    options.checkArguments.push_back(given);
  }
}

// The options; refusal says what is wrong with the first argument that is.
CliOptions ParseArguments(const std::vector<std::string>& args) {
  std::vector<OptionSpec> table = kHarvestOptions;
  const std::vector<OptionSpec> checkOptions = PrefixedOptions(kCheckOptions, kCheckOptionPrefix);
  table.insert(table.end(), checkOptions.begin(), checkOptions.end());
  const GivenArguments given = ReadArguments(args, table);
  CliOptions options;
  for (size_t i = 0; i < given.options.size() && options.refusal.empty(); ++i) {
    TakeOption(given.options[i], options);
  }
  if (options.refusal.empty()) options.refusal = given.refusal;
  if (options.refusal.empty() && !options.check && !options.checkArguments.empty()) {
    options.refusal = Concat("--", options.checkArguments.front().name, " needs --check");
  }
  if (options.refusal.empty() && !given.operands.empty()) {
    const std::string& operand = given.operands.front();
    const std::string command = DidYouMean(operand, {kCheckCommand, kServeCommand}, "");
    options.refusal = command.empty() ? Concat("unexpected argument ", operand)
                                      : Concat("unknown command ", operand, command);
  }
  if (!TextEquals(RightPart(options.siteBase, 1), kSlash)) {
    options.siteBase = Concat(options.siteBase, kSlash);
  }
  options.console.outputPath = options.outputPath;
  CheckCombinations(options);
  return options;
}

// Writes one extra output in pieces: to stdout for "-", nowhere for the null device, else
// through the safe file replacement. A failure names the export, its path and the reason;
// false when the file could not be replaced (a failed stdout stops the program instead).
bool WriteExport(ConsoleObserver& console, const std::string& what, const std::string& path,
                 const ContentWriter& write) {
  if (IsNullDevice(path)) return true;
  if (TextEquals(path, kStandardOutputName)) {
    ProgressLine* live = &console.LiveLine();
    const bool written = write([&what, live](const char* bytes, size_t count) {
      return WriteStdout(std::string(bytes, count), what, false, live);
    });
    if (written) WriteStdout(std::string(), what, true, live);
    return true;
  }
  const ReplaceOutcome outcome = ReplaceFile(path, write);
  if (!outcome.saved) console.ShowExportFailure(what, outcome.problem);
  return outcome.saved;
}

// Prints the index's country labels, one a line, in UTF-8; 3 when the index names none.
int ListCountries(const std::string& siteBase) {
  const std::string address = Concat(siteBase, kIndexPath);
  const PageBuffer page = FetchPage(address);
  const std::vector<std::string> labels = CountryLabels(IndexCountryLinks(page.bytes, siteBase));
  if (labels.empty()) {
    std::string why = page.outcome.error;
    if (why.empty() && page.outcome.status != 0)
      why = Concat("HTTP ", NumberToText(page.outcome.status));
    if (why.empty()) why = "no country links";
    std::fputs(Concat(kProgramPrefix, "the index page ", Utf8ToTerminalText(address),
                      " names no country: ", why, "\n")
                   .c_str(),
               stderr);
    return kExitNothingFound;
  }
  std::string text;
  for (const std::string& label : labels) text += Concat(Cp1252ToTerminalText(label), "\n");
  WriteStdout(text, kCountriesOutput, true);
  return StopExitCode();
}

// Harvests into state and writes the exports; the exit code.
int Harvest(const CliOptions& options, HarvestState& state, ConsoleObserver& console) {
  const HarvestSettings settings{options.siteBase, options.console.outputPath, options.jobs,
                                 options.countries};
  const HarvestResult result = RunUpdate(state, settings, console, ConsoleStopToken());
  // The playlist and the JSON go with a complete list only.
  bool exported = true;
  if (result.done && !options.m3uPath.empty()) {
    exported =
        WriteExport(console, kPlaylistExport, options.m3uPath,
                    [&state](const ByteSink& sink) { return WriteM3u(state.channels, sink); });
  }
  if (result.done && !options.jsonPath.empty()) {
    const bool json = WriteExport(
        console, kJsonExport, options.jsonPath,
        [&state](const ByteSink& sink) { return WriteChannelJson(state.channels, sink); });
    exported = exported && json;
  }
  console.Finish(result);
  // After a stop, fetches still under way end within a moment; let them, for a tidy exit.
  WaitForFetchWorkers(kWorkerExitMilliseconds);
  // A stop wins over everything else. The run wrote no file unless the stop came after the
  // save had begun, when the file holds the complete list.
  if (StopExitCode() != 0) return StopExitCode();
  if (result.countryRefused) return kExitUsage;
  if (result.saveFailed || !exported) return kExitWriteFailed;
  if (result.channels == 0) return kExitNothingFound;
  if (options.check) {
    return CheckHarvestedList(state.channels, options.checkArguments, options.console.quiet);
  }
  return kExitOk;
}

}  // namespace

int RunHarvestCommand(int argc, char** argv) {
  CliOptions options = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!options.refusal.empty()) {
    std::fputs(Concat(kProgramPrefix, options.refusal, kTryHelp).c_str(), stderr);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(Concat(kUsageHead, OptionHelp(ShownOptions(), kHelpColumn), kUsageTail).c_str(),
               stdout);
    return kExitOk;
  }
  // Where morvek-check holds the check, it runs a harvest with --check, and it answers
  // --version, naming the check's libraries.
  if (options.check || options.version) HandOverToCheckProgram(argv, options.check);
  if (options.version) {
    std::fputs(Concat(kVersionText, "fetch: ", FetchLibraryVersion(),
                      "\ncheck: ", CheckLibraryVersions(), "\n")
                   .c_str(),
               stdout);
    return kExitOk;
  }
  if (!SetFetchProxy(options.proxy, options.noProxy)) {
    std::fputs(Concat(kProgramPrefix, kWindowsProxyRefusal, "\n").c_str(), stderr);
    return kExitUsage;
  }

  options.siteBase = SiteOf(options.siteBase, options.console.quiet);
  SetFetchTimeout(options.timeoutSeconds);
  if (options.listCountries) return ListCountries(options.siteBase);
  // What a save would refuse is refused before any page is fetched; the old list is then read
  // only from a regular file.
  const std::string targetRefusal = OutputTargetRefusal(HarvestOutputs(options));
  if (!targetRefusal.empty()) {
    std::fputs(Concat(kProgramPrefix, targetRefusal, "\n").c_str(), stderr);
    return kExitUsage;
  }
  const int checkRefused =
      options.check ? RefuseCheckOptions(options.checkArguments, HarvestOutputs(options)) : 0;
  if (checkRefused != 0) return checkRefused;
  // The null device as the channel file: the run writes none.
  if (IsNullDevice(options.outputPath)) options.console.outputPath.clear();

  PrepareHeapForLargeLists();
  InstallStopHandlers();
  // The run's state lives until the process ends, which frees it at once: taking 20,000
  // channel records apart one by one would only add to the wait.
  static HarvestState* const runState = new HarvestState;
  HarvestState& state = *runState;
  ConsoleObserver console(options.console, state);
  try {
    return Harvest(options, state, console);
  } catch (const std::bad_alloc&) {
    console.ShowLine(kOutOfMemory);  // past the live line, as every other line
    return kExitWriteFailed;
  }
}
