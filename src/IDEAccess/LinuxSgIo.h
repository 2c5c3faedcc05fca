// Packing of one host request into the kernel's sg_io_hdr and mapping of
// the kernel's answer back to a host reply. Pure functions, no system calls.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <string>

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

// The text of a queue/max_hw_sectors_kb file in bytes; 0 for anything but
// a whole number of KiB from 1 to 16 MiB (a limit that cannot be read is
// no limit the tool can rely on).
std::uint32_t ParseMaxTransferKb(const std::string& text);

}  // namespace v62x
