// Umbrella header of the QM7 channel manager.
#ifndef QM7_CCM_H_
#define QM7_CCM_H_

#include "qm7/ccm/ccm_tools.h"
#include "qm7/ccm/channel.h"
#include "qm7/ccm/connect.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/error.h"
#include "qm7/ccm/flag.h"
#include "qm7/ccm/host.h"
#include "qm7/ccm/host_interface.h"
#include "qm7/ccm/ipcmsg.h"
#include "qm7/ccm/lock.h"
#include "qm7/ccm/msg.h"
#include "qm7/ccm/msgnr.h"
#include "qm7/ccm/queue.h"
#include "qm7/ccm/reader.h"
#include "qm7/ccm/recv.h"
#include "qm7/ccm/send.h"
#include "qm7/ccm/thread.h"
#include "qm7/ccm/writer.h"
#include "qm7/runtime.h"

#endif  // QM7_CCM_H_
