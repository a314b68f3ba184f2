// The records the messenger sends to its agent: the 16-byte QM_HEADM and the three "MELD    "
// records (job event, output file, registered variable). Building a record is kept apart from
// sending it, so the bytes can be checked without a network and the agent simulator decodes
// with the very offsets the messenger encodes with. Pure functions; any thread.
#ifndef QM7_MESSENGER_RECORDS_H_
#define QM7_MESSENGER_RECORDS_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "qm7/runtime/datetime.h"

// QM_HEADM, 16 bytes at the start of every agent record:
//
//   offset width field      content
//        0     8 msg_typ    "MELD    " (no terminator)
//        8     2 version    "03"
//       10     2 i2Mandant  client number, unsigned 16-bit, host order
//       12     4 i4UsrIdNr  user ID, unsigned 32-bit, host order (0)
typedef struct _qm_headm {
  char msg_typ[8];
  char version[2];
  uint16_t i2Mandant;
  uint32_t i4UsrIdNr;
} QM_HEADM;
static_assert(sizeof(QM_HEADM) == 16);
static_assert(offsetof(QM_HEADM, msg_typ) == 0);
static_assert(offsetof(QM_HEADM, version) == 8);
static_assert(offsetof(QM_HEADM, i2Mandant) == 10);
static_assert(offsetof(QM_HEADM, i4UsrIdNr) == 12);

// Zeroes the 16 bytes, copies the first 8 characters of `msgTyp` (fewer when it is shorter), sets
// version "03", i2Mandant to `Mandant` (low 16 bits) and i4UsrIdNr to `UsrIdnr`. Returns 0.
int CreateQmHeadm(QM_HEADM* o_head, const char* msgTyp, int Mandant, int UsrIdnr);

namespace qm7::meld {

// Every record: QM_HEADM at 0, msgnr (int, host order, always 0) at 16, the body from 20.
// "LE" fields are written in record order (least significant byte first) on every host; the
// others (i2Mandant, i4UsrIdNr, mdMajor/Minor/Patch, variable_dist, variable_len) in host order.
inline constexpr char kMsgTyp[] = "MELD    ";
inline constexpr char kVersion[] = "03";
inline constexpr std::size_t kMsgnrOffset = 16;
inline constexpr std::size_t kBodyOffset = 20;

// MSG_TYPE_TIMESTAMP, 16 bytes: UTC year (4 digits), month, day, hour, minute, second, each a
// 16-bit LE field, then ns (4 bytes, 0).
inline constexpr std::size_t kTimestampSize = 16;

// Version block shared by the three bodies: md_version (32: the 17-character version text and
// 15 blanks), one padding byte, mdMajor, mdMinor, mdPatch (16-bit host order), filler (two
// blanks), two padding bytes. Offsets relative to md_version.
inline constexpr std::size_t kMdVersionWidth = 32;
inline constexpr std::size_t kMdMajorRel = 33;
inline constexpr std::size_t kMdMinorRel = 35;
inline constexpr std::size_t kMdPatchRel = 37;
inline constexpr std::size_t kFillerRel = 39;

// JP_EXMLDJ, a job event; message length 276.
//   20 jobNr (LE) | 24 status ('E' or 'R') | 25 infoText[32] (text cut to 31, NUL, blanks)
//   57 md_version block | 100 retCode (LE) | 104 cpuTime (0) | 108 sTime (timestamp)
//   124 jtime (LE) | 128 pid | 132 ppid | 136 pgrp (LE each) | 140 pgid (0) | 144 sid (LE)
//   148 uid, euid, gid, egid (0) | 164 ucpu, scpu, ioCount (0) | 176..275 zero
namespace job {
inline constexpr std::size_t kJobNr = 20;
inline constexpr std::size_t kStatus = 24;
inline constexpr std::size_t kInfoText = 25;
inline constexpr std::size_t kInfoTextWidth = 32;
inline constexpr std::size_t kMdVersion = 57;
inline constexpr std::size_t kRetCode = 100;
inline constexpr std::size_t kCpuTime = 104;
inline constexpr std::size_t kSTime = 108;
inline constexpr std::size_t kJtime = 124;
inline constexpr std::size_t kPid = 128;
inline constexpr std::size_t kPpid = 132;
inline constexpr std::size_t kPgrp = 136;
inline constexpr std::size_t kPgid = 140;
inline constexpr std::size_t kSid = 144;
inline constexpr std::size_t kLength = 276;
}  // namespace job

// JP_EXMLDO, an output file; message length 276 although the record reaches 20 + 584 bytes,
// so only the first 187 bytes of fileName travel: a path of 187 characters or more arrives
// without terminator, a longer one cut.
//   20 jobNr (LE) | 24 status 'O' | 25 md_version block | 68 currTime (timestamp)
//   84 currTime_t (LE) | 88 loginCheck ('Y' or 'N') | 89 fileName (zero-padded)
namespace output {
inline constexpr std::size_t kJobNr = 20;
inline constexpr std::size_t kStatus = 24;
inline constexpr std::size_t kMdVersion = 25;
inline constexpr std::size_t kCurrTime = 68;
inline constexpr std::size_t kCurrTimeT = 84;
inline constexpr std::size_t kLoginCheck = 88;
inline constexpr std::size_t kFileName = 89;
inline constexpr std::size_t kFileNameWidth = 512;
inline constexpr std::size_t kLength = 276;
inline constexpr std::size_t kFileNameCarried = kLength - kFileName;  // 187
}  // namespace output

// JP_EXMLDV, a registered variable; message length variable_len + 296.
//   20 jobNr (LE) | 24 status 'V' | 25 infoText (32 blanks) | 57 md_version block
//   100 currTime (timestamp) | 116 currTime_t (LE) | 120 variable_dist (108 or 0)
//   124 variable_len (1225 or 0) | 128 MSG_TYPE_STATUS_VALUE when a name is given:
//   name[200] (at most 199 characters, zero-padded), value[1024] (at most 1023), type[1]
namespace variable {
inline constexpr std::size_t kJobNr = 20;
inline constexpr std::size_t kStatus = 24;
inline constexpr std::size_t kInfoText = 25;
inline constexpr std::size_t kInfoTextWidth = 32;
inline constexpr std::size_t kMdVersion = 57;
inline constexpr std::size_t kCurrTime = 100;
inline constexpr std::size_t kCurrTimeT = 116;
inline constexpr std::size_t kVariableDist = 120;
inline constexpr std::size_t kVariableLen = 124;
inline constexpr std::size_t kStatusValue = 128;
inline constexpr std::size_t kNameWidth = 200;
inline constexpr std::size_t kValueWidth = 1024;
inline constexpr std::size_t kStatusValueSize = kNameWidth + kValueWidth + 1;  // 1225
inline constexpr std::size_t kName = kStatusValue;
inline constexpr std::size_t kValue = kName + kNameWidth;
inline constexpr std::size_t kType = kValue + kValueWidth;
inline constexpr std::size_t kDistance = kStatusValue - kBodyOffset;  // 108
inline constexpr std::size_t kLengthWithout = 296;
inline constexpr std::size_t kLengthWith = kLengthWithout + kStatusValueSize;  // 1521
static_assert(kStatusValueSize == 1225 && kDistance == 108 && kLengthWith == 1521);
}  // namespace variable

// The largest record: a variable record with its variable.
inline constexpr std::size_t kMaxRecordLength = variable::kLengthWith;

// What a record reports, as the messenger's context holds it. Texts are NUL-terminated and
// may be null (taken as empty); they are cut at the field sizes, never rejected.
struct report_fields {
  int16_t client = 0;
  int jobnri = 0;
  char status = 'R';  // 'E' for a job end, else 'R'
  const char* info_text = nullptr;
  int reti = 0;
  char output_login = 'N';
  const char* output_file = nullptr;
  const char* var_name = nullptr;
  const char* var_value = nullptr;
  char var_type = 0;
};

// The process identities a job event carries.
struct process_ids {
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t pgrp = 0;
  pid_t sid = 0;
};

// The messenger's own identities: getpid, getppid, getpgrp, getsid(getpid()).
process_ids current_process_ids();

// Builders. Each zeroes the whole record in `out` first (a pooled buffer keeps old bytes), then
// writes its fields, and returns the record length: 276 for a job event and an output file,
// 296 or 1521 for a variable. Returns 0 and writes nothing when `out` is shorter than that.
// `now` supplies dt_time and the UTC fields.
std::size_t build_job_event_record(std::span<unsigned char> out, const report_fields& fields,
                                   const DATUM_BUFF& now, const process_ids& ids);
std::size_t build_output_file_record(std::span<unsigned char> out, const report_fields& fields,
                                     const DATUM_BUFF& now);
std::size_t build_variable_record(std::span<unsigned char> out, const report_fields& fields,
                                  const DATUM_BUFF& now);

enum class record_kind { job_event, output_file, variable };

// A timestamp as it travels (UTC).
struct timestamp_fields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// A decoded record. Texts are taken up to their first NUL and the end of their field; for
// infoText the blanks behind the terminator are not part of the text.
struct decoded_record {
  record_kind kind = record_kind::job_event;
  std::string msg_typ;  // 8 characters
  std::string version;  // 2 characters
  unsigned client = 0;
  unsigned usr_id = 0;
  int msgnr = 0;
  int32_t job_nr = 0;
  char status = 0;
  std::string info_text;
  std::string md_version;  // trailing blanks removed
  int md_major = 0, md_minor = 0, md_patch = 0;
  timestamp_fields time;
  int64_t time_t_value = 0;  // jtime / currTime_t (32 bits on the wire)
  // job event
  int32_t ret_code = 0;
  int32_t pid = 0, ppid = 0, pgrp = 0, sid = 0;
  // output file
  char login_check = 0;
  std::string file_name;
  bool file_name_terminated = true;  // false when all carried bytes are text (may be cut)
  // variable
  bool has_variable = false;
  std::string var_name;
  std::string var_value;
  char var_type = 0;
};

// Decodes a record of `in.size()` bytes (the message length). Returns true and fills `out`, or
// false with a short reason in `why` when the bytes are not a "MELD    " record of a known
// status and a fitting length. Never reads outside `in`.
bool decode_record(std::span<const unsigned char> in, decoded_record* out, std::string* why);

}  // namespace qm7::meld

#endif  // QM7_MESSENGER_RECORDS_H_
