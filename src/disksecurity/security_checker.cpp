#include "disksecurity/security_checker.h"

#include <algorithm>
#include <span>
#include <string>
#include <utility>

#include "platform/filesystem.h"
#include "platform/pathapi.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/log.h"
#include "winsecurity/object_descriptor.h"
#include "winsecurity/object_security.h"

namespace DiskSecurity {
namespace {

// The longest path the walk visits: what the long-path functions of Windows take, the
// terminator not counted and the "\\?\" prefix counted.
constexpr std::size_t MaxLongPath = Platform::PathCchMaxCch - 1;
constexpr std::size_t LongPrefix = 4;

// A path of the walk as messages, logs and callbacks show it: without the long prefix.
std::wstring_view shown(const VPath& path) {
    return path.shown();
}

std::size_t shownLength(const VPath& path) {
    return path.shown().size();
}

// Whether a name that a listing returned (not "." or "..") is one component of its directory,
// as the relative open takes it.
bool isOneName(const std::wstring& name) {
    return !name.empty() && name.find_first_of(L"\\/") == std::wstring::npos;
}

// What `path` is, and whether asking was refused (`denied`; the path then counts as missing).
PathStatus statusOf(const VPath& path, bool& denied) {
    denied = false;
    std::uint32_t attributes = 0;
    try {
        if (!fileExist(path.longForm(), attributes)) {
            return PathStatus::Missing;
        }
    } catch (const VAccessDeniedException&) {
        denied = true;
        return PathStatus::Missing;
    }
    return (attributes & Platform::FileAttribute::Directory) ? PathStatus::Directory
                                                             : PathStatus::File;
}

}  // namespace

PathStatus pathStatus(const std::wstring& path) {
    bool denied = false;
    return statusOf(VPath(path), denied);
}

SecurityChecker::SecurityChecker(Callback& callback, const CheckerOptions& options,
                                 TarnoComponentResolver* context)
    : callback_(callback), options_(options), context_(context) {}

CheckerCounts SecurityChecker::counts() const {
    return CheckerCounts{
        checked_.load(std::memory_order_relaxed), wrong_.load(std::memory_order_relaxed),
        written_.load(std::memory_order_relaxed), failed_.load(std::memory_order_relaxed)};
}

void SecurityChecker::_abort() {
    if (isDebugOn()) {
        LogManager::instance().logText(LogWarning, L"Aborting...");
    }
    throw AbortException();
}

void SecurityChecker::checkPathSecurity(const SecurityInformationPtr& information,
                                        const VPath& path) {
    WinSecurity::MappedAccountsScope accounts;
    _checkPathSecurity(information, path, std::nullopt);
}

void SecurityChecker::_checkPathSecurity(const SecurityInformationPtr& information,
                                         const VPath& path,
                                         std::optional<PathStatus> knownStatus) {
    if (securityDebugging()) {
        LogManager::instance().log(
            LogInfo, L"SecurityChecker::checkPathSecurity is called for path %s", shown(path));
    }
    SecurityInformationPtr own = securityInformationFor(information, path);
    if (!own) {
        // The callback has no information it can stand by for the path (its metadata is
        // damaged): the path and what lies below it stay as they are.
        failed_.fetch_add(1, std::memory_order_relaxed);
        skipped(path.shownText(), L"damaged metadata");
        return;
    }
    _pathProcedure(own, path, knownStatus);
}

void SecurityChecker::_pathProcedure(const SecurityInformationPtr& parent, const VPath& path,
                                     std::optional<PathStatus> knownStatus) {
    const std::wstring* listedName = listedName_;  // applyPath takes it
    SecurityDebugSnapshot debugging;
    LogManager& log = LogManager::instance();
    // A directory that the search just listed is not tested again.
    bool denied = false;
    PathStatus status = knownStatus ? *knownStatus : statusOf(path, denied);
    if (denied) {
        if (_openRefused(path, parent.get()) == CallbackResult::Abort) {
            _abort();
        }
        return;
    }
    if (status == PathStatus::Missing) {
        log.log(LogInfo, L"Path does not exist %s, skipped", shown(path));
        return;
    }
    bool isDirectory = status == PathStatus::Directory;
    SecurityInformationPtr information =
        getSecurityInformation(*parent, path.shownText(), isDirectory);
    if (information->hasState(StateSkipPath)) {
        if (securityDebugging()) {
            log.log(LogInfo, L"Path %s skipped because of skipPath property", shown(path));
        }
        return;
    }
    CallbackResult result = applyPath(*information, path, isDirectory, knownStatus.has_value());
    if (result == CallbackResult::Abort) {
        _abort();
    }
    if (result == CallbackResult::Ignore) {
        if (securityDebugging()) {
            log.log(LogInfo, L"Ignore security checks result received for path %s", shown(path));
        }
        return;
    }

    if (!options_.walkAllChildren) {
        _fastAlgorithm(information, path, isDirectory);
        return;
    }
    if (information->hasState(StateNoPropagateHere)) {
        if (securityDebugging()) {
            log.log(LogInfo, L"No propagate security to %s children", shown(path));
        }
        return;
    }
    if (isDirectory) {
        parents_.push_back(ParentAcl{information.get()});
        parents_.back().handle = std::move(handledDirectory_);
        parents_.back().acl = std::exchange(handledDirectoryDacl_, std::nullopt);
        parents_.back().name = listedName;
        CallbackResult enumerated = CallbackResult::Continue;
        try {
            enumerated = _enumerateChildren(information, path);
        } catch (...) {
            parents_.pop_back();
            throw;
        }
        parents_.pop_back();
        if (enumerated == CallbackResult::Abort) {
            _abort();
        }
    }
}

void SecurityChecker::_fastAlgorithm(const SecurityInformationPtr& information,
                                     const VPath& path, bool isDirectory) {
    LogManager& log = LogManager::instance();
    if (securityDebugging()) {
        log.log(LogInfo, L"Checking security for path %s using fast algorithm", shown(path));
    }
    for (const std::wstring& child :
         collectChildrenEntries(*information->collection(), path.longForm())) {
        // An entry's path enters the walk here, made once.
        VPath childPath(child);
        bool denied = false;
        PathStatus childStatus = statusOf(childPath, denied);
        if (denied) {
            if (_openRefused(childPath, information.get()) == CallbackResult::Abort) {
                _abort();
            }
            continue;
        }
        if (childStatus == PathStatus::Missing) {
            log.log(LogInfo, L"Path does not exist %s, skipped", child);
            continue;
        }
        if (securityDebugging()) {
            log.log(LogInfo, L"Checking children path %s", child);
        }
        if (isDirectory) {
            checkPathSecurity(information, childPath);
        } else {
            checkPath(information, childPath);
        }
    }
}

CallbackResult SecurityChecker::_enumerateChildren(const SecurityInformationPtr& information,
                                                   const VPath& path) {
    // The children's paths are made in walkPath_, which holds the directory's path between
    // them: where this is the first directory enumerated, it starts the path.
    WalkStart start(*this, path);
    if (!parents_.back().handle) {
        // Not held by its own handling (a caller's override): reached by its path.
        try {
            parents_.back().handle = WinSecurity::openForSecurity(path.longForm(), true, true);
        } catch (...) {
            return _handleError(path, information.get());
        }
    }
    std::vector<Platform::DirectoryEntry> entries;
    CallbackResult result = CallbackResult::Retry;
    while (result == CallbackResult::Retry) {
        // Only the listing itself is guarded here: the children handle their own errors, and
        // what fails while mapping a child's entries ends the walk.
        VDirectoryListing listing(parents_.back().handle.get());
        bool found = false;
        result = _listFirst(information, listing, entries, found);
        while (found && result != CallbackResult::Abort) {
            for (const Platform::DirectoryEntry& entry : entries) {
                if (entry.fileName != L"." && entry.fileName != L".." &&
                    _handleListed(information, entry) == CallbackResult::Abort) {
                    result = CallbackResult::Abort;
                    break;
                }
            }
            if (result == CallbackResult::Abort) {
                break;
            }
            try {
                found = listing.next(entries, walkPath_.shownText());
            } catch (...) {
                result = _handleError(walkPath_, information.get());
                found = false;
            }
        }
    }
    if (start.starts()) {
        // The writes of the files of a folder wait past its end, for the next folder's write or
        // a full batch: the walk ends with none waiting.
        _flushWrites();
    }
    return result;
}

CallbackResult SecurityChecker::_listFirst(const SecurityInformationPtr& information,
                                           VDirectoryListing& listing,
                                           std::vector<Platform::DirectoryEntry>& entries,
                                           bool& found) {
    try {
        try {
            found = listing.next(entries, walkPath_.shownText());
        } catch (const VAccessDeniedException&) {
            if (!_reopenForListing(walkPath_)) {
                throw;
            }
            listing = VDirectoryListing(parents_.back().handle.get());
            found = listing.next(entries, walkPath_.shownText());
        }
    } catch (const VAccessDeniedException& e) {
        // What lies below a folder that may not be listed is unknown: said, not taken as
        // nothing.
        return _refuse(walkPath_, information.get(), ErrorCategory::AccessDenied,
                       formatString(L"Cannot check what lies in %s, because its listing "
                                    L"is refused: %s",
                                    shown(walkPath_), oneLine(renderException(e))),
                       L"listing refused");
    } catch (...) {
        return _handleError(walkPath_, information.get());
    }
    return CallbackResult::Continue;
}

CallbackResult SecurityChecker::_handleListed(const SecurityInformationPtr& information,
                                              const Platform::DirectoryEntry& entry) {
    ChildPath child(walkPath_, entry.fileName);
    try {
        CallbackResult result = _visitChild(information, entry);
        if (pending_.size() >= WriteBatch::Limit) {
            _flushWrites();
        }
        return result;
    } catch (const StopRunException&) {
        throw;  // nothing more is written
    } catch (...) {
        // What was judged and reported before the walk ended is still written.
        _flushWrites();
        throw;
    }
}

bool SecurityChecker::_reopenForListing(const VPath& path) {
    ParentAcl& directory = parents_.back();
    bool listed = directory.name && parents_.size() > 1;
    Platform::UniqueHandle again = WinSecurity::openDirectoryToList(
        listed ? parents_[parents_.size() - 2].handle.get() : nullptr,
        listed ? *directory.name : path.longForm(), path.longForm());
    if (!again) {
        return false;
    }
    directory.handle = std::move(again);
    return true;
}

CallbackResult SecurityChecker::_visitChild(const SecurityInformationPtr& information,
                                            const Platform::DirectoryEntry& entry) {
    const VPath& child = walkPath_;
    const std::wstring& name = entry.fileName;
    if (entry.attributes & Platform::FileAttribute::ReparsePoint) {
        // A link leads elsewhere: neither it nor what it reaches is secured here.
        return _refuse(child, information.get(), ErrorCategory::PathNotAllowed,
                       formatString(L"Cannot apply security to path %s, because it is a link or "
                                    L"another reparse point. Links are not allowed.",
                                    shown(child)),
                       L"link");
    }
    if (!isOneName(name)) {
        // Whatever the listing returns must lead to an object directly below the directory.
        std::wstring_view directory = child.shown();
        directory.remove_suffix(name.size());
        while (!directory.empty() && directory.back() == L'\\') {
            directory.remove_suffix(1);
        }
        return _refuse(child, information.get(), ErrorCategory::InvalidPath,
                       formatString(L"The name '%s' found in %s is not a plain name", name,
                                    directory),
                       L"not a plain name");
    }
    if (shownLength(child) + LongPrefix > MaxLongPath) {
        return _tooLong(information, child);
    }
    ListedName listed(*this, name);
    if (entry.attributes & Platform::FileAttribute::Directory) {
        _checkPathSecurity(information, child, PathStatus::Directory);
    } else {
        checkPath(information, child);
    }
    return CallbackResult::Continue;
}

CallbackResult SecurityChecker::_tooLong(const SecurityInformationPtr& information,
                                         const VPath& child) {
    // Skipped, but said: a check-only run must name what it could not check.
    return _refuse(child, information.get(), ErrorCategory::InvalidPath,
                   formatString(L"Cannot check path %s, because it is longer than the %u "
                                L"characters of a Windows path.",
                                shown(child), static_cast<std::uint32_t>(MaxLongPath)),
                   formatString(L"too long, %u characters",
                                static_cast<std::uint32_t>(shownLength(child))));
}

CallbackResult SecurityChecker::_openRefused(const VPath& path,
                                             const SecurityInformation* information) {
    return _refuse(path, information, ErrorCategory::AccessDenied,
                   formatString(L"Cannot check path %s, because access to it is denied.",
                                shown(path)),
                   L"open refused");
}

CallbackResult SecurityChecker::_refuse(const VPath& path,
                                        const SecurityInformation* information,
                                        ErrorCategory category, std::wstring text,
                                        const std::wstring& reason) {
    CallbackResult result =
        _handleError(path, information, CaughtError{category, std::move(text)}, reason);
    return result == CallbackResult::Abort ? result : CallbackResult::Ignore;
}

CallbackResult SecurityChecker::_handleError(const VPath& path,
                                             const SecurityInformation* information) {
    CaughtError error = errorCategory(std::current_exception());
    std::wstring reason = oneLine(error.text);
    if (error.category == ErrorCategory::AccessDenied) {
        reason = L"open refused";
    } else {
        try {
            throw;
        } catch (const vosexception& e) {
            if (e.errorCode() == Platform::WinError::FilenameExcedRange) {
                // Longer than the file system of the host can take.
                reason = formatString(L"too long, %u characters",
                                      static_cast<std::uint32_t>(shownLength(path)));
            }
        } catch (...) {
        }
    }
    return _handleError(path, information, error, reason);
}

CallbackResult SecurityChecker::_handleError(const VPath& path,
                                             const SecurityInformation* information,
                                             const CaughtError& error,
                                             const std::wstring& reason) {
    return _handleError(path, information && !information->hasState(StateEntryWithoutFlag8),
                        error, reason);
}

CallbackResult SecurityChecker::_handleError(const VPath& path, bool allFlag8,
                                             const CaughtError& error,
                                             const std::wstring& reason) {
    failed_.fetch_add(1, std::memory_order_relaxed);
    skipped(path.shownText(), reason);
    CallbackResult result = onError(error.category, error.text, path, allFlag8);
    if (result == CallbackResult::Continue) {
        result = CallbackResult::Ignore;
    }
    LogManager::instance().log(result == CallbackResult::Abort ? LogError : LogWarning, L"%s",
                               error.text);
    return result;
}

CallbackResult SecurityChecker::applyPath(const SecurityInformation& information,
                                          const VPath& path, bool isDirectory, bool listed) {
    // Taken now: what this object's handling calls before it is opened again comes first.
    const std::wstring* listedName = std::exchange(listedName_, nullptr);
    bool tookOver = false;
    for (;;) {
        handledDirectory_.reset();
        handledDirectoryDacl_.reset();
        descriptor_.clear();
        CallbackResult result = beforeCheck(path, isDirectory);
        if (result == CallbackResult::Ignore) {
            return result;
        }
        bool opened = false;
        try {
            Platform::UniqueHandle handle;
            try {
                handle = _open(path, isDirectory, listed, listedName);
            } catch (const VAccessDeniedException&) {
                // A DACL that shuts the tool out is no reason to leave it: the owner may always
                // rewrite the DACL, and SeTakeOwnershipPrivilege makes the tool the owner, as
                // Windows administrators do it. A check-only run changes no owner.
                if (tookOver || options_.mode != CheckMode::Repair ||
                    !_takeOwnership(path, isDirectory, listedName)) {
                    throw;
                }
                tookOver = true;
                continue;
            }
            if (CallbackResult refused = _mayWriteThrough(handle.get(), information, path,
                                                          isDirectory, listedName != nullptr);
                refused != CallbackResult::Continue) {
                return refused;
            }
            opened = true;
            VAcl dacl = readDacl(handle.get(), path, isDirectory);
            checked_.fetch_add(1, std::memory_order_relaxed);
            ObjectMode mode = objectModeOf(information, isDirectory);
            // An object that must stop inheriting is rewritten while it still inherits,
            // whatever its explicit part says.
            bool wrong = (dacl.hasInheritedAce() && information.hasState(StateBreaksInheritance)) ||
                         isDaclWrong(dacl, information, mode);
            if (wrong) {
                wrong_.fetch_add(1, std::memory_order_relaxed);
                listedChild_ = listedName != nullptr;
                result = applySecurity(information, dacl, handle.get(), path, mode);
                if (std::exchange(deferred_, false)) {
                    pending_.last().owned = std::move(handle);
                }
            }
            if (isDirectory && result == CallbackResult::Continue) {
                // Kept for the children: what the handle read, unless the walk has just
                // written it (read again through the handle when a child needs it).
                if (!wrong || options_.mode != CheckMode::Repair) {
                    handledDirectoryDacl_ = std::move(dacl);
                }
                handledDirectory_ = std::move(handle);
            }
        } catch (const AbortException&) {
            throw;
        } catch (const StopRunException&) {
            throw;
        } catch (vexception& e) {
            if (opened) {
                // The read and the write of a descriptor go by handle: their errors do not
                // say which object failed.
                e.add(VSITE_TEXT(L"security of " + path.shownText(),
                                 "SecurityChecker::applyPath"));
            }
            result = _handleError(path, &information);
        } catch (...) {
            result = _handleError(path, &information);
        }
        if (result != CallbackResult::Retry) {
            return result;
        }
    }
}

Platform::UniqueHandle SecurityChecker::_open(const VPath& path, bool isDirectory,
                                              bool listed, const std::wstring* listedName) {
    if (listedName) {
        // Reached in the directory held, never followed: what was listed is what is opened.
        return WinSecurity::openChildForSecurity(parents_.back().handle.get(), *listedName,
                                                 isDirectory, path.longForm());
    }
    return WinSecurity::openForSecurity(path.longForm(), isDirectory, listed && isDirectory);
}

CallbackResult SecurityChecker::_mayWriteThrough(Platform::Handle handle,
                                                 const SecurityInformation& information,
                                                 const VPath& path, bool isDirectory,
                                                 bool listed) {
    if (!listed && !options_.allowLinks) {
        // Reached by its path: the object opened must be the one the path names.
        std::wstring real = WinSecurity::getFileNameFromHandle(handle);
        if (comparePaths(path.longForm(), real) != PathEqual) {
            return _refuse(path, &information, ErrorCategory::PathNotAllowed,
                           formatString(L"Cannot apply security to path %s, because it points "
                                        L"to another path %s. Links are not allowed.",
                                        shown(path), real),
                           L"link");
        }
    }
    Platform::ByHandleFileInformation object;
    if (!Platform::getFileInformationByHandle(handle, object)) {
        throwOsError(formatString(L"Unable to get the information of the object (%s)",
                                  path.shown()),
                     Platform::getLastError(), VSITE("DiskSecurity::SecurityChecker::applyPath"));
    }
    if ((object.attributes & Platform::FileAttribute::ReparsePoint) &&
        (listed || (isDirectory && !options_.allowLinks))) {
        // An object that became a link after its parent was listed: the open took the link
        // itself, whose final path is its own.
        return _refuse(path, &information, ErrorCategory::PathNotAllowed,
                       formatString(L"Cannot apply security to path %s, because it is a reparse "
                                    L"point. Links are not allowed.",
                                    shown(path)),
                       L"link");
    }
    if (!isDirectory && object.numberOfLinks > 1) {
        // A file has one descriptor for all its names: written through a name in the
        // webspace, it would change a file that may be anyone's under its other name. A run
        // that writes nothing still judges it: a second name must not hide a wrong DACL from
        // the report.
        CallbackResult result = _refuse(
            path, &information, ErrorCategory::PathNotAllowed,
            formatString(L"Cannot apply security to path %s, because it has %u hard links. "
                         L"Hard links are not allowed.",
                         shown(path), object.numberOfLinks),
            formatString(L"hard link, %u links", object.numberOfLinks));
        return result == CallbackResult::Abort || changesDisk(options_.mode)
                   ? result
                   : CallbackResult::Continue;
    }
    return CallbackResult::Continue;
}

bool SecurityChecker::_takeOwnership(const VPath& path, bool isDirectory,
                                     const std::wstring* listedName) {
    Platform::UniqueHandle handle =
        listedName ? WinSecurity::openToTakeOver(parents_.back().handle.get(), *listedName,
                                                 path.longForm(), isDirectory, false)
                   : WinSecurity::openToTakeOver(nullptr, path.longForm(), path.longForm(),
                                                 isDirectory, !options_.allowLinks);
    if (!handle) {
        return false;
    }
    // The descriptor cannot be read before (that is what is refused); the journal records it
    // when the DACL is written, with the new owner.
    WinSecurity::takeOwnership(handle.get(), path.longForm());
    LogManager::instance().log(LogInfo,
                               L"Took ownership of %s, whose DACL shut the tool out", shown(path));
    return true;
}

VAcl SecurityChecker::readDacl(Platform::Handle handle, const VPath&, bool) {
    if (options_.journal && options_.mode == CheckMode::Repair) {
        // Read whole once: what the journal records of the object, should it be written.
        descriptor_ = WinSecurity::getWholeDescriptor(handle);
        return WinSecurity::daclOfDescriptor(descriptor_);
    }
    return WinSecurity::getObjectDacl(handle);
}

bool SecurityChecker::isDaclWrong(const VAcl& dacl, const SecurityInformation& information,
                                  ObjectMode mode) {
    // Debugging tells every judgement.
    bool remember = !securityDebugging();
    std::optional<bool> known = remember ? last_.judged(dacl, information, mode) : std::nullopt;
    bool wrong = known ? *known : _judgeDacl(dacl, information, mode);
    if (remember && !known) {
        last_.keepJudged(dacl, information, mode, wrong);
    }
    return wrong;
}

bool SecurityChecker::_judgeDacl(const VAcl& dacl, const SecurityInformation& information,
                                 ObjectMode mode) {
    return isDaclWrongFor(dacl, information, mode);
}

const VAccessControl& SecurityChecker::_inheritedFor(const VPath& path, bool isFile,
                                                     std::optional<VAccessControl>& scratch) {
    if (listedChild_) {
        // The children of one directory share its DACL: read once through the directory held,
        // not once per child and not by name.
        ParentAcl& parent = parents_.back();
        if (!parent.acl) {
            parent.acl = WinSecurity::getObjectDacl(parent.handle.get());
        }
        std::optional<VAccessControl>& inherited = isFile ? parent.forFile : parent.forFolder;
        if (!inherited) {
            inherited = inheritedControl(*parent.acl, isFile);
        }
        return *inherited;
    }
    scratch = inheritedControl(WinSecurity::getParentDacl(path.longForm()), isFile);
    return *scratch;
}

CallbackResult SecurityChecker::applySecurity(const SecurityInformation& information,
                                              const VAcl& existing, Platform::Handle handle,
                                              const VPath& path, ObjectMode mode) {
    bool isFile = mode.file();
    CallbackResult result = beforeApply(path, !isFile);
    bool simulate = options_.mode == CheckMode::Simulate;
    if (!simulate) {
        if (result == CallbackResult::Abort) {
            _abort();
        }
        if (result != CallbackResult::Continue || options_.mode == CheckMode::CheckOnly) {
            return result;
        }
    }
    NewAcl newAcl = _newAcl(information, existing, path, mode);
    if (securityDebugging()) {
        LogManager& log = LogManager::instance();
        if (newAcl.inherit) {
            log.log(LogInfo, L"Setting inherited security %s to %s", shown(path),
                    newAcl.acl.dump(mapGenericAccess));
        } else {
            log.log(LogInfo, L"Setting explicit security for %s:\n%s", shown(path),
                    newAcl.acl.dump(mapGenericAccess));
        }
    }
    _report(path);
    if (!simulate && listedChild_ && options_.journal) {
        // An entry of the directory being enumerated: journaled with the writes waiting in one
        // record ahead of them all. A file's write waits for its siblings; a folder's is made at
        // once, with those waiting, for its children are judged against it.
        pending_.add(WriteBatch::Write{path, handle, {}, std::move(newAcl),
                                       std::exchange(descriptor_, {}),
                                       !information.hasState(StateEntryWithoutFlag8)});
        if (pending_.last().descriptor.empty()) {
            pending_.last().descriptor = WinSecurity::getWholeDescriptor(handle);
        }
        if (isFile) {
            deferred_ = true;
            return result;
        }
        return _flushWrites() ? result : CallbackResult::Ignore;
    }
    if (!simulate) {
        if (options_.journal) {
            try {
                std::vector<std::uint8_t> descriptor = descriptor_.empty()
                                                           ? WinSecurity::getWholeDescriptor(handle)
                                                           : std::move(descriptor_);
                JournalRecord record{path.shown(), descriptor};
                options_.journal->record(std::span(&record, 1));
            } catch (...) {
                throw StopRunException(std::current_exception());
            }
        }
        if (newAcl.inherit) {
            WinSecurity::setObjectDaclInherited(handle, Platform::SeFileObject, newAcl.acl);
        } else {
            WinSecurity::setObjectDaclProtected(handle, Platform::SeFileObject, newAcl.acl);
        }
    }
    written_.fetch_add(1, std::memory_order_relaxed);
    return result;
}

NewAcl SecurityChecker::_newAcl(const SecurityInformation& information, const VAcl& existing,
                                const VPath& path, ObjectMode mode) {
    std::optional<VAccessControl> scratch;
    const VAccessControl& inherited = _inheritedFor(path, mode.file(), scratch);
    // A listed child's parent DACL was read through the directory held.
    const VAcl* parent = listedChild_ && !securityDebugging() ? &*parents_.back().acl : nullptr;
    const NewAcl* known = parent ? last_.computed(existing, *parent, information, mode) : nullptr;
    NewAcl result = known ? *known : computeNewAcl(information, existing, inherited, mode);
    if (parent && !known) {
        last_.keepComputed(existing, *parent, information, mode, result);
    }
    return result;
}

SecurityInformationPtr SecurityChecker::_fileInformation(const SecurityInformationPtr& information,
                                                         const VPath& path) {
    if (parents_.empty() || parents_.back().information != information.get() ||
        securityDebugging()) {
        return getSecurityInformation(*information, path.shownText(), false);
    }
    // A file has entries of its own only where entries lie below its directory.
    const VEntryCollection& collection = *information->collection();
    const Path2EntriesPtr& mapping = information->entries();
    if ((!mapping || mapping->entriesBelow()) &&
        collection.entries.find(path.longForm()) != collection.entries.end()) {
        return getSecurityInformation(*information, path.shownText(), false);
    }
    ParentAcl& directory = parents_.back();
    if (!directory.plainFile) {
        directory.plainFile = getSecurityInformation(*information, path.shownText(), false);
    }
    return directory.plainFile;
}

bool SecurityChecker::_flushWrites() {
    if (pending_.size() == 0) {
        return true;
    }
    VPath last = pending_.last().path;
    std::vector<WriteBatch::Failure> failures;
    try {
        failures = pending_.flush(*options_.journal,
                                  [&] { written_.fetch_add(1, std::memory_order_relaxed); });
    } catch (const StopRunException&) {
        throw;
    } catch (...) {
        throw StopRunException(std::current_exception());
    }
    bool abort = false;
    bool lastMade = true;
    for (const WriteBatch::Failure& failure : failures) {
        abort |= _handleError(failure.path, failure.allEntriesFlag8, failure.error,
                              oneLine(failure.error.text)) == CallbackResult::Abort;
        lastMade &= failure.path.longForm() != last.longForm();
    }
    if (abort) {
        _abort();
    }
    return lastMade;
}

void SecurityChecker::skipped(const std::wstring&, const std::wstring&) {}

void SecurityChecker::_report(const VPath& path) {
    if (options_.report) {
        options_.report->append(path.shownText());
    }
}

void SecurityChecker::checkPath(const SecurityInformationPtr& information,
                                const VPath& path) {
    // The files of a directory go by the answer read for their directory.
    std::optional<SecurityDebugSnapshot> debugging;
    if (!SecurityDebugSnapshot::active()) {
        debugging.emplace();
    }
    if (applyPath(*information, path, false) == CallbackResult::Abort) {
        _abort();
    }
}

CallbackResult SecurityChecker::onError(ErrorCategory category, const std::wstring& text,
                                        const VPath& path, bool allEntriesFlag8) {
    return callback_.onError(category, text, path, allEntriesFlag8);
}

CallbackResult SecurityChecker::beforeApply(const VPath& path, bool isDirectory) {
    return callback_.beforeApply(path, isDirectory);
}

CallbackResult SecurityChecker::beforeCheck(const VPath& path, bool isDirectory) {
    return callback_.beforeCheck(path, isDirectory);
}

SecurityInformationPtr SecurityChecker::securityInformationFor(const SecurityInformationPtr& parent,
                                                               const VPath& path) {
    return callback_.securityInformationFor(parent, path, context_);
}

void CompleteChecker::checkPath(const SecurityInformationPtr& information,
                                const VPath& path) {
    std::optional<SecurityDebugSnapshot> debugging;
    if (!SecurityDebugSnapshot::active()) {
        debugging.emplace();
    }
    SecurityInformationPtr own = _fileInformation(information, path);
    if (own->hasState(StateSkipPath)) {
        return;
    }
    if (applyPath(*own, path, false) == CallbackResult::Abort) {
        _abort();
    }
}

}  // namespace DiskSecurity
