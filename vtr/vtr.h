// The platform runtime: everything the protocol, the service client and the API stand on.
#pragma once

#include "vtr/vtr_error.h"
#include "vtr/vtr_event.h"
#include "vtr/vtr_log.h"
#include "vtr/vtr_socket.h"
#include "vtr/vtr_time.h"
