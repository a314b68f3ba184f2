// processCmd: runs the CMD argument's command through the shell after replacing its encrypted
// tokens. The rebuilt command holds decrypted secrets, so it is never traced, printed or logged,
// its work area is cleared before it is given back, and the process dumps no core from the
// moment it decrypts (a crash or a signal while the shell runs would otherwise write the
// secrets into a core file).

#include "qm7/messenger/command.h"

#include <string.h>  // explicit_bzero
#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_tokens.h"
#include "qm7/runtime/memory.h"
#include "qm7/runtime/trace.h"

int processCmd(PCX* pcx) {
  static const char kFn[] = "processCmd";
  QM7_TRACE("%s(cmd=%s) -->", kFn, pcx->pCmdBuffer);

  // Only this process: the shell that execs gets the system's setting again.
  prctl(PR_SET_DUMPABLE, 0);
  std::size_t len = strnlen(pcx->pCmdBuffer, sizeof(pcx->pCmdBuffer));
  // Four spare zero bytes behind the command let the marker test read 4 bytes anywhere.
  char* pBuff1 = static_cast<char*>(MemAllocRetArea(len + 4));
  char* pBuff2 = static_cast<char*>(MemAllocRetArea(len + 4));
  std::memcpy(pBuff1, pcx->pCmdBuffer, len);
  qm7::detail::rebuild_command(pBuff1, len, pBuff2, len + 4);

  // Whatever was written to standard output so far (trace lines) comes before the command's
  // own output.
  std::fflush(stdout);
  int result = system(pBuff2);
  if (errno != 0 && trc_level()) {
    int err = errno;
    QM7_TRACE("%s:      error '%d/%s', result %i", kFn, err, std::strerror(err), result);
  }

  explicit_bzero(pBuff2, len + 4);
  FreeMallocArea(reinterpret_cast<void**>(&pBuff1), "pBuff1");
  FreeMallocArea(reinterpret_cast<void**>(&pBuff2), "pBuff2");
  QM7_TRACE("%s <-- (result=%d)", kFn, result);
  return result;
}
