// Umbrella header of the QM7 messenger command library.
#ifndef QM7_MESSENGER_H_
#define QM7_MESSENGER_H_

#include "qm7/ccm.h"
#include "qm7/messenger/codepage.h"
#include "qm7/messenger/command.h"
#include "qm7/messenger/context.h"
#include "qm7/messenger/exchange.h"
#include "qm7/messenger/records.h"
#include "qm7/messenger/report.h"
#include "qm7/messenger/run.h"
#include "qm7/messenger/send.h"

#endif  // QM7_MESSENGER_H_
