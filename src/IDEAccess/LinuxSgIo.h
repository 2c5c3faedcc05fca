// Packing of one host request into the kernel's sg_io_hdr and mapping of
// the kernel's answer back to a host reply. Pure functions, no system calls.
#pragma once

#include <scsi/sg.h>

#include <cstdint>

#include "IDEAccess/Host.h"

namespace v62x {

constexpr unsigned kSenseBufferLength = 32;

// Fills hdr for request; sense is the caller's buffer of kSenseBufferLength
// bytes. cdb points into request.cdb.
void PackSgIo(const HostRequest& request, std::uint8_t* sense, sg_io_hdr_t& hdr);

// Maps the outcome of ioctl(fd, SG_IO, &hdr): ioctlResult and ioctlErrno
// are what the call returned and errno after it.
HostReply MapSgIoResult(const sg_io_hdr_t& hdr, const std::uint8_t* sense, int ioctlResult,
                        int ioctlErrno);

}  // namespace v62x
