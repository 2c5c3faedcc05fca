#include "IDEAccess/LinuxSgIo.h"
#include "IDEAccess/Transport.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace v62x {
namespace {

TEST(LinuxSgIoPack, FillsHeaderPerDirectionLengthAndTimeOut) {
    struct Case {
        const char* what;
        DataDirection direction;
        std::uint32_t length;
        std::uint8_t cdbLength;
        std::uint32_t timeoutSeconds;
        int dxferDirection;
        unsigned char cmdLen;
        unsigned timeoutMs;
    };
    const std::vector<Case> cases = {
        {"data in", DataDirection::In, 36, 6, 10, SG_DXFER_FROM_DEV, 6, 10000},
        {"data out", DataDirection::Out, 512, 12, 50, SG_DXFER_TO_DEV, 12, 50000},
        {"long erase", DataDirection::Out, 4096, 12, 100, SG_DXFER_TO_DEV, 12, 100000},
        {"no data phase, direction in", DataDirection::In, 0, 12, 50, SG_DXFER_NONE, 12, 50000},
        {"no data phase, direction out", DataDirection::Out, 0, 16, 50, SG_DXFER_NONE, 16, 50000},
        {"CDB length beyond the array is cut to it", DataDirection::In, 8, 40, 10,
         SG_DXFER_FROM_DEV, 16, 10000},
        {"huge time-out does not wrap", DataDirection::In, 8, 6, 0xFFFFFFFFu, SG_DXFER_FROM_DEV, 6,
         (0xFFFFFFFFu / 1000) * 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::array<std::uint8_t, 4096> buffer{};
        std::array<std::uint8_t, kSenseBufferLength> sense{};
        HostRequest request;
        request.path = "/dev/sg1";
        request.cdb = {0x12, 0, 0, 0, 36};
        request.cdbLength = c.cdbLength;
        request.direction = c.direction;
        request.data = buffer.data();  // set even without data phase: must not be passed on
        request.length = c.length;
        request.timeoutSeconds = c.timeoutSeconds;

        sg_io_hdr_t hdr;
        std::memset(&hdr, 0xA5, sizeof hdr);  // stale fields must not survive
        PackSgIo(request, sense.data(), hdr);

        EXPECT_EQ('S', hdr.interface_id);
        EXPECT_EQ(c.dxferDirection, hdr.dxfer_direction);
        EXPECT_EQ(c.cmdLen, hdr.cmd_len);
        EXPECT_EQ(request.cdb.data(), hdr.cmdp);
        EXPECT_EQ(kSenseBufferLength, hdr.mx_sb_len);
        EXPECT_EQ(sense.data(), hdr.sbp);
        EXPECT_EQ(c.length, hdr.dxfer_len);
        EXPECT_EQ(c.length == 0 ? nullptr : static_cast<void*>(buffer.data()), hdr.dxferp);
        EXPECT_EQ(c.timeoutMs, hdr.timeout);
        EXPECT_EQ(0, hdr.iovec_count);
        EXPECT_EQ(0u, hdr.flags);
        EXPECT_EQ(0, hdr.pack_id);
        EXPECT_EQ(nullptr, hdr.usr_ptr);
    }
}

// Fixed-format sense of the given length: response code, key at 2, ASC/ASCQ
// at 12/13.
std::vector<std::uint8_t> FixedSense(std::uint8_t code, std::uint8_t key, std::uint8_t asc,
                                     std::uint8_t ascq) {
    std::vector<std::uint8_t> s(18, 0);
    s[0] = code;
    s[2] = key;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

std::vector<std::uint8_t> DescriptorSense(std::uint8_t code, std::uint8_t key, std::uint8_t asc,
                                          std::uint8_t ascq) {
    return {code, key, asc, ascq, 0, 0, 0, 0};
}

TEST(LinuxSgIoMap, MapsKernelOutcomeToReply) {
    struct Case {
        const char* what;
        int ioctlResult;
        int ioctlErrno;
        unsigned short hostStatus;
        unsigned short driverStatus;
        unsigned char status;
        std::vector<std::uint8_t> sense;  // buffer content (the rest is zero)
        unsigned char senseWritten;
        unsigned dxferLen;
        int resid;
        // expected
        bool completed;
        int hostError;
        std::uint8_t key;
        std::uint8_t asc;
        std::uint8_t ascq;
        std::uint32_t transferred;
    };
    const auto illegal = FixedSense(0x70, 0x05, 0x20, 0x00);
    // clang-format off
    const std::vector<Case> cases = {
        // what                                   ioctl  errno  host  driver status sense  written len  resid   completed error     key   asc   ascq  moved
        {"ioctl refused by the command filter",    -1, EPERM,  0,    0,    0x00, {},      0,  36,   0,   false, EPERM,     0,    0,    0,    0},
        {"ioctl fails for lack of memory",         -1, ENOMEM, 0,    0,    0x00, {},      0,  36,   0,   false, ENOMEM,    0,    0,    0,    0},
        {"good, full transfer",                     0, 0,      0,    0,    0x00, {},      0,  36,   0,   true,  0,         0,    0,    0,    36},
        {"good, short transfer",                    0, 0,      0,    0,    0x00, {},      0,  36,   20,  true,  0,         0,    0,    0,    16},
        {"no data phase",                           0, 0,      0,    0,    0x00, {},      0,  0,    0,   true,  0,         0,    0,    0,    0},
        {"negative residue is clamped",             0, 0,      0,    0,    0x00, {},      0,  36,   -4,  true,  0,         0,    0,    0,    36},
        {"residue beyond the length is clamped",    0, 0,      0,    0,    0x00, {},      0,  36,   100, true,  0,         0,    0,    0,    0},
        {"adapter time-out",                        0, 0,      0x03, 0,    0x00, {},      0,  512,  512, false, ETIMEDOUT, 0,    0,    0,    0},
        {"driver time-out",                         0, 0,      0,    0x06, 0x00, {},      0,  512,  512, false, ETIMEDOUT, 0,    0,    0,    0},
        {"device gone",                             0, 0,      0x01, 0,    0x00, {},      0,  512,  512, false, ENODEV,    0,    0,    0,    0},
        {"adapter error",                           0, 0,      0x07, 0,    0x00, {},      0,  512,  512, false, EIO,       0,    0,    0,    0},
        {"driver error",                            0, 0,      0,    0x04, 0x00, {},      0,  512,  512, false, EIO,       0,    0,    0,    0},
        {"driver sense with suggestion bits",       0, 0,      0,    0x28, 0x02, illegal, 18, 36,   36,  true,  0,         0x05, 0x20, 0x00, 0},
        {"non-bridge disk rejects a vendor CDB",    0, 0,      0,    0x08, 0x02, illegal, 18, 36,   36,  true,  0,         0x05, 0x20, 0x00, 0},
        {"deferred fixed sense with VALID bit",     0, 0,      0,    0x08, 0x02, FixedSense(0xF1, 0x03, 0x11, 0x00),
                                                                                          18, 512,  0,   true,  0,         0x03, 0x11, 0x00, 512},
        {"key byte carries flag bits",              0, 0,      0,    0x08, 0x02, FixedSense(0x70, 0xE5, 0x24, 0x00),
                                                                                          18, 0,    0,   true,  0,         0x05, 0x24, 0x00, 0},
        {"descriptor sense",                        0, 0,      0,    0x08, 0x02, DescriptorSense(0x72, 0x05, 0x24, 0x00),
                                                                                          8,  12,   12,  true,  0,         0x05, 0x24, 0x00, 0},
        {"deferred descriptor sense",               0, 0,      0,    0x08, 0x02, DescriptorSense(0x73, 0x02, 0x04, 0x01),
                                                                                          8,  12,   12,  true,  0,         0x02, 0x04, 0x01, 0},
        {"short fixed sense leaves ASC/ASCQ unread",0, 0,      0,    0x08, 0x02, illegal, 8,  36,   36,  true,  0,         0x05, 0x00, 0x00, 0},
        {"fixed sense covering ASC but not ASCQ",   0, 0,      0,    0x08, 0x02, FixedSense(0x70, 0x05, 0x20, 0x01),
                                                                                          13, 36,   36,  true,  0,         0x05, 0x20, 0x00, 0},
        {"CHECK CONDITION without sense data",      0, 0,      0,    0,    0x02, illegal, 0,  36,   36,  true,  0,         0,    0,    0,    0},
        {"recovered error with GOOD status",        0, 0,      0,    0x08, 0x00, FixedSense(0x70, 0x01, 0x17, 0x01),
                                                                                          18, 36,   0,   true,  0,         0x01, 0x17, 0x01, 36},
        {"unknown sense format is not decoded",     0, 0,      0,    0x08, 0x02, {0x7F, 0x05, 0x20, 0x00},
                                                                                          4,  36,   36,  true,  0,         0,    0,    0,    0},
        {"sense length claimed beyond the buffer",  0, 0,      0,    0x08, 0x02, illegal, 250, 36,  36,  true,  0,         0x05, 0x20, 0x00, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::array<std::uint8_t, kSenseBufferLength> sense{};
        std::copy(c.sense.begin(), c.sense.end(), sense.begin());
        sg_io_hdr_t hdr;
        std::memset(&hdr, 0, sizeof hdr);
        hdr.host_status = c.hostStatus;
        hdr.driver_status = c.driverStatus;
        hdr.status = c.status;
        hdr.sb_len_wr = c.senseWritten;
        hdr.dxfer_len = c.dxferLen;
        hdr.resid = c.resid;

        const HostReply reply = MapSgIoResult(hdr, sense.data(), c.ioctlResult, c.ioctlErrno);
        EXPECT_TRUE(reply.opened);
        EXPECT_EQ(0, reply.openError);
        EXPECT_EQ(c.completed, reply.completed);
        EXPECT_EQ(c.hostError, reply.hostError);
        EXPECT_EQ(c.status, reply.scsiStatus);
        EXPECT_EQ(c.key, reply.senseKey);
        EXPECT_EQ(c.asc, reply.asc);
        EXPECT_EQ(c.ascq, reply.ascq);
        EXPECT_EQ(c.transferred, reply.transferred);
    }
}

TEST(LinuxSgIoMap, OnlyDeliveredSenseCanExcuseACheckCondition) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> sense;
        unsigned char written;
        bool senseValid;
        bool succeeded;
    };
    const std::vector<Case> cases = {
        {"ILLEGAL REQUEST from a non-bridge disk", FixedSense(0x70, 0x05, 0x20, 0x00), 18, true, false},
        {"RECOVERED ERROR", FixedSense(0x70, 0x01, 0x17, 0x01), 18, true, true},
        {"NO SENSE in descriptor form", DescriptorSense(0x72, 0x00, 0x00, 0x00), 8, true, true},
        {"no sense data at all", FixedSense(0x70, 0x00, 0x00, 0x00), 0, false, false},
        {"sense in an unknown format", {0x7F, 0x00, 0x00, 0x00}, 4, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::array<std::uint8_t, kSenseBufferLength> sense{};
        std::copy(c.sense.begin(), c.sense.end(), sense.begin());
        sg_io_hdr_t hdr;
        std::memset(&hdr, 0, sizeof hdr);
        hdr.driver_status = c.written != 0 ? 0x08 : 0;
        hdr.status = scsi::kCheckCondition;
        hdr.sb_len_wr = c.written;
        const HostReply reply = MapSgIoResult(hdr, sense.data(), 0, 0);
        EXPECT_EQ(c.senseValid, reply.senseValid);
        EXPECT_EQ(c.succeeded, RequestSucceeded(reply));
    }
}

TEST(LinuxSgIoLimit, ReadsMaxHwSectorsKb) {
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"120\n", 120 * 1024}, {"1024\n", 1024 * 1024}, {"512", 512 * 1024},
        {"", 0}, {"0\n", 0}, {"-4\n", 0}, {"12x\n", 0}, {"16385\n", 0}, {"99999999999999999999", 0},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(bytes, ParseMaxTransferKb(text)) << text;
}

}  // namespace
}  // namespace v62x
