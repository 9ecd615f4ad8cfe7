// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows builds read pages over WinINet with a direct connection: no proxy, and no
// library version beside the system's own.
#include "fetch/fetch.h"

bool SetFetchProxy(const std::string& proxy, const std::string& noProxy) {
  return proxy.empty() && noProxy.empty();
}

std::string FetchLibraryVersion() { return "WinINet"; }
