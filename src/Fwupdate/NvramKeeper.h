// The NVRAM a run keeps lives on disk before anything is erased: a power
// cut or a pulled cable between the erase and the write-back then costs the
// bridge's settings nothing. Every keeping procedure saves its copy here
// right after reading it, and names the file when it could not put the
// NVRAM back. `v62xfw run --restore-nvram FILE` writes such a file back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// Reads the NVRAM block at flash `address` with the serial-flash block
// reader and saves it (SaveKeptNvram) before anything is erased. Returns the
// saved file's name; empty, with the status "Backup NVRAM command fail!",
// when the block could not be read or saved.
std::string ReadAndSaveNvram(ProcedureContext& ctx, std::uint32_t address, std::uint8_t* kept,
                             std::size_t size);

// The developer trace of each outcome of putting the NVRAM back after a
// failed run.
struct NvramBackTraces {
    const char* stillThere;
    const char* written;
    const char* failed;
};
constexpr NvramBackTraces kNvramBackTraces = {
    "Run failed; the kept NVRAM is still in place\n",
    "Run failed; the kept NVRAM was written back and checked\n",
    "Run failed; the kept NVRAM could NOT be put back and checked\n",
};

// How a procedure reaches the NVRAM block its bridge keeps: the commands
// differ from bridge to bridge, the way the block is put back does not.
struct NvramPlace {
    std::size_t size = 0;
    // Reads the block as the flash holds it now into `out` (size bytes)
    // without touching the status field, which keeps the failing step's
    // text. False when the read failed.
    std::function<bool(std::uint8_t* out)> read;
    // One try at writing `kept` back. `attempt` counts from 0; `seen` is
    // the block as last read, null when that read failed. False when the
    // try stopped before anything was written: what is read next then does
    // not count as the block written back.
    std::function<bool(const std::uint8_t* kept, int attempt, const std::uint8_t* seen)> write;
    NvramBackTraces traces = kNvramBackTraces;
};

enum class NvramBack { AlreadyThere, Written, Failed };

// Puts `kept` back: nothing is written when it is still in place; else up
// to two tries, each written, read back and compared. Traces nothing.
NvramBack WriteNvramBack(const NvramPlace& place, const std::uint8_t* kept);

// The same, with the outcome in the developer trace. True when the NVRAM
// is in place.
bool PutNvramBack(const NvramPlace& place, const std::uint8_t* kept);

// After a failed run that kept the NVRAM and saved it in `savedFile`: puts
// it back (traced), and when that fails names the saved copy to the
// operator. The status keeps the failing step's text.
void RestoreKeptNvram(ProcedureContext& ctx, const NvramPlace& place, const std::uint8_t* kept,
                      const std::string& savedFile);

// The end of an erase-only run that kept the NVRAM and wrote it back
// (`written`: the write command went through). True when it is in place;
// else the status "Write NVRAM back command fail!" and the NVRAM put back
// as after any failed run.
bool NvramBackAfterErase(ProcedureContext& ctx, const NvramPlace& place, const std::uint8_t* kept,
                         const std::string& savedFile, bool written);

// Reads a saved copy for the bridge of `chipKind`: it must be a regular
// file of `size` bytes whose name says the same kind. False with the reason.
bool LoadSavedNvram(const std::string& file, std::uint8_t chipKind, std::size_t size,
                    std::vector<std::uint8_t>& out, std::string& why);

}  // namespace v62x
