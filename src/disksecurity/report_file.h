// The report of a repair: one line per object whose DACL the run writes (or, simulating,
// would write), appended to one file that the whole run holds open. The path is an
// administrator's, but it may lie where a webspace user can put a link or a second name of a
// file the panel reads; so the report's folder is reached from its drive root without following
// a link and held for the whole run, and the file is judged by its handle: before the run
// changes anything when it exists, else when the first line creates it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/unique.h"
#include "runtime/held_directory.h"

namespace DiskSecurity {

class ReportFile {
public:
    // Holds the folder of `path` and opens the file for appending when it exists. Raises a
    // vexception naming the file when a component of its folder is a link or another reparse
    // point, when it cannot be opened, or when it is a directory, a link or another reparse
    // point, or a file with more than one name. A missing file is created by the first line,
    // so that a run that reports nothing leaves none.
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
    // Opens the file in the held folder (`disposition`: open it, or create it when missing)
    // and refuses what is no regular file with one name.
    void _open(std::uint32_t disposition);

    std::wstring path_;
    std::wstring name_;  // the file's name in its folder
    std::optional<HeldDirectory> folder_;
    Platform::UniqueHandle file_;
    std::uint64_t lost_ = 0;
    std::uint32_t firstError_ = 0;
};

}  // namespace DiskSecurity
