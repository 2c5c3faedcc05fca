// The NVRAM a run keeps lives on disk before anything is erased: a power
// cut or a pulled cable between the erase and the write-back then costs the
// bridge's settings nothing. Every keeping procedure saves its copy here
// right after reading it, and names the file when it could not put the
// NVRAM back. `v62xfw run --restore-nvram FILE` writes such a file back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Fwupdate/Procedure.h"

namespace v62x {

// Where kept NVRAM copies go: $XDG_STATE_HOME/v62xfwtool/nvram, else
// $HOME/.local/state/v62xfwtool/nvram. Empty when neither is set.
std::string NvramFolder();

// Saves the kept bytes (written whole, synced, renamed into place) as
// "kind<K>-[<USB serial>-]<time>.nvram" in NvramFolder(), and tells the
// operator's trace.
// Returns the file's name; empty when it could not be saved (the run must
// then not erase anything).
std::string SaveKeptNvram(ProcedureContext& ctx, const std::uint8_t* bytes, std::size_t size);

// After a failure that could not put the NVRAM back: a message names the
// saved copy and how to restore it. The status keeps the failing step.
void ReportNvramNotRestored(ProcedureContext& ctx, const std::string& savedFile);

// Reads a saved copy for the bridge of `chipKind`: it must be a regular
// file of `size` bytes whose name says the same kind. False with the reason.
bool LoadSavedNvram(const std::string& file, std::uint8_t chipKind, std::size_t size,
                    std::vector<std::uint8_t>& out, std::string& why);

}  // namespace v62x
