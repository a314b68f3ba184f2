// Uses the installed headers and libraries: copies a string with the runtime's bounded copy and
// opens and closes a channel manager context. Prints "consumer ok" and exits 0 when both work.
#include <cstdio>
#include <cstring>

#include "qm7/ccm.h"
#include "qm7/runtime.h"

int main() {
  char buf[6];
  _StringCopy(buf, sizeof buf, "installed", __FILE__, __LINE__);
  if (std::strcmp(buf, "insta") != 0) {
    std::fprintf(stderr, "consumer: _StringCopy gave \"%s\"\n", buf);
    return 1;
  }

  ccm_host_context_t host{};
  ccm_context_t* ccm = nullptr;
  ccm_error_t err{};
  if (ccm_open(&host, &ccm, &err) != 0 || ccm == nullptr) {
    std::fprintf(stderr, "consumer: ccm_open failed\n");
    return 1;
  }
  if (ccm_close(ccm, &err) != 0) {
    std::fprintf(stderr, "consumer: ccm_close failed\n");
    return 1;
  }
  std::puts("consumer ok");
  return 0;
}
