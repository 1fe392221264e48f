#include "disksecurity/report_file.h"

#include "platform/filesystem.h"
#include "platform/text.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/log.h"

namespace DiskSecurity {

ReportFile::ReportFile(std::wstring path) : path_(std::move(path)) {
    std::wstring full;
    if (!Platform::getFullPathName(path_, full)) {
        full = path_;
    }
    name_ = lastComponent(normalizePath(full));
    try {
        folder_ = HeldDirectory::open(VFileName::removeFileSpec(full));
    } catch (vexception& e) {
        e.add(VSITE_TEXT(formatString(L"Unable to open the report file %s", path_),
                         "DiskSecurity::ReportFile::ReportFile"));
        throw;
    }
    if (folder_->exists(name_)) {
        _open(Platform::File::OpenExisting);
    }
}

void ReportFile::_open(std::uint32_t disposition) {
    namespace File = Platform::File;
    // The link itself, never its target; a directory opens too (backup semantics), so that it
    // is named as one rather than as a refused open. FILE_READ_ATTRIBUTES is what the
    // information below needs.
    file_.reset(Platform::createFileAt(folder_->handle(), name_,
                                       File::GenericWrite | File::ReadAttributes,
                                       File::ShareRead | File::ShareWrite, disposition,
                                       File::FlagOpenReparsePoint | File::FlagBackupSemantics));
    if (!file_) {
        std::uint32_t error = Platform::getLastError();
        throwOsError(
            withHostDetail(formatString(L"Unable to open the report file %s", path_), error), error,
            VSITE("DiskSecurity::ReportFile::ReportFile"));
    }
    Platform::ByHandleFileInformation information;
    if (!Platform::getFileInformationByHandle(file_.get(), information)) {
        throwOsError(formatString(L"Unable to examine the report file %s", path_),
                     Platform::getLastError(), VSITE("DiskSecurity::ReportFile::ReportFile"));
    }
    std::wstring refusal;
    if (information.attributes & Platform::FileAttribute::ReparsePoint) {
        refusal = L"it is a link or another reparse point";
    } else if (information.attributes & Platform::FileAttribute::Directory) {
        refusal = L"it is a directory";
    } else if (information.numberOfLinks != 1) {
        // Another name of the file may be one the panel reads (a template, a configuration).
        refusal = formatString(L"it has %u hard links", information.numberOfLinks);
    }
    if (!refusal.empty()) {
        file_.reset();
        throw vexception(formatString(L"The report file %s is refused, because %s. A report is "
                                      L"written only to a regular file with one name.",
                                      path_, refusal),
                         VSITE("DiskSecurity::ReportFile::ReportFile"));
    }
}

void ReportFile::append(const std::wstring& line) noexcept {
    std::uint32_t error = 0;
    try {
        if (!file_) {
            _open(Platform::File::OpenAlways);
        }
        std::string bytes = Platform::toUtf8(line) + "\r\n";
        std::uint32_t written = 0;
        // At the end each time: another run may share the report.
        if (Platform::setFilePointerEx(file_.get(), 0, nullptr, Platform::File::End) &&
            Platform::writeFile(file_.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                &written) &&
            written == bytes.size()) {
            return;
        }
        error = Platform::getLastError();
    } catch (const vosexception& e) {
        error = e.errorCode();
    } catch (const vexception& e) {
        // What stood at the name when the first line came was no file to write.
        LogManager::instance().log(LogWarning, e);
        error = Platform::WinError::AccessDenied;
    } catch (...) {
        error = Platform::WinError::NotEnoughMemory;
    }
    if (error == 0) {
        error = Platform::WinError::DiskFull;  // a short write that said nothing
    }
    if (lost_++ == 0) {
        firstError_ = error;
    }
    LogManager::instance().log(LogWarning, L"Unable to write the report file %s for %s: %s", path_,
                               line, vosexception::osMessage(error, std::wstring()));
}

void ReportFile::requireComplete() const {
    if (lost_ == 0) {
        return;
    }
    throwOsError(formatString(L"Unable to write the report file %s (%u lines lost)", path_, lost_),
                 firstError_, VSITE("DiskSecurity::ReportFile::requireComplete"));
}

}  // namespace DiskSecurity
