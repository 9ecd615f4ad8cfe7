// SPDX-License-Identifier: GPL-2.0-or-later
// `morvek-cli check` and `morvek-cli --check`: the console side of the stream check, in
// morvek-check (check_command.cpp); morvek-cli hands over to it (app/check_handover*.cpp).
#pragma once

#include <string>
#include <vector>

#include "check/check_plan.h"
#include "harvest/channel_list.h"
#include "cli/options.h"
#include "cli/outputs.h"

// Checks at once; the harvest's kMaxJobs counts pages fetched ahead, a lighter load.
const int kMaxCheckJobs = 64;
const int kMaxTimeoutSeconds = 3600;
const int kMaxPerHost = 64;

// The check's options. Every build of morvek-cli reads them, also after --check with the
// prefix below ("--check-jobs 16"), and serve takes some of them, so that a new one needs
// only its row here.
inline const std::vector<OptionSpec> kCheckOptions = {
    NumberOption("jobs", 'j', "N", "checks at once (default {default}, at most {high})", 1,
                 kMaxCheckJobs, CheckSettings{}.jobs),
    NumberOption("timeout", 't', "S",
                 "time for one check, from its start to its verdict (default {default})", 1,
                 kMaxTimeoutSeconds, CheckSettings{}.timeoutSeconds, "seconds"),
    NumberOption("per-host", 0, "N", "connections to one host at once (default {default})", 1,
                 kMaxPerHost, CheckSettings{}.perHost),
    NumberOption("retry", 0, "N",
                 "check the entries that are not live (error, no-media,\n"
                 "unreachable) again, up to N times, after the others (default {default},\n"
                 "at most {high})",
                 0, kMaxRetries, 0),
    TextOption("output", 'o', "FILE",
               "write the live entries, unchanged, to FILE (in LIST's format)"),
    TextOption("m3u", 0, "FILE",
               "write an M3U playlist of the live entries (- for stdout); a\n"
               "playlist's entries keep their own lines"),
    TextOption("dead", 0, "FILE",
               "write the entries that are not live, in LIST's format; in a\n"
               "playlist each after a comment line with its verdict"),
    TextOption("json", 0, "FILE",
               "write every row with its verdict and media details as JSON\n(- for stdout)"),
    TextOption("pictures", 0, "DIR",
               "keep a picture of each live entry with video as DIR/N.jpg, N\n"
               "its position in LIST (1 for the first); DIR's pictures of\n"
               "entries without one this time are removed"),
    TextOption("user-agent", 0, "TEXT", "the User-Agent of requests whose entry names none"),
    FlagOption("quiet", 'q', "show no progress and no summary (the verdicts still show)")};
const char kCheckOptionPrefix[] = "check-";

// Where the check lives in another program (morvek-cli, kept free of the media
// libraries, and morvek-check beside it), runs this command line there in this process's
// place. For the check (check true) it never returns; for the versions alone it returns
// when that program is not there. Elsewhere it returns at once.
void HandOverToCheckProgram(char** argv, bool check);

// The whole `check` command; args are the arguments after "check". Returns the exit code.
int RunCheckCommand(const std::vector<std::string>& args);

// For --check, before the harvest, whose outputs (the channel file, to be checked, first)
// are given, with the check's options as given ("check-jobs"): 0 when they are good and no
// two outputs share a file or stdout, else the exit code after saying why.
int RefuseCheckOptions(const std::vector<GivenOption>& options,
                       const std::vector<NamedOutput>& harvestOutputs);
// After a harvest with --check: checks the harvested list with those options; the exit code.
int CheckHarvestedList(ChannelList& list, const std::vector<GivenOption>& options, bool quiet);
// The check's libraries and their versions at run time, for --version; where this program
// has no check, why not.
std::string CheckLibraryVersions();
