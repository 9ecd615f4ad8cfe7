// `morvek-cli check` and `morvek-cli --check`: the console side of the stream check, in
// morvek-check (check_command.cpp); morvek-cli hands over to it (app/check_handover*.cpp).
#pragma once

#include <string>
#include <vector>

#include "harvest/channel_list.h"
#include "cli/options.h"
#include "cli/outputs.h"

// The check's options. Every build of morvek-cli reads them, also after --check with the
// prefix below ("--check-jobs 16"), so that a new one needs only its line here.
inline const std::vector<OptionSpec> kCheckOptions = {
    {"jobs", 'j', true},   {"timeout", 't', true}, {"per-host", 0, true}, {"retry", 0, true},
    {"output", 'o', true}, {"m3u", 0, true},       {"dead", 0, true},     {"json", 0, true},
    {"user-agent", 0, true}, {"quiet", 'q', false}, {"pictures", 0, true}};
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
