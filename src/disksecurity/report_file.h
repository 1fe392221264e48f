// The report of a repair: one line per object whose DACL the run writes (or, simulating,
// would write), appended to one file that the whole run holds open. The path is an
// administrator's, but it may lie where a webspace user can put a link or a second name of a
// file the panel reads; so the file is opened once, before the run changes anything, without
// following a link, and judged by its handle.
#pragma once

#include <cstdint>
#include <string>

#include "platform/unique.h"

namespace DiskSecurity {

class ReportFile {
public:
    // Opens `path` for appending, creating it when absent. Raises a vexception naming the file
    // when it cannot be opened, or when it is a directory, a link or another reparse point, or
    // a file with more than one name.
    explicit ReportFile(std::wstring path);
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    const std::wstring& path() const { return path_; }

    // Appends `line` and CRLF, in UTF-8. A failure is logged as a warning naming the report
    // file and the error, and counted; it never raises, so that the DACL write it precedes
    // still happens.
    void append(const std::wstring& line) noexcept;
    // The lines that could not be written.
    std::uint64_t lostLines() const { return lost_; }
    // Raises a vexception naming the report file and the first error when a line was lost.
    void requireComplete() const;

private:
    std::wstring path_;
    Platform::UniqueHandle file_;
    std::uint64_t lost_ = 0;
    std::uint32_t firstError_ = 0;
};

}  // namespace DiskSecurity
