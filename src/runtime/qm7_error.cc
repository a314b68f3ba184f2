// Fills the runtime library's error record for the two account errors that have their own
// message numbers. The insert is always cut to the record's field and terminated.
#include "qm7/runtime/qm7_error.h"

#include <cstdarg>
#include <cstdio>

#include "qm7/runtime/error_text.h"

void FillMessageOnPermissionError(qm7_error* error, int error_code, const char* user_name) {
  if (error == nullptr) return;
  char buf[256];
  error->qm_msgnr = QM7_MSG_PERMISSION_ERROR;
  std::snprintf(error->qm_msgInsert, sizeof error->qm_msgInsert, "getpwnam(%s)|%i - %s",
                user_name != nullptr ? user_name : "", error_code,
                qm7::error_text(error_code, buf, sizeof buf));
}

void FillMessageOnPasswordError(qm7_error* error, int error_code, const char* msg_insert_format,
                                ...) {
  (void)error_code;
  if (error == nullptr) return;
  error->qm_msgnr = QM7_MSG_PASSWORD_ERROR;
  error->qm_msgInsert[0] = '\0';
  if (msg_insert_format == nullptr) return;
  va_list args;
  va_start(args, msg_insert_format);
  std::vsnprintf(error->qm_msgInsert, sizeof error->qm_msgInsert, msg_insert_format, args);
  va_end(args);
}
