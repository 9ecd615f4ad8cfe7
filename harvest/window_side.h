// The six operations through which the update run reaches the outside. Each program links
// one implementation: the Win32 window, the console, or a recording fake in the tests.
#pragma once

#include <cstdint>
#include <string>

#include "harvest/channel_list.h"

const int kMessageStyleExclamation = 48;  // MB_OK | MB_ICONEXCLAMATION

// Takes at most one pending event without waiting; true when the run must stop.
bool ServiceRunEvent();
void ShowChannel(const ChannelRecord& record);
void ShowChannelCount(int32_t count);
void ShowRunFinished();
// word is " ABORTED" or " DONE".
void ShowFinalStatus(int32_t count, const std::string& word);
int ShowMessage(const std::string& title, const std::string& text, int style);
