// Filling the caller's error record: the one road by which a failing operation of the channel
// manager reports msgnr and insert. A null record is tolerated, so internal callers that do not
// care may pass none. xerrno is never filled (the error number travels in the insert).
#ifndef QM7_SRC_CCM_ERROR_UTIL_H_
#define QM7_SRC_CCM_ERROR_UTIL_H_

#include "qm7/ccm/channel.h"
#include "qm7/ccm/error.h"

namespace qm7::ccm {

// Sets `msgnr` and the insert formatted from `format` (cut to 1023 characters).
void set_error(ccm_error_t* ccmerr, int msgnr, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Sets 3301 with the insert "%s/%s(%d)" of `tag`, `module` and `line`.
void set_no_memory(ccm_error_t* ccmerr, const char* tag, const char* module, int line);

// Records on the channel the failure of a receive with errno `err` (2002036, the insert
// "<name>|<err>(<text>),S(<socket>(ID=<ID>))|", logged when the channel is destroyed) and deletes
// the channel. Also for a connect that failed, timed out or reached its own socket, which end the
// channel as a receive would.
void fail_receive(ccm_context_t* ccm, ccm_channel_t* ch, int err);

// Closes a descriptor once (a retry after EINTR could close a reused number); keeps errno.
void close_fd(int fd);

}  // namespace qm7::ccm

#endif  // QM7_SRC_CCM_ERROR_UTIL_H_
