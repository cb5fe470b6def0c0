/* Every platform service the library calls. */
#ifndef IPAM_PLATFORM_H
#define IPAM_PLATFORM_H

#include <linux/tipc.h> /* struct sockaddr_tipc */

#include "cmf.h"
#include "dfm.h"
#include "gnl_func.h"
#include "gnl_sem.h"
#include "nlog.h"
#include "ps.h"
#include "scs.h"

#endif
