// `morvek-cli check` and `morvek-cli --check`: the console side of the stream check. The
// Linux build has it (check_command.cpp); the Windows build says it is not there.
#pragma once

#include <string>
#include <vector>

#include "harvest/channel_list.h"
#include "ui/console/console.h"

// The prefix that marks a check option after --check, e.g. "--check-jobs 16".
const char kCheckOptionPrefix[] = "--check-";

// Where the check lives in another program (the Linux morvek-cli, kept free of the media
// libraries, and morvek-check beside it), runs this command line there in this process's
// place when it asks for the check; returns in every other case.
void HandOverToCheckProgram(int argc, char** argv);

// The whole `check` command; args are the arguments after "check". Returns the exit code.
int RunCheckCommand(const std::vector<std::string>& args);

// True for a check option that takes a value ("--jobs", or "--check-jobs" after a harvest).
bool CheckOptionTakesValue(const std::string& name);
// For --check: takes the "--check-NAME[=VALUE]" option at argv[*i], and the value after it,
// into args as "--NAME" and its value, moving *i past them. False for any other argument.
bool TakeCheckOption(int argc, char** argv, int* i, std::vector<std::string>& args);
// For --check, before the harvest, whose outputs (the channel file, to be checked, first)
// are given: 0 when args are good and no two outputs share a file or stdout, else the exit
// code after saying why.
int RefuseCheckOptions(const std::vector<std::string>& args,
                       const std::vector<NamedOutput>& harvestOutputs);
// After a harvest with --check: checks the harvested list with args; the exit code.
int CheckHarvestedList(ChannelList& list, const std::vector<std::string>& args, bool quiet);
