// Umbrella header of the QM7 channel manager.
#ifndef QM7_CCM_H_
#define QM7_CCM_H_

#include "qm7/runtime.h"
#include "qm7/ccm/error.h"
#include "qm7/ccm/host.h"

#endif  // QM7_CCM_H_
