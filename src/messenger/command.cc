// processCmd: runs the CMD argument's command through the shell after replacing its encrypted
// tokens. The rebuilt command holds decrypted secrets, so it is never traced, printed or logged,
// its work area is cleared before it is given back, and the process dumps no core from the
// moment it decrypts (a crash or a signal while the shell runs would otherwise write the
// secrets into a core file). A command with a token that does not decrypt to a whole, plain
// text is not run: it would run with other text than the job's author encrypted.

#include "qm7/messenger/command.h"

#include <string.h>  // explicit_bzero
#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_tokens.h"
#include "printable.h"
#include "qm7/runtime/memory.h"
#include "qm7/runtime/trace.h"

namespace {

const char* fault_words(qm7::detail::token_fault fault) {
  switch (fault) {
    case qm7::detail::token_fault::no_end:
      return "does not decrypt to a whole text (cut short or altered)";
    case qm7::detail::token_fault::data_behind:
      return "has blocks behind the end of its text (altered, or two tokens run together)";
    case qm7::detail::token_fault::control_bytes:
      return "decrypts to a text with control characters (altered)";
    case qm7::detail::token_fault::none:
      break;
  }
  return "";
}

}  // namespace

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
  qm7::detail::refused_token refused;
  qm7::detail::rebuild_command(pBuff1, len, pBuff2, len + 4, &refused);
  if (refused.fault != qm7::detail::token_fault::none) {
    // Named by its place only: its text may be most of a secret.
    qm7::detail::tell_operator(
        pcx->program_name,
        qm7::detail::printf_string("command not run: token %d at character %zu %s", refused.number,
                                   refused.offset + 1, fault_words(refused.fault)));
    FreeMallocArea(reinterpret_cast<void**>(&pBuff1), "pBuff1");
    FreeMallocArea(reinterpret_cast<void**>(&pBuff2), "pBuff2");
    QM7_TRACE("%s <-- (token %d refused)", kFn, refused.number);
    return -1;
  }

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
