// The runtime library's error record, and the two functions that fill it for account errors.
#ifndef QM7_RUNTIME_QM7_ERROR_H_
#define QM7_RUNTIME_QM7_ERROR_H_

// qm_result: outcome, 0 success, any other value failure (verifyHostDef uses 1 and -1).
// qm_errno: the system or resolver error number.
// qm_msgnr: number of the message text that describes the error.
// qm_msgInsert: the insert text for that message, always NUL-terminated.
typedef struct qm7_error {
  int qm_result;
  int qm_errno;
  int qm_msgnr;
  char qm_msgInsert[1024];
} qm7_error;

// Message numbers the library sets.
enum {
  QM7_MSG_PERMISSION_ERROR = 2000102,  // insert "getpwnam(%s)|%i - %s"
  QM7_MSG_PASSWORD_ERROR = 2001007,    // insert chosen by the caller
};

// Sets qm_msgnr 2000102 and qm_msgInsert "getpwnam(<user_name>)|<error_code> - <its text>", cut
// to 1023 characters. Other fields stay as they are. A null `error` is ignored; a null
// `user_name` is written as the empty name. Any thread; touches only `*error`.
void FillMessageOnPermissionError(qm7_error* error, int error_code, const char* user_name);

// Sets qm_msgnr 2001007 and qm_msgInsert from the format and its arguments, cut to 1023
// characters. `error_code` is not stored. A null `error` is ignored. Any thread.
void FillMessageOnPasswordError(qm7_error* error, int error_code, const char* msg_insert_format,
                                ...) __attribute__((format(printf, 3, 4)));

#endif  // QM7_RUNTIME_QM7_ERROR_H_
