// SPDX-License-Identifier: GPL-2.0-or-later
/* A name lookup that stalls, for the check's tests: loaded with LD_PRELOAD, it holds every
   lookup of a name ending in ".stall.invalid" for 5 s and then fails, as a resolver that gets
   no answer does; every other name goes to the C library's own lookup. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <string.h>
#include <unistd.h>

static const char kStalledSuffix[] = ".stall.invalid";
static const unsigned kStallSeconds = 5;

typedef int (*Lookup)(const char*, const char*, const struct addrinfo*, struct addrinfo**);

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                struct addrinfo** result) {
  const size_t length = node == NULL ? 0 : strlen(node);
  const size_t suffix = sizeof kStalledSuffix - 1;
  if (length >= suffix && strcmp(node + length - suffix, kStalledSuffix) == 0) {
    sleep(kStallSeconds);
    return EAI_AGAIN;
  }
  Lookup real = (Lookup)dlsym(RTLD_NEXT, "getaddrinfo");
  return real(node, service, hints, result);
}
