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
#include "winsecurity/object_security.h"

namespace DiskSecurity {
namespace {

// The longest path the walk visits: what the long-path functions of Windows take, the
// terminator not counted and the "\\?\" prefix counted.
constexpr std::size_t MaxLongPath = Platform::PathCchMaxCch - 1;
constexpr std::size_t LongPrefix = 4;

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

// What an error says on one line (an audit line is one line and its fields are tab-separated).
std::wstring oneLine(std::wstring text) {
    for (wchar_t& c : text) {
        if (c == L'\t' || c == L'\r' || c == L'\n') {
            c = L' ';
        }
    }
    while (!text.empty() && text.back() == L' ') {
        text.pop_back();
    }
    return text;
}

// What `path` is, and whether asking was refused (`denied`; the path then counts as missing).
PathStatus statusOf(const std::wstring& path, bool& denied) {
    denied = false;
    std::uint32_t attributes = 0;
    try {
        if (!fileExist(path, attributes)) {
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
    bool denied = false;
    return statusOf(path, denied);
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
        skipped(shown(path), L"damaged metadata");
        return;
    }
    _pathProcedure(own, path, knownStatus);
}

void SecurityChecker::_pathProcedure(const SecurityInformationPtr& parent, const std::wstring& path,
                                     std::optional<PathStatus> knownStatus) {
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
        parents_.push_back(ParentAcl{&path, information.get()});
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
        PathStatus childStatus = statusOf(child, denied);
        if (denied) {
            if (_openRefused(child, information.get()) == CallbackResult::Abort) {
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
    auto pattern = [&] {
        return longForm ? path + (path.ends_with(L'\\') ? L"*.*" : L"\\*.*")
                        : VFileName::combine(path, L"*.*");
    };
    // The directory as the search names it, with its backslash: a plain child is this and its
    // name, neither combined nor normalised again. One buffer serves every child. Each level
    // of the walk holds these two while it goes deeper, and nothing else of the path's length.
    constexpr std::wstring_view wildcard = L"*.*";
    std::wstring base = pattern();
    base.resize(base.size() > wildcard.size() && base.ends_with(wildcard)
                    ? base.size() - wildcard.size()
                    : 0);
    base.shrink_to_fit();
    std::wstring child;
    child.reserve(base.size() + Platform::MaxPath);
    for (;;) {
        // Only the search itself is guarded here: the children handle their own errors, and
        // what fails while mapping a child's entries ends the walk.
        CallbackResult result = CallbackResult::Continue;
        VFileFinder finder;
        bool found = false;
        try {
            found = finder.first(pattern());
        } catch (const VAccessDeniedException& e) {
            // What lies below a folder that may not be listed is unknown: said, not taken as
            // nothing.
            result = _refuse(path, information.get(), ErrorCategory::AccessDenied,
                             formatString(L"Cannot check what lies in %s, because its listing "
                                          L"is refused: %s",
                                          shown(path), oneLine(renderException(e))),
                             L"listing refused");
        } catch (...) {
            result = _handleError(path, information.get());
        }
        while (found) {
            const std::wstring& name = finder.name();
            if (name != L"." && name != L".." &&
                (finder.attributes() & Platform::FileAttribute::ReparsePoint)) {
                // A link leads elsewhere: neither it nor what it reaches is secured here.
                std::wstring link = VFileName::combine(path, name);
                CallbackResult refused = _refuse(
                    link, information.get(), ErrorCategory::PathNotAllowed,
                    formatString(L"Cannot apply security to path %s, because it is a link or "
                                 L"another reparse point. Links are not allowed.",
                                 shown(link)),
                    L"link");
                if (refused == CallbackResult::Abort) {
                    result = refused;
                    break;
                }
            } else if (name != L"." && name != L"..") {
                bool asItIs = !base.empty() && base.back() == L'\\' && joinsAsItIs(name);
                if (asItIs) {
                    child.assign(base);
                    child += name;
                } else {
                    child = VFileName::combine(path, name);
                }
                CallbackResult plain = shownLength(child) + LongPrefix > MaxLongPath
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
    return _refuse(child, information.get(), ErrorCategory::InvalidPath,
                   formatString(L"The name '%s' found in %s is not a plain name", name,
                                stripLongPrefix(path)),
                   L"not a plain name");
}

CallbackResult SecurityChecker::_tooLong(const SecurityInformationPtr& information,
                                         const std::wstring& child) {
    // Skipped, but said: a check-only run must name what it could not check.
    return _refuse(child, information.get(), ErrorCategory::InvalidPath,
                   formatString(L"Cannot check path %s, because it is longer than the %u "
                                L"characters of a Windows path.",
                                shown(child), static_cast<std::uint32_t>(MaxLongPath)),
                   formatString(L"too long, %u characters",
                                static_cast<std::uint32_t>(shownLength(child))));
}

CallbackResult SecurityChecker::_openRefused(const std::wstring& path,
                                             const SecurityInformation* information) {
    return _refuse(path, information, ErrorCategory::AccessDenied,
                   formatString(L"Cannot check path %s, because access to it is denied.",
                                shown(path)),
                   L"open refused");
}

CallbackResult SecurityChecker::_refuse(const std::wstring& path,
                                        const SecurityInformation* information,
                                        ErrorCategory category, std::wstring text,
                                        const std::wstring& reason) {
    CallbackResult result =
        _handleError(path, information, CaughtError{category, std::move(text)}, reason);
    return result == CallbackResult::Abort ? result : CallbackResult::Ignore;
}

CallbackResult SecurityChecker::_handleError(const std::wstring& path,
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

CallbackResult SecurityChecker::_handleError(const std::wstring& path,
                                             const SecurityInformation* information,
                                             const CaughtError& error,
                                             const std::wstring& reason) {
    failed_.fetch_add(1, std::memory_order_relaxed);
    skipped(shown(path), reason);
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
    bool tookOver = false;
    for (;;) {
        handledDirectoryDacl_.reset();
        CallbackResult result = beforeCheck(path, isDirectory);
        if (result == CallbackResult::Ignore) {
            return result;
        }
        bool opened = false;
        try {
            Platform::UniqueHandle handle;
            try {
                handle = WinSecurity::openForSecurity(path, isDirectory, listed && isDirectory);
            } catch (const VAccessDeniedException&) {
                // A DACL that shuts the tool out is no reason to leave it: the owner may always
                // rewrite the DACL, and SeTakeOwnershipPrivilege makes the tool the owner, as
                // Windows administrators do it. A check-only run changes no owner.
                if (tookOver || options_.mode != CheckMode::Repair ||
                    !_takeOwnership(path, isDirectory)) {
                    throw;
                }
                tookOver = true;
                continue;
            }
            if (!options_.allowLinks) {
                std::wstring real = WinSecurity::getFileNameFromHandle(handle.get());
                if (comparePaths(path, real) != PathEqual) {
                    return _refuse(path, &information, ErrorCategory::PathNotAllowed,
                                   formatString(L"Cannot apply security to path %s, because it "
                                                L"points to another path %s. Links are not "
                                                L"allowed.",
                                                shown(path), real),
                                   L"link");
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
    if (isDirectory && !options_.allowLinks &&
        (object.attributes & Platform::FileAttribute::ReparsePoint)) {
        // A folder that became a link after its parent was listed: the open took the link
        // itself, whose final path is its own.
        return _refuse(path, &information, ErrorCategory::PathNotAllowed,
                       formatString(L"Cannot apply security to path %s, because it is a reparse "
                                    L"point. Links are not allowed.",
                                    shown(path)),
                       L"link");
    }
    return CallbackResult::Continue;
}

bool SecurityChecker::_takeOwnership(const std::wstring& path, bool isDirectory) {
    // Opened for WRITE_OWNER alone, as the object itself (never a link's target), and judged by
    // its handle: a second name or a link makes the owner of someone else's object nobody's
    // business of this walk.
    Platform::UniqueHandle handle(Platform::createFile(
        path, Platform::File::WriteOwner | Platform::File::ReadAttributes,
        Platform::File::ShareRead | Platform::File::ShareWrite, Platform::File::OpenExisting,
        Platform::File::FlagBackupSemantics | Platform::File::FlagOpenReparsePoint));
    Platform::ByHandleFileInformation object;
    if (!handle || !Platform::getFileInformationByHandle(handle.get(), object) ||
        (object.attributes & Platform::FileAttribute::ReparsePoint) ||
        ((object.attributes & Platform::FileAttribute::Directory) != 0) != isDirectory ||
        (!isDirectory && object.numberOfLinks > 1)) {
        return false;
    }
    // Reached as the walk's own opens are: a folder on the way swapped for a link since the
    // listing leads elsewhere, and the owner of what lies there is not this walk's to take.
    if (!options_.allowLinks &&
        comparePaths(WinSecurity::getFileNameFromHandle(handle.get()), path) != PathEqual) {
        return false;
    }
    // The descriptor cannot be read before (that is what is refused); the journal records it
    // when the DACL is written, with the new owner.
    WinSecurity::takeOwnership(handle.get(), path);
    LogManager::instance().log(LogInfo,
                               L"Took ownership of %s, whose DACL shut the tool out", shown(path));
    return true;
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
    if (!parents_.empty() && comparePaths(*parents_.back().path, parentPath) == PathEqual) {
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

void SecurityChecker::skipped(const std::wstring&, const std::wstring&) {}

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
