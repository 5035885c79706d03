// STUB (station-link helper replaces)
#include "platform/netbios.h"
UCHAR Netbios(NCB* ncb) { return ncb->ncb_retcode = NRC_ENVNOTDEF; }
