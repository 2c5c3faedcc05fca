// One-line description of a pass-through request and its outcome, for the
// command-line trace and developer logs.
#pragma once

#include <string>

#include "IDEAccess/Host.h"

namespace v62x {

// "OUT /dev/sdb cdb=FF 04 56 52 55 00 00 00 00 00 00 00 len=0 xfer=0 -> ok status=00"
std::string FormatRequestTrace(const HostRequest& request, const HostReply& reply, int result);

}  // namespace v62x
