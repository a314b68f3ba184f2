// Encoding and decoding of the "MELD    " records at the offsets of records.h. Every integer
// is written byte by byte, so the result does not depend on the host's struct layout or
// alignment; "LE" fields go through the record-order conversions of the runtime.
#include "qm7/messenger/records.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "qm7/messenger/context.h"
#include "qm7/runtime/byteorder.h"
#include "qm7/runtime/text.h"

int CreateQmHeadm(QM_HEADM* o_head, const char* msgTyp, int Mandant, int UsrIdnr) {
  memset(o_head, 0, sizeof(*o_head));
  if (msgTyp != nullptr) memcpy(o_head->msg_typ, msgTyp, strnlen(msgTyp, sizeof(o_head->msg_typ)));
  memcpy(o_head->version, qm7::meld::kVersion, sizeof(o_head->version));
  o_head->i2Mandant = static_cast<uint16_t>(Mandant);
  o_head->i4UsrIdNr = static_cast<uint32_t>(UsrIdnr);
  return 0;
}

namespace qm7::meld {
namespace {

void put_le32(unsigned char* at, uint32_t value) {
  uint32_t v = iCnvU32(value);
  memcpy(at, &v, sizeof(v));
}

void put_le16(unsigned char* at, uint16_t value) {
  uint16_t v = iCnvU16(value);
  memcpy(at, &v, sizeof(v));
}

void put_host16(unsigned char* at, uint16_t value) { memcpy(at, &value, sizeof(value)); }
void put_host32(unsigned char* at, uint32_t value) { memcpy(at, &value, sizeof(value)); }

uint32_t get_le32(const unsigned char* at) {
  uint32_t v;
  memcpy(&v, at, sizeof(v));
  return iCnvU32(v);
}

uint16_t get_le16(const unsigned char* at) {
  uint16_t v;
  memcpy(&v, at, sizeof(v));
  return iCnvU16(v);
}

uint16_t get_host16(const unsigned char* at) {
  uint16_t v;
  memcpy(&v, at, sizeof(v));
  return v;
}

uint32_t get_host32(const unsigned char* at) {
  uint32_t v;
  memcpy(&v, at, sizeof(v));
  return v;
}

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

// QM_HEADM and msgnr 0 at the start of the record.
void put_header(unsigned char* record, const report_fields& fields) {
  QM_HEADM head;
  CreateQmHeadm(&head, kMsgTyp, fields.client, 0);
  memcpy(record, &head, sizeof(head));
  put_host32(record + kMsgnrOffset, 0);
}

void put_version_block(unsigned char* at) {
  memset(at, ' ', kMdVersionWidth);
  memcpy(at, QM7_MESSENGER_VERSION, sizeof(QM7_MESSENGER_VERSION) - 1);
  put_host16(at + kMdMajorRel, kMessengerVersionMajor);
  put_host16(at + kMdMinorRel, kMessengerVersionMinor);
  put_host16(at + kMdPatchRel, kMessengerVersionPatch);
  memset(at + kFillerRel, ' ', 2);
}

void put_timestamp(unsigned char* at, const DATUM_BUFF& now) {
  const int16_t parts[] = {now.utc_jahr, now.utc_mon, now.utc_tag,
                           now.utc_std,  now.utc_min, now.utc_sek};
  for (int16_t part : parts) {
    put_le16(at, static_cast<uint16_t>(part));
    at += 2;
  }
  put_le32(at, 0);  // ns
}

// Copies at most `width` bytes of `text` and leaves the rest of the (zeroed) field as it is.
void put_padded(unsigned char* at, std::size_t width, const char* text) {
  memcpy(at, text, strnlen(text, width));
}

std::string text_field(const unsigned char* at, std::size_t width) {
  const char* begin = reinterpret_cast<const char*>(at);
  return std::string(begin, strnlen(begin, width));
}

timestamp_fields get_timestamp(const unsigned char* at) {
  timestamp_fields t;
  int* parts[] = {&t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second};
  for (int* part : parts) {
    *part = static_cast<int16_t>(get_le16(at));
    at += 2;
  }
  return t;
}

void get_version_block(const unsigned char* at, decoded_record* out) {
  std::string text(reinterpret_cast<const char*>(at), kMdVersionWidth);
  text.erase(text.find_last_not_of(' ') + 1);
  out->md_version = text.substr(0, text.find('\0'));
  out->md_major = get_host16(at + kMdMajorRel);
  out->md_minor = get_host16(at + kMdMinorRel);
  out->md_patch = get_host16(at + kMdPatchRel);
}

}  // namespace

process_ids current_process_ids() {
  process_ids ids;
  ids.pid = getpid();
  ids.ppid = getppid();
  ids.pgrp = getpgrp();
  ids.sid = getsid(ids.pid);  // the session of this process, without asking for its ID again
  return ids;
}

std::size_t build_job_event_record(std::span<unsigned char> out, const report_fields& fields,
                                   const DATUM_BUFF& now, const process_ids& ids) {
  if (out.size() < job::kLength) return 0;
  unsigned char* r = out.data();
  memset(r, 0, job::kLength);
  put_header(r, fields);
  put_le32(r + job::kJobNr, static_cast<uint32_t>(fields.jobnri));
  r[job::kStatus] = static_cast<unsigned char>(fields.status);
  // Blanks first: the bounded copy ends the text with a NUL and leaves the blanks behind it.
  memset(r + job::kInfoText, ' ', job::kInfoTextWidth);
  StringCopy(reinterpret_cast<char*>(r + job::kInfoText), job::kInfoTextWidth,
             or_empty(fields.info_text));
  put_version_block(r + job::kMdVersion);
  put_le32(r + job::kRetCode, static_cast<uint32_t>(fields.reti));
  put_le32(r + job::kCpuTime, 0);
  put_timestamp(r + job::kSTime, now);
  put_le32(r + job::kJtime, static_cast<uint32_t>(now.dt_time));
  put_le32(r + job::kPid, static_cast<uint32_t>(ids.pid));
  put_le32(r + job::kPpid, static_cast<uint32_t>(ids.ppid));
  put_le32(r + job::kPgrp, static_cast<uint32_t>(ids.pgrp));
  put_le32(r + job::kSid, static_cast<uint32_t>(ids.sid));
  return job::kLength;
}

std::size_t build_output_file_record(std::span<unsigned char> out, const report_fields& fields,
                                     const DATUM_BUFF& now) {
  if (out.size() < output::kLength) return 0;
  unsigned char* r = out.data();
  memset(r, 0, output::kLength);
  put_header(r, fields);
  put_le32(r + output::kJobNr, static_cast<uint32_t>(fields.jobnri));
  r[output::kStatus] = 'O';
  put_version_block(r + output::kMdVersion);
  put_timestamp(r + output::kCurrTime, now);
  put_le32(r + output::kCurrTimeT, static_cast<uint32_t>(now.dt_time));
  r[output::kLoginCheck] = static_cast<unsigned char>(fields.output_login);
  // The field holds 512 bytes, but the message ends inside it: only what lies within the
  // message length is written, so nothing outside the record is touched.
  put_padded(r + output::kFileName, output::kFileNameCarried, or_empty(fields.output_file));
  return output::kLength;
}

std::size_t build_variable_record(std::span<unsigned char> out, const report_fields& fields,
                                  const DATUM_BUFF& now) {
  const char* name = or_empty(fields.var_name);
  const bool has_variable = name[0] != '\0';
  const std::size_t length = has_variable ? variable::kLengthWith : variable::kLengthWithout;
  if (out.size() < length) return 0;
  unsigned char* r = out.data();
  memset(r, 0, length);
  put_header(r, fields);
  put_le32(r + variable::kJobNr, static_cast<uint32_t>(fields.jobnri));
  r[variable::kStatus] = 'V';
  put_version_block(r + variable::kMdVersion);
  memset(r + variable::kInfoText, ' ', variable::kInfoTextWidth);
  put_timestamp(r + variable::kCurrTime, now);
  put_le32(r + variable::kCurrTimeT, static_cast<uint32_t>(now.dt_time));
  if (has_variable) {
    put_host32(r + variable::kVariableDist, variable::kDistance);
    put_host32(r + variable::kVariableLen, variable::kStatusValueSize);
    put_padded(r + variable::kName, variable::kNameWidth - 1, name);
    put_padded(r + variable::kValue, variable::kValueWidth - 1, or_empty(fields.var_value));
    r[variable::kType] = static_cast<unsigned char>(fields.var_type);
  }
  return length;
}

bool decode_record(std::span<const unsigned char> in, decoded_record* out, std::string* why) {
  auto fail = [why](const char* reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  const unsigned char* r = in.data();
  const std::size_t len = in.size();
  if (len < kBodyOffset + 5) return fail("shorter than a record header");
  if (memcmp(r, kMsgTyp, 8) != 0) return fail("message type is not \"MELD    \"");

  decoded_record d;
  d.msg_typ.assign(reinterpret_cast<const char*>(r), 8);
  d.version.assign(reinterpret_cast<const char*>(r + 8), 2);
  d.client = get_host16(r + offsetof(QM_HEADM, i2Mandant));
  d.usr_id = get_host32(r + offsetof(QM_HEADM, i4UsrIdNr));
  d.msgnr = static_cast<int32_t>(get_host32(r + kMsgnrOffset));
  d.job_nr = static_cast<int32_t>(get_le32(r + kBodyOffset));
  d.status = static_cast<char>(r[kBodyOffset + 4]);

  switch (d.status) {
    case 'O': {
      if (len != output::kLength) return fail("output-file record is not 276 bytes long");
      d.kind = record_kind::output_file;
      get_version_block(r + output::kMdVersion, &d);
      d.time = get_timestamp(r + output::kCurrTime);
      d.time_t_value = get_le32(r + output::kCurrTimeT);
      d.login_check = static_cast<char>(r[output::kLoginCheck]);
      d.file_name = text_field(r + output::kFileName, output::kFileNameCarried);
      d.file_name_terminated = d.file_name.size() < output::kFileNameCarried;
      break;
    }
    case 'V': {
      if (len < variable::kLengthWithout) return fail("variable record shorter than 296 bytes");
      d.kind = record_kind::variable;
      get_version_block(r + variable::kMdVersion, &d);
      d.time = get_timestamp(r + variable::kCurrTime);
      d.time_t_value = get_le32(r + variable::kCurrTimeT);
      const uint32_t dist = get_host32(r + variable::kVariableDist);
      const uint32_t vlen = get_host32(r + variable::kVariableLen);
      if (len != variable::kLengthWithout + vlen) {
        return fail("variable record length does not match variable_len + 296");
      }
      if (vlen != 0) {
        if (dist != variable::kDistance || vlen != variable::kStatusValueSize) {
          return fail("variable_dist/variable_len are not 108/1225");
        }
        d.has_variable = true;
        d.var_name = text_field(r + variable::kName, variable::kNameWidth);
        d.var_value = text_field(r + variable::kValue, variable::kValueWidth);
        d.var_type = static_cast<char>(r[variable::kType]);
      }
      break;
    }
    case 'E':
    case 'R': {
      if (len != job::kLength) return fail("job-event record is not 276 bytes long");
      d.kind = record_kind::job_event;
      d.info_text = text_field(r + job::kInfoText, job::kInfoTextWidth);
      get_version_block(r + job::kMdVersion, &d);
      d.ret_code = static_cast<int32_t>(get_le32(r + job::kRetCode));
      d.time = get_timestamp(r + job::kSTime);
      d.time_t_value = get_le32(r + job::kJtime);
      d.pid = static_cast<int32_t>(get_le32(r + job::kPid));
      d.ppid = static_cast<int32_t>(get_le32(r + job::kPpid));
      d.pgrp = static_cast<int32_t>(get_le32(r + job::kPgrp));
      d.sid = static_cast<int32_t>(get_le32(r + job::kSid));
      break;
    }
    default:
      return fail("unknown status byte");
  }
  *out = std::move(d);
  return true;
}

}  // namespace qm7::meld
