// Repair of a two-bank flash whose banks disagree, run when a kind-12 chip
// is identified.
#pragma once

#include <cstdint>
#include <string>

#include "Fwupdate/OperatorPanel.h"
#include "Fwupdate/ToolState.h"

namespace v62x {

// Flash offsets and size of the two firmware banks of a kind-12 chip.
constexpr std::uint32_t kRecoveryBank0 = 0x00000;
constexpr std::uint32_t kRecoveryBank1 = 0x10000;
constexpr std::uint32_t kRecoveryBankSize = 0x10000;

constexpr const char* kRecoverySuccessText = "FW Recovery successful!!";
constexpr const char* kRecoveryFailText = "FW Recovery Fail!!";

// Kind 12 with 128 KiB of flash or more, once per device between two
// refreshes (the device record whose InterfacePath is `path` carries the
// RecoveryChecked mark): reads both banks and, when exactly one passes
// BankImageValid, copies it over the other and reads the copy back (write
// mode 2, then once more in mode 1). The valid bank is never written.
// Returns 1 when the recovery was not due, nothing needed repair or the
// repair was verified; 0 when a read failed (the mark then stays 0, so the
// next identification tries again) or both attempts failed.
// The caller keeps the Run button disabled while this runs.
// *repaired (when given) tells whether a repair was tried; its outcome text
// is then the panel's status.
int RecoverFirmware(ToolState& state, OperatorPanel& panel, const std::string& path,
                    std::uint8_t chipKind, bool* repaired = nullptr);

// What RecoverFirmware would do on this device, found by reading the banks
// only (nothing is written): empty when nothing is due or needs repair,
// else a sentence such as "bank 1 is invalid: a run copies bank 0 over it".
std::string RecoveryPreview(ToolState& state, OperatorPanel& panel, const std::string& path,
                            std::uint8_t chipKind);

}  // namespace v62x
