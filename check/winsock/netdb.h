// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows build's name lookup: Winsock has getaddrinfo and getnameinfo under the POSIX
// names, in its own headers. The media library's network start-up has begun Winsock.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
