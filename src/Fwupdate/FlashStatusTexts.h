// The status texts the flash procedures share: the operator reads the same
// words for the same step whichever procedure runs.
#pragma once

namespace v62x {

constexpr const char* kAllocBuffersText = "Allocate buffers Error!!";
constexpr const char* kOpenFileText = "Open File Error!!";
constexpr const char* kBackupNvramFailText = "Backup NVRAM command fail!";
constexpr const char* kEraseCommandFailText = "Erase command fail!!";
constexpr const char* kEraseAllSuccessText = "Erase flash all success!";
constexpr const char* kNotBlankText = "Data not 0xff !!";
constexpr const char* kProgrammingText = "Programming";
constexpr const char* kWriteBinFailText = "Write Bin File fail!";
constexpr const char* kReadCommandFailText = "Read command fail!";
constexpr const char* kCompareFailText = "Data compare fail !!";
constexpr const char* kProgrammingSuccessText = "Programming Success!!";
constexpr const char* kWriteNvramBackFailText = "Write NVRAM back command fail!";

}  // namespace v62x
