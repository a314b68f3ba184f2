// The error record that a caller hands to every channel-manager operation that can fail.
// An operation that fails fills it and returns -1 (or null); on success it is left untouched.
#ifndef QM7_CCM_ERROR_H_
#define QM7_CCM_ERROR_H_

// xerrno: the errno (or resolver code) of the failure, 0 if none applies.
// msgnr: the log message number that describes the failure.
// msginsert: the insert text of that message, NUL-terminated, fields separated by "|".
typedef struct ccm_error {
  int xerrno;
  int msgnr;
  char msginsert[1024];
} ccm_error_t;

#endif  // QM7_CCM_ERROR_H_
