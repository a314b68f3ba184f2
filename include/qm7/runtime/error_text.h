// The system's text for an error number, fetched in a thread-safe way. Every error insert of
// the library and the channel manager ("%d(%s)", "%i - %s") takes its text from here.
#ifndef QM7_RUNTIME_ERROR_TEXT_H_
#define QM7_RUNTIME_ERROR_TEXT_H_

#include <cstddef>

namespace qm7 {

// Returns the text for `errnum`: either a static text or one written into `buf` of `len`
// bytes. Never null. Safe to call from any thread.
const char* error_text(int errnum, char* buf, std::size_t len);

}  // namespace qm7

#endif  // QM7_RUNTIME_ERROR_TEXT_H_
