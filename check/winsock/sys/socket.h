// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows build's sockets: Winsock's headers under the POSIX name (see ../netdb.h).
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
