#include "runtime/atomic_file.h"

#include <algorithm>
#include <cstdint>

#include "platform/filesystem.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/format.h"

namespace {

constexpr std::size_t temporaryNameLength = 16;  // "~tvr" + 8 hex digits + ".tmp"

// A name that is short whatever the target's name: a target of up to 255 characters must
// still be savable.
std::wstring freshTemporaryName() {
    VGUID guid = VGUID::create();
    const Platform::Guid& bytes = guid.bytes();
    std::wstring name = L"~tvr";
    for (std::size_t i = 0; i < 4; ++i) {
        name += formatString(L"%02x", static_cast<std::uint32_t>(bytes[i]));
    }
    return name + L".tmp";
}

// " (held open by NAME (PID), ...)" when other processes keep `target` open, which is the usual
// reason a replace fails; empty when none is known.
std::wstring holdersOf(const std::wstring& target) {
    std::wstring list = processesHolding(target);
    return list.empty() ? list : L" (held open by " + list + L")";
}

}  // namespace

AtomicFile::AtomicFile(const HeldDirectory& directory, const std::wstring& target,
                       const char* function)
    : directory_(directory), target_(target), name_(freshTemporaryName()), function_(function) {
    // CREATE_NEW: the name was made up for this save, and a file already there is not ours.
    // Others may read it while it grows; nobody sees it under the target's name before it is
    // complete and on disk.
    file_ = directory_.openFile(name_, Platform::File::GenericWrite, Platform::File::CreateNew);
    if (!file_) {
        std::uint32_t error = Platform::getLastError();
        std::wstring name = std::move(name_);
        name_.clear();
        throwOsError(formatString(L"CreateFile(%s)", directory_.pathOf(name)), error,
                     VSITE(function_));
    }
}

AtomicFile::~AtomicFile() {
    file_.reset();
    if (!name_.empty()) {
        try {
            directory_.remove(name_);
        } catch (const vexception&) {
            // What is left has the temporary form, and the next save in the folder removes it.
        }
    }
}

void AtomicFile::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        // WriteFile takes a 32-bit count; a larger document goes in pieces.
        auto chunk = static_cast<std::uint32_t>(
            std::min<std::size_t>(bytes.size() - done, std::size_t{1} << 30));
        std::uint32_t written = 0;
        if (!Platform::writeFile(file_.get(), bytes.data() + done, chunk, &written)) {
            throwOsError(formatString(L"WriteFile(%s)", name_), Platform::getLastError(),
                         VSITE(function_));
        }
        done += written;
    }
    if (!Platform::flushFileBuffers(file_.get())) {
        throwOsError(formatString(L"FlushFileBuffers(%s)", name_), Platform::getLastError(),
                     VSITE(function_));
    }
    file_.reset();
}

void AtomicFile::replaceTarget() {
    std::wstring target = directory_.pathOf(target_);
    std::wstring temporary = directory_.pathOf(name_);
    if (!Platform::replaceFileAt(directory_.handle(), target_, name_,
                                 Platform::ReplaceFileWriteThrough)) {
        std::uint32_t error = Platform::getLastError();
        if (error != Platform::WinError::FileNotFound) {
            throwOsError(
                formatString(L"Replace file '%s' with '%s'%s", target, temporary, holdersOf(target)),
                error, VSITE(function_));
        }
        // Nothing to replace: the file takes the name, unless another took it meanwhile.
        if (!Platform::moveFileAt(directory_.handle(), name_, directory_.handle(), target_,
                                  Platform::File::MoveFileWriteThrough)) {
            throwOsError(formatString(L"Move file '%s' to '%s'", temporary, target),
                         Platform::getLastError(), VSITE(function_));
        }
    }
    // From here on the file is the target, no longer temporary.
    name_.clear();
}

bool AtomicFile::isTemporaryName(const std::wstring& name) {
    if (name.size() != temporaryNameLength || name.compare(0, 4, L"~tvr") != 0 ||
        name.compare(12, 4, L".tmp") != 0) {
        return false;
    }
    return std::all_of(name.begin() + 4, name.begin() + 12, [](wchar_t c) {
        return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
    });
}

void AtomicFile::removeStaleTemporaries(const HeldDirectory& directory) {
    removeStaleFiles(directory, L"~tvr*.tmp", isTemporaryName);
}
