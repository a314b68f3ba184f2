// Umbrella header of the QM7 shared runtime library.
#ifndef QM7_RUNTIME_H_
#define QM7_RUNTIME_H_

#include "qm7/runtime/atomic_int.h"
#include "qm7/runtime/byteorder.h"
#include "qm7/runtime/codetab.h"
#include "qm7/runtime/ctools.h"
#include "qm7/runtime/datetime.h"
#include "qm7/runtime/des.h"
#include "qm7/runtime/error_text.h"
#include "qm7/runtime/fdset.h"
#include "qm7/runtime/host_lookup.h"
#include "qm7/runtime/maxim.h"
#include "qm7/runtime/memdump.h"
#include "qm7/runtime/memory.h"
#include "qm7/runtime/protocol_header.h"
#include "qm7/runtime/qm7_error.h"
#include "qm7/runtime/strings.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

#endif  // QM7_RUNTIME_H_
