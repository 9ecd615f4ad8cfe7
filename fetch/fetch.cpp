// The platform-independent chunk loop of a page fetch.
#include "fetch/fetch.h"

#include "text/text.h"

const FetchTransport* g_fetchTransport = nullptr;

PageBuffer ReadPage(const std::string& address, const FetchTransport& transport,
                    const std::atomic<bool>* stop) {
  PageBuffer page;
  std::string chunk = SpaceText(kChunkSize);
  FetchConnection* connection = transport.open(address);
  bool readFailed = false;
  if (connection != nullptr) {
    while (stop == nullptr || !stop->load()) {
      int count = transport.read(connection, &chunk[0], kChunkSize);
      readFailed = count < 0;
      if (count <= 0) break;
      page.bytes.append(TextFromBytes(chunk.data(), count < kChunkSize ? count : kChunkSize));
    }
  }
  if (transport.outcome != nullptr) page.outcome = transport.outcome(connection);
  if (page.outcome.error.empty() && (connection == nullptr || readFailed)) {
    page.outcome.error = connection == nullptr ? kNotOpenedError : kReadError;
  }
  transport.close(connection);
  return page;
}

const FetchTransport& CurrentTransport() {
  return g_fetchTransport ? *g_fetchTransport : PlatformTransport();
}

PageBuffer FetchPage(const std::string& address) { return ReadPage(address, CurrentTransport()); }
