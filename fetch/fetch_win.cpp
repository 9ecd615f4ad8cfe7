// Page transport. (Placeholder until the real transport lands.)
#include "fetch/fetch.h"

namespace {
FetchConnection* OpenNothing(const std::string&) { return nullptr; }
int ReadNothing(FetchConnection*, char*, int) { return -1; }
void CloseNothing(FetchConnection*) {}
const FetchTransport kTransport = {OpenNothing, ReadNothing, CloseNothing};
}  // namespace

const FetchTransport& PlatformTransport() { return kTransport; }
void CancelFetches() {}
void ResumeFetches() {}
