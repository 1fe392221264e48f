#include "manager/security_walk.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

#include "disksecurity/entry_collection.h"
#include "disksecurity/path_templates.h"
#include "disksecurity/template_xml.h"
#include "manager/journal.h"
#include "manager/metadata_paths.h"
#include "runtime/filename.h"
#include "runtime/log.h"
#include "runtime/scoped_value.h"
#include "winsecurity/object_security.h"

namespace Tavrel {
namespace {

using namespace DiskSecurity;

// How often a walk shows where it is: at most every 250 ms, the clock read only every 64th
// object, so that a walk of small files does not pay for it.
constexpr auto showInterval = std::chrono::milliseconds(250);
constexpr std::uint32_t clockEvery = 0x40;

}  // namespace

SecurityWalk::SecurityWalk(MetadataLocator& locator, RunJournal* journal)
    : locator_(locator), journal_(journal) {}

void SecurityWalk::run(const VPath& path, const MetadataSet& metadata, Callback* callback,
                       CheckMode mode, bool fullScan, bool complete,
                       const CheckerFactory* makeChecker) {
    _requireConfined(path);
    TarnoComponentResolver context;
    Callback defaults;
    std::unique_ptr<SecurityChecker> checker;
    ScopedValue<Callback*> chained(chainedCallback_, callback ? callback : &defaults);
    ScopedValue<const MetadataSet*> applied(metadata_, &metadata);
    bool journaled = changesDisk(mode) && journal_ && journal_->records();
    CheckerOptions options{mode, fullScan, false, nullptr, journaled ? journal_ : nullptr};
    checker = _makeChecker(options, context, complete, makeChecker);
    ScopedValue<SecurityChecker*> active(activeChecker_, checker.get());
    if (changesDisk(mode) && !takeOverPrivileges_) {
        WinSecurity::enableTakeOverPrivileges();
        takeOverPrivileges_ = true;
    }

    const EntryTemplateSet& entries = *metadata.entries();
    auto collection = RealEntryCollection(entries).getPathEntryCollection(
        longPathOfEachPart(path.shownText(), true), context, changesDisk(mode), _folderAnchor());
    auto root = std::make_shared<SecurityInformation>(collection, entries.sourcePath());
    try {
        checker->checkPathSecurity(root, path);
    } catch (const AbortException&) {
        // An abort ends this step; the command goes on with its next one.
    } catch (const StopRunException& stop) {
        std::rethrow_exception(stop.cause);
    }
    if (progress_) {
        progress_->onProgress(path, checker->counts(), true);
    }
}

void SecurityWalk::_requireConfined(const VPath& path) {
    if (confinement_.empty()) {
        return;
    }
    // A path outside all webspaces is named as such first.
    locator_.relativeOf(path);
    if (!path.isAtOrBelow(confinement_)) {
        throw vexception(formatString(L"The path %s lies outside %s, which this run may change",
                                      path.shown(), confinement_.shown()),
                         VSITE("Tavrel::SecurityManager::applySecurity"));
    }
}

std::unique_ptr<SecurityChecker> SecurityWalk::_makeChecker(CheckerOptions& options,
                                                            TarnoComponentResolver& context,
                                                            bool complete,
                                                            const CheckerFactory* makeChecker) {
    if (makeChecker) {
        return (*makeChecker)(*this, options, &context);
    }
    if (complete) {
        options.report = reportFile_;
        return std::make_unique<CompleteChecker>(*this, options, &context);
    }
    return std::make_unique<SecurityChecker>(*this, options, &context);
}

CallbackResult SecurityWalk::onError(ErrorCategory category, const std::wstring& text,
                                     const VPath& path, bool allEntriesFlag8) {
    ++uncheckedObjects_;
    return chainedCallback_ ? chainedCallback_->onError(category, text, path, allEntriesFlag8)
                            : Callback::onError(category, text, path, allEntriesFlag8);
}

CallbackResult SecurityWalk::beforeApply(const VPath& path, bool isDirectory) {
    return chainedCallback_ ? chainedCallback_->beforeApply(path, isDirectory)
                            : Callback::beforeApply(path, isDirectory);
}

CallbackResult SecurityWalk::beforeCheck(const VPath& path, bool isDirectory) {
    if (progress_ && activeChecker_ && (++progressTick_ % clockEvery) == 0) {
        auto now = std::chrono::steady_clock::now();
        if (now - lastShown_ >= showInterval) {
            lastShown_ = now;
            progress_->onProgress(path, activeChecker_->counts(), false);
        }
    }
    return chainedCallback_ ? chainedCallback_->beforeCheck(path, isDirectory)
                            : Callback::beforeCheck(path, isDirectory);
}

SecurityInformationPtr SecurityWalk::securityInformationFor(const SecurityInformationPtr& parent,
                                                            const VPath& path,
                                                            TarnoComponentResolver* context) {
    // A path outside the root of all webspaces raises the root-correlation error: what governs
    // it is unknown.
    std::wstring file = locator_.metadataFileFor(path);
    if (comparePaths(file, parent->sourcePath()) == PathEqual) {
        // The metadata in effect above governs this directory too, as it was loaded.
        return parent;
    }
    if (fileExist(file)) {
        LogManager::instance().log(LogInfo,
                                   L"Loading new security metadata from %s, old storage was %s",
                                   file, parent->sourcePath());
        // Checked when a file is loaded, not on every directory of the walk.
        holdMetadataInPlace(file);
        EntryTemplateSetPtr loaded = _loadSwitchedMetadata(file);
        if (!loaded) {
            return nullptr;
        }
        TarnoComponentResolver ownContext;
        bool repairFolders = !activeChecker_ || changesDisk(activeChecker_->options().mode);
        auto collection = RealEntryCollection(*loaded).getPathEntryCollection(
            VFileName::root(longPathOfEachPart(path.shownText(), true)),
            context ? *context : ownContext,
            repairFolders, _folderAnchor());
        return std::make_shared<SecurityInformation>(collection, loaded->sourcePath());
    }
    return chainedCallback_ ? chainedCallback_->securityInformationFor(parent, path, context)
                            : parent;
}

std::wstring SecurityWalk::_folderAnchor() {
    return confinement_.empty() ? locator_.root() : confinement_.shownText();
}

EntryTemplateSetPtr SecurityWalk::_loadSwitchedMetadata(const std::wstring& file) {
    try {
        return loadTemplate(file, metadata_->accountResolver(), false,
                            metadata_->skipUnmappedAccounts());
    } catch (const TemplateFormatException& e) {
        // One damaged file of a web user must not hold up the rest of the webspace: the
        // folders it governs are left as they are, and the run says so at its end.
        LogManager::instance().log(LogWarning,
                                   L"The security metadata file %s is damaged; the folders it "
                                   L"governs are left as they are: %s",
                                   file, renderException(e));
        if (std::find_if(damagedMetadata_.begin(), damagedMetadata_.end(), [&](const auto& known) {
                return comparePaths(known, file) == PathEqual;
            }) == damagedMetadata_.end()) {
            damagedMetadata_.push_back(file);
        }
        return nullptr;
    }
}

void SecurityWalk::forgetDamaged(const std::wstring& file) {
    std::erase_if(damagedMetadata_, [&](const std::wstring& known) {
        return comparePaths(known, file) == PathEqual;
    });
}

void SecurityWalk::requireEverythingChecked() const {
    requireNoDamagedMetadata();
    if (uncheckedObjects_ != 0) {
        throw vexception(formatString(L"%u objects could not be checked or repaired; the log "
                                      L"names each with its reason",
                                      static_cast<std::uint32_t>(uncheckedObjects_)),
                         VSITE("Tavrel::SecurityManager::requireEverythingChecked"));
    }
}

void SecurityWalk::requireNoDamagedMetadata() const {
    if (!rebuiltMetadata_.empty() && damagedMetadata_.empty()) {
        std::wstring files;
        for (const auto& [file, kept] : rebuiltMetadata_) {
            files += (files.empty() ? L"" : L", ") + stripLongPrefix(file) + L" (kept as " +
                     stripLongPrefix(kept) + L")";
        }
        throw vexception(formatString(L"Damaged security metadata was built anew from the "
                                      L"template: %s; the entries it held are not in the new file",
                                      files),
                         VSITE("Tavrel::SecurityManager::requireNoDamagedMetadata"));
    }
    if (damagedMetadata_.empty()) {
        return;
    }
    std::wstring files;
    for (const std::wstring& file : damagedMetadata_) {
        files += (files.empty() ? L"" : L", ") + stripLongPrefix(file);
    }
    throw vexception(formatString(L"Damaged security metadata left as it was: %s; the folders "
                                  L"it governs were not checked",
                                  files),
                     VSITE("Tavrel::SecurityManager::requireNoDamagedMetadata"));
}

}  // namespace Tavrel
