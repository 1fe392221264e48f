#include "disksecurity/security_checker.h"

#include <algorithm>
#include <span>
#include <string>
#include <utility>

#include "platform/filesystem.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/log.h"
#include "winsecurity/object_security.h"

namespace DiskSecurity {
namespace {

// The longest child path the walk visits (MAX_PATH, the terminator not counted).
constexpr std::size_t MaxChildPath = 260;

// A path of the walk as messages, logs and callbacks show it: without the long prefix.
const wchar_t* shown(const std::wstring& path) {
    return stripLongPrefix(path.c_str());
}

std::size_t shownLength(const std::wstring& path) {
    return path.size() - static_cast<std::size_t>(shown(path) - path.c_str());
}

// Whether a name that a directory search returned joins its directory as it is: one component
// that combining would not change (it strips trailing dots, and separators make more than one
// component). Other names go the long way and are checked.
bool joinsAsItIs(const std::wstring& name) {
    return !name.empty() && name.find_first_of(L"\\/") == std::wstring::npos &&
           name.back() != L'.' && name.back() != L' ';
}

}  // namespace

CaughtError errorCategory(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const VAccessDeniedException& e) {
        return {ErrorCategory::AccessDenied, renderException(e)};
    } catch (const VFileNotFoundException& e) {
        return {ErrorCategory::NotFound, renderException(e)};
    } catch (const VPathNotFoundException& e) {
        return {ErrorCategory::NotFound, renderException(e)};
    } catch (const VSharingViolationException& e) {
        return {ErrorCategory::SharingViolation, renderException(e)};
    } catch (const vexception& e) {
        return {ErrorCategory::Other, renderException(e)};
    } catch (const RunTime::InvalidPathException& e) {
        return {ErrorCategory::InvalidPath, standardExceptionText(e)};
    } catch (const RunTime::PathNotAllowedException& e) {
        return {ErrorCategory::PathNotAllowed, standardExceptionText(e)};
    } catch (const RunTime::AccessDeniedException& e) {
        return {ErrorCategory::AccessDenied, standardExceptionText(e)};
    } catch (const RunTime::PathNotFoundException& e) {
        return {ErrorCategory::NotFound, standardExceptionText(e)};
    } catch (const RunTime::AlreadyExistsException& e) {
        return {ErrorCategory::AlreadyExists, standardExceptionText(e)};
    } catch (const RunTime::SharingViolationException& e) {
        return {ErrorCategory::SharingViolation, standardExceptionText(e)};
    } catch (const RunTime::DirectoryNotEmptyException& e) {
        return {ErrorCategory::DirectoryNotEmpty, standardExceptionText(e)};
    } catch (const std::exception& e) {
        return {ErrorCategory::Other, standardExceptionText(e)};
    }
}

CallbackResult Callback::onError(ErrorCategory, const std::wstring&, const std::wstring&, bool) {
    return CallbackResult::Continue;
}

CallbackResult Callback::beforeApply(const std::wstring&, bool) {
    return CallbackResult::Continue;
}

CallbackResult Callback::beforeCheck(const std::wstring&, bool) {
    return CallbackResult::Continue;
}

SecurityInformationPtr Callback::securityInformationFor(const SecurityInformationPtr& parent,
                                                        const std::wstring&,
                                                        TarnoComponentResolver*) {
    return parent;
}

PathStatus pathStatus(const std::wstring& path) {
    std::uint32_t attributes = 0;
    try {
        if (!fileExist(path, attributes)) {
            return PathStatus::Missing;
        }
    } catch (const VAccessDeniedException&) {
        return PathStatus::Missing;
    }
    return (attributes & Platform::FileAttribute::Directory) ? PathStatus::Directory
                                                             : PathStatus::File;
}

SecurityChecker::SecurityChecker(Callback& callback, const CheckerOptions& options,
                                 TarnoComponentResolver* context)
    : callback_(callback), options_(options), context_(context) {}

CheckerCounts SecurityChecker::counts() const {
    return CheckerCounts{
        checked_.load(std::memory_order_relaxed), wrong_.load(std::memory_order_relaxed),
        written_.load(std::memory_order_relaxed), failed_.load(std::memory_order_relaxed)};
}

std::uint32_t SecurityChecker::objectMode(const SecurityInformation& information,
                                          const std::wstring& path, bool isDirectory) {
    std::uint32_t mode = 0;
    bool child = comparePaths(path, information.internPath()) == PathBelow;
    if (child) {
        mode |= ObjectMode::Child;
    }
    if (!isDirectory) {
        mode |= ObjectMode::File;
    }
    if (!child) {
        if (information.hasState(StateInheritHere)) {
            mode |= ObjectMode::InheritRequired;
        }
        if (information.hasState(StateExactAclHere)) {
            mode |= ObjectMode::Exact;
        }
    }
    return mode;
}

void SecurityChecker::_abort() {
    if (isDebugOn()) {
        LogManager::instance().logText(LogWarning, L"Aborting...");
    }
    throw AbortException();
}

void SecurityChecker::checkPathSecurity(const SecurityInformationPtr& information,
                                        const std::wstring& path) {
    WinSecurity::MappedAccountsScope accounts;
    // The walk carries its paths in their long form from here: the seam takes them as they
    // are, and only what is shown drops the prefix again.
    _checkPathSecurity(information, toLongPath(path), std::nullopt);
}

void SecurityChecker::_checkPathSecurity(const SecurityInformationPtr& information,
                                         const std::wstring& path,
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
        return;
    }
    _pathProcedure(own, path, knownStatus);
}

void SecurityChecker::_pathProcedure(const SecurityInformationPtr& parent, const std::wstring& path,
                                     std::optional<PathStatus> knownStatus) {
    SecurityDebugSnapshot debugging;
    LogManager& log = LogManager::instance();
    // A directory that the search just listed is not tested again.
    PathStatus status = knownStatus ? *knownStatus : pathStatus(path);
    if (status == PathStatus::Missing) {
        log.log(LogInfo, L"Path does not exist %s, skipped", shown(path));
        return;
    }
    bool isDirectory = status == PathStatus::Directory;
    SecurityInformationPtr information =
        getSecurityInformation(*parent, stripLongPrefix(path), isDirectory);
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

    if (options_.walkAllChildren) {
        if (information->hasState(StateNoPropagateHere)) {
            if (securityDebugging()) {
                log.log(LogInfo, L"No propagate security to %s children", shown(path));
            }
            return;
        }
        if (!isDirectory) {
            return;
        }
        parents_.push_back(ParentAcl{path, information.get()});
        parents_.back().acl = std::exchange(handledDirectoryDacl_, std::nullopt);
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
        return;
    }

    if (securityDebugging()) {
        log.log(LogInfo, L"Checking security for path %s using fast algorithm", shown(path));
    }
    for (const std::wstring& child : collectChildrenEntries(*information->collection(), path)) {
        if (pathStatus(child) == PathStatus::Missing) {
            log.log(LogInfo, L"Path does not exist %s, skipped", child);
            continue;
        }
        if (securityDebugging()) {
            log.log(LogInfo, L"Checking children path %s", child);
        }
        if (isDirectory) {
            checkPathSecurity(information, child);
        } else {
            checkPath(information, toLongPath(child));
        }
    }
}

CallbackResult SecurityChecker::_enumerateChildren(const SecurityInformationPtr& information,
                                                   const std::wstring& path) {
    // A path in its long form was normalised where the walk took it or its name from the search:
    // the pattern is that and the wildcard, not normalised again.
    bool longForm = shown(path) != path.c_str();
    std::wstring pattern = longForm ? path + (path.ends_with(L'\\') ? L"*.*" : L"\\*.*")
                                    : VFileName::combine(path, L"*.*");
    // The directory as the search names it, with its backslash: a plain child is this and its
    // name, neither combined nor normalised again. One buffer serves every child.
    constexpr std::wstring_view wildcard = L"*.*";
    std::wstring_view base;
    if (pattern.size() > wildcard.size() && pattern.ends_with(wildcard)) {
        base = std::wstring_view(pattern).substr(0, pattern.size() - wildcard.size());
    }
    std::wstring child;
    for (;;) {
        // Only the search itself is guarded here: the children handle their own errors, and
        // what fails while mapping a child's entries ends the walk.
        CallbackResult result = CallbackResult::Continue;
        VFileFinder finder;
        bool found = false;
        try {
            found = finder.first(pattern);
        } catch (const VAccessDeniedException&) {
            // A directory that may not be listed has nothing to secure below it.
            return CallbackResult::Continue;
        } catch (...) {
            result = _handleError(path, information.get());
        }
        while (found) {
            const std::wstring& name = finder.name();
            if (name != L"." && name != L".." &&
                !(finder.attributes() & Platform::FileAttribute::ReparsePoint)) {
                bool asItIs = !base.empty() && base.back() == L'\\' && joinsAsItIs(name);
                if (asItIs) {
                    child.assign(base);
                    child += name;
                } else {
                    child = VFileName::combine(path, name);
                }
                CallbackResult plain = shownLength(child) > MaxChildPath
                                           ? _tooLong(information, child)
                                       : asItIs ? CallbackResult::Continue
                                                : _isPlainChild(information, path, name, child);
                if (plain == CallbackResult::Abort) {
                    result = plain;
                    break;
                }
                if (plain == CallbackResult::Continue) {
                    if (finder.isDirectory()) {
                        _checkPathSecurity(information, child, PathStatus::Directory);
                    } else {
                        checkPath(information, child);
                    }
                }
            }
            try {
                found = finder.next();
            } catch (...) {
                result = _handleError(path, information.get());
                found = false;
            }
        }
        if (result != CallbackResult::Retry) {
            return result;
        }
    }
}

CallbackResult SecurityChecker::_isPlainChild(const SecurityInformationPtr& information,
                                              const std::wstring& path, const std::wstring& name,
                                              const std::wstring& child) {
    // A name is one component: whatever the search returns must lead to an object directly
    // below the directory, never elsewhere.
    if (comparePaths(VFileName::removeFileSpec(child), path) == PathEqual &&
        comparePaths(child, path) == PathBelow) {
        return CallbackResult::Continue;
    }
    CallbackResult result =
        _handleError(child, information.get(),
                     CaughtError{ErrorCategory::InvalidPath,
                                 formatString(L"The name '%s' found in %s is not a plain name",
                                              name, stripLongPrefix(path))});
    return result == CallbackResult::Abort ? result : CallbackResult::Ignore;
}

CallbackResult SecurityChecker::_tooLong(const SecurityInformationPtr& information,
                                         const std::wstring& child) {
    // Skipped, but said: a check-only run must name what it could not check.
    CallbackResult result = _handleError(
        child, information.get(),
        CaughtError{ErrorCategory::InvalidPath,
                    formatString(L"Cannot check path %s, because it is longer than %u characters.",
                                 shown(child), MaxChildPath)});
    return result == CallbackResult::Abort ? result : CallbackResult::Ignore;
}

CallbackResult SecurityChecker::_handleError(const std::wstring& path,
                                             const SecurityInformation* information) {
    return _handleError(path, information, errorCategory(std::current_exception()));
}

CallbackResult SecurityChecker::_handleError(const std::wstring& path,
                                             const SecurityInformation* information,
                                             const CaughtError& error) {
    failed_.fetch_add(1, std::memory_order_relaxed);
    bool allFlag8 = information && !information->hasState(StateEntryWithoutFlag8);
    CallbackResult result = onError(error.category, error.text, path, allFlag8);
    if (result == CallbackResult::Continue) {
        result = CallbackResult::Ignore;
    }
    LogManager::instance().log(result == CallbackResult::Abort ? LogError : LogWarning, L"%s",
                               error.text);
    return result;
}

CallbackResult SecurityChecker::applyPath(const SecurityInformation& information,
                                          const std::wstring& path, bool isDirectory, bool listed) {
    for (;;) {
        handledDirectoryDacl_.reset();
        CallbackResult result = beforeCheck(path, isDirectory);
        if (result == CallbackResult::Ignore) {
            return result;
        }
        bool opened = false;
        try {
            Platform::UniqueHandle handle =
                WinSecurity::openForSecurity(path, isDirectory, listed && isDirectory);
            if (!options_.allowLinks) {
                std::wstring real = WinSecurity::getFileNameFromHandle(handle.get());
                if (comparePaths(path, real) != PathEqual) {
                    LogManager::instance().log(LogWarning,
                                               L"Cannot apply security to path %s, because it "
                                               L"points to another path %s. Links are not allowed.",
                                               shown(path), real);
                    return CallbackResult::Ignore;
                }
            }
            if (CallbackResult refused =
                    _mayWriteThrough(handle.get(), information, path, isDirectory);
                refused != CallbackResult::Continue) {
                return refused;
            }
            opened = true;
            VAcl dacl = readDacl(handle.get(), path, isDirectory);
            checked_.fetch_add(1, std::memory_order_relaxed);
            std::uint32_t mode = objectMode(information, path, isDirectory);
            // An object that must stop inheriting is rewritten while it still inherits,
            // whatever its explicit part says.
            bool wrong = (dacl.hasInheritedAce() && information.hasState(StateBreaksInheritance)) ||
                         isDaclWrong(dacl, information, mode);
            if (wrong) {
                wrong_.fetch_add(1, std::memory_order_relaxed);
                result = applySecurity(information, dacl, handle.get(), path, mode);
            }
            if (isDirectory && !options_.allowLinks && result == CallbackResult::Continue) {
                _keepDirectoryDacl(handle.get(), std::move(dacl),
                                   wrong && options_.mode == CheckMode::Repair);
            }
        } catch (const AbortException&) {
            throw;
        } catch (const StopRunException&) {
            throw;
        } catch (vexception& e) {
            if (opened) {
                // The read and the write of a descriptor go by handle: their errors do not
                // say which object failed.
                e.add(VSITE_TEXT(L"security of " + stripLongPrefix(path),
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

void SecurityChecker::_keepDirectoryDacl(Platform::Handle handle, VAcl read, bool written) {
    if (!written) {
        handledDirectoryDacl_ = std::move(read);
        return;
    }
    try {
        handledDirectoryDacl_ = WinSecurity::getObjectDacl(handle);
    } catch (const vexception&) {
        // Its children read it by name then, and meet the failure there if it lasts.
    }
}

CallbackResult SecurityChecker::_mayWriteThrough(Platform::Handle handle,
                                                 const SecurityInformation& information,
                                                 const std::wstring& path, bool isDirectory) {
    Platform::ByHandleFileInformation object;
    if (!Platform::getFileInformationByHandle(handle, object)) {
        throwOsError(formatString(L"Unable to get the information of the object (%s)",
                                  stripLongPrefix(path)),
                     Platform::getLastError(), VSITE("DiskSecurity::SecurityChecker::applyPath"));
    }
    std::wstring refusal;
    if (!isDirectory && object.numberOfLinks > 1) {
        // A file has one descriptor for all its names: written through a name in the
        // webspace, it would change a file that may be anyone's under its other name.
        refusal = formatString(
            L"Cannot apply security to path %s, because it has %u hard links. "
            L"Hard links are not allowed.",
            shown(path), object.numberOfLinks);
    } else if (isDirectory && !options_.allowLinks &&
               (object.attributes & Platform::FileAttribute::ReparsePoint)) {
        // A folder that became a link after its parent was listed: the open took the link
        // itself, whose final path is its own.
        refusal = formatString(
            L"Cannot apply security to path %s, because it is a reparse point. "
            L"Links are not allowed.",
            shown(path));
    }
    if (refusal.empty()) {
        return CallbackResult::Continue;
    }
    CallbackResult result = _handleError(
        path, &information, CaughtError{ErrorCategory::PathNotAllowed, std::move(refusal)});
    return result == CallbackResult::Abort ? result : CallbackResult::Ignore;
}

VAcl SecurityChecker::readDacl(Platform::Handle handle, const std::wstring&, bool) {
    return WinSecurity::getObjectDacl(handle);
}

bool SecurityChecker::isDaclWrong(const VAcl& dacl, const SecurityInformation& information,
                                  std::uint32_t mode) {
    // The answer depends on nothing but the DACL's bytes, the information and the mode; while
    // the informations of a directory being enumerated live, the last one is remembered.
    ParentAcl* directory = parents_.empty() ? nullptr : &parents_.back();
    if (!directory || dacl.get() == nullptr || securityDebugging() ||
        (&information != directory->information && &information != directory->plainFile.get())) {
        return _judgeDacl(dacl, information, mode);
    }
    // AclSize, little-endian (MS-DTYP 2.4.5).
    std::size_t size = dacl.get()[2] | static_cast<std::size_t>(dacl.get()[3]) << 8;
    std::span<const std::uint8_t> bytes(dacl.get(), size);
    if (directory->judgedWith == &information && directory->judgedMode == mode &&
        std::ranges::equal(bytes, directory->judgedAcl)) {
        return directory->judgedWrong;
    }
    bool wrong = _judgeDacl(dacl, information, mode);
    directory->judgedWith = &information;
    directory->judgedMode = mode;
    directory->judgedAcl.assign(bytes.begin(), bytes.end());
    directory->judgedWrong = wrong;
    return wrong;
}

bool SecurityChecker::_judgeDacl(const VAcl& dacl, const SecurityInformation& information,
                                 std::uint32_t mode) {
    if ((mode & ObjectMode::InheritRequired) && !dacl.hasInheritedAce()) {
        if (securityDebugging()) {
            LogManager::instance().logText(LogInfo,
                                           L"Inherit permissions from parent requires failed");
        }
        return true;
    }
    std::uint32_t compareFlags = mode & (CompareFlag::Exact | CompareFlag::ThisObjectOnly);
    if (compareControls(requiredControlFor(information, mode), fromAcl(dacl), compareFlags)) {
        return false;
    }
    if (securityDebugging()) {
        LogManager::instance().log(LogInfo, L"DACL is wrong, DACL dump:\n%s",
                                   dacl.dump(mapGenericAccess));
    }
    return true;
}

const VAccessControl& SecurityChecker::_inheritedFor(const std::wstring& path, bool isFile,
                                                     std::optional<VAccessControl>& scratch) {
    std::wstring parentPath = VFileName::removeFileSpec(path);
    if (!parents_.empty() && comparePaths(parents_.back().path, parentPath) == PathEqual) {
        // The children of one directory share its DACL: read once, not once per child.
        ParentAcl& parent = parents_.back();
        if (!parent.acl) {
            parent.acl = WinSecurity::getParentDacl(path);
        }
        std::optional<VAccessControl>& inherited = isFile ? parent.forFile : parent.forFolder;
        if (!inherited) {
            inherited = inheritedControl(*parent.acl, isFile);
        }
        return *inherited;
    }
    scratch = inheritedControl(WinSecurity::getParentDacl(path), isFile);
    return *scratch;
}

CallbackResult SecurityChecker::applySecurity(const SecurityInformation& information,
                                              const VAcl& existing, Platform::Handle handle,
                                              const std::wstring& path, std::uint32_t mode) {
    bool isFile = (mode & ObjectMode::File) != 0;
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
    std::optional<VAccessControl> scratch;
    NewAcl newAcl =
        computeNewAcl(information, existing, _inheritedFor(path, isFile, scratch), mode);
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
    if (!simulate) {
        if (options_.journal) {
            try {
                options_.journal->record(path, handle);
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

SecurityInformationPtr SecurityChecker::_fileInformation(const SecurityInformationPtr& information,
                                                         const std::wstring& path) {
    if (parents_.empty() || parents_.back().information != information.get() ||
        securityDebugging()) {
        return getSecurityInformation(*information, stripLongPrefix(path), false);
    }
    // A file has entries of its own only where entries lie below its directory.
    const VEntryCollection& collection = *information->collection();
    const Path2EntriesPtr& mapping = information->entries();
    if ((!mapping || mapping->entriesBelow()) &&
        collection.entries.find(path) != collection.entries.end()) {
        return getSecurityInformation(*information, stripLongPrefix(path), false);
    }
    ParentAcl& directory = parents_.back();
    if (!directory.plainFile) {
        directory.plainFile = getSecurityInformation(*information, stripLongPrefix(path), false);
    }
    return directory.plainFile;
}

void SecurityChecker::_report(const std::wstring& path) {
    if (options_.report) {
        options_.report->append(stripLongPrefix(path));
    }
}

void SecurityChecker::checkPath(const SecurityInformationPtr& information,
                                const std::wstring& path) {
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
                                        const std::wstring& path, bool allEntriesFlag8) {
    return callback_.onError(category, text, stripLongPrefix(path), allEntriesFlag8);
}

CallbackResult SecurityChecker::beforeApply(const std::wstring& path, bool isDirectory) {
    return callback_.beforeApply(stripLongPrefix(path), isDirectory);
}

CallbackResult SecurityChecker::beforeCheck(const std::wstring& path, bool isDirectory) {
    return callback_.beforeCheck(stripLongPrefix(path), isDirectory);
}

SecurityInformationPtr SecurityChecker::securityInformationFor(const SecurityInformationPtr& parent,
                                                               const std::wstring& path) {
    return callback_.securityInformationFor(parent, stripLongPrefix(path), context_);
}

void CompleteChecker::checkPath(const SecurityInformationPtr& information,
                                const std::wstring& path) {
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
