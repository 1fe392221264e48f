// The hosting security manager: what a command works with, made of the units that each do one
// job. The metadata set (metadata_set.h) holds the entries and their file; the locator
// (metadata_locator.h) says which file governs which path, from the root of all webspaces;
// the expander (template_expander.h) and the default templates (default_templates.h) fill the
// set; the walk (security_walk.h) runs the checker with it, confined, journaled and reported
// as the run says. The manager holds one of each for a command, the run's journal and a COM
// apartment, and passes each request to the unit that does it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "accounts/user_information.h"
#include "disksecurity/entry_template.h"
#include "disksecurity/security_checker.h"
#include "manager/metadata_locator.h"
#include "manager/metadata_paths.h"
#include "manager/metadata_set.h"
#include "manager/security_walk.h"
#include "runtime/com_apartment.h"

namespace Tavrel {

class RunJournal;

class SecurityManager {
public:
    // An empty set, no metadata file, the root taken from HTTPD_VHOSTS_D on first use.
    // `journal` (not owned; null: none) is the run's: the walks record each object in it before
    // they write it and the saves keep the files they replace, when it journals. The manager
    // holds a COM apartment for the calling thread for its lifetime (the XML reader is a COM
    // object on Windows); a failure to enter one raises the COM error.
    explicit SecurityManager(std::shared_ptr<IUserInformation> accountResolver,
                             RunJournal* journal = nullptr);
    SecurityManager(const SecurityManager&) = delete;
    SecurityManager& operator=(const SecurityManager&) = delete;
    ~SecurityManager();

    // --- the units ---
    MetadataSet& metadata() { return metadata_; }
    MetadataLocator& locator() { return locator_; }
    SecurityWalk& walk() { return walk_; }

    // --- the set ---
    const std::shared_ptr<DiskSecurity::EntryTemplateSet>& entries() const {
        return metadata_.entries();
    }
    const std::wstring& metadataPath() const { return metadata_.file(); }
    const std::shared_ptr<IUserInformation>& accountResolver() const {
        return metadata_.accountResolver();
    }
    void setSkipUnmappedAccounts(bool skip) { metadata_.setSkipUnmappedAccounts(skip); }
    // MetadataSet::load.
    void load(const std::wstring& file, bool tolerant) { metadata_.load(file, tolerant); }
    // MetadataSet::save, below the walk's confinement, into the run's journal.
    void saveToFile(const std::wstring& fileName);
    // MetadataSet::removeEntriesOf.
    std::vector<DiskSecurity::EntryTemplate> removeEntriesOf(const SecurityManager& other) {
        return metadata_.removeEntriesOf(other.metadata_);
    }

    // --- paths ---
    const std::wstring& root() { return locator_.root(); }
    void setRoot(std::wstring path) { locator_.setRoot(std::move(path)); }
    std::wstring metadataFileFor(const std::wstring& path) {
        return locator_.metadataFileFor(VPath(path));
    }
    // The directory the entries cover: the confinement when one is set, else the locator's
    // scope of the entries.
    VPath scopePath();
    static std::wstring domainMetadataFile(const std::wstring& webspace, const std::wstring& base) {
        return MetadataLocator::domainMetadataFile(webspace, base);
    }
    static std::wstring webUserMetadataFile(const std::wstring& webspace,
                                            const std::wstring& webUser, const std::wstring& base) {
        return MetadataLocator::webUserMetadataFile(webspace, webUser, base);
    }

    // --- the walk ---
    void confineTo(VPath directory) { walk_.confineTo(std::move(directory)); }
    void setReportFile(DiskSecurity::ReportFile* report) { walk_.setReportFile(report); }
    void setProgress(IProgress* progress) { walk_.setProgress(progress); }
    void requireNoDamagedMetadata() const { walk_.requireNoDamagedMetadata(); }
    void requireEverythingChecked() const { walk_.requireEverythingChecked(); }
    // SecurityWalk::run over `path` (SecurityChecker, or CompleteChecker for the complete
    // forms), or over scopePath() for the ...ToScope forms.
    void applySecurity(const VPath& path, DiskSecurity::Callback* callback,
                       DiskSecurity::CheckMode mode, bool fullScan);
    void applyCompleteSecurity(const VPath& path, DiskSecurity::Callback* callback,
                               DiskSecurity::CheckMode mode, bool fullScan);
    void applyToScope(DiskSecurity::Callback* callback, DiskSecurity::CheckMode mode,
                      bool fullScan);
    void applyCompleteToScope(DiskSecurity::Callback* callback, DiskSecurity::CheckMode mode,
                              bool fullScan);
    // The complete walk over scopePath() with the checker `makeChecker` builds.
    void applyCheckerToScope(const SecurityWalk::CheckerFactory& makeChecker,
                             DiskSecurity::CheckMode mode, bool fullScan);
    // Applies (the fast algorithm) over `path`, then saves to the bound metadata file.
    void commit(const VPath& path, bool complete, DiskSecurity::Callback* callback,
                DiskSecurity::CheckMode mode);

    // --- filling the set ---
    void createDomainTemplate();
    void createFrameForwardingTemplate();
    void createWebUserTemplate();
    // The expansions of template_expander.h into this manager's set, from its root.
    void expandWebspaceTemplate(const std::wstring& webspace, const std::wstring& systemUser,
                                const std::wstring& templateFile);
    void expandWebUserTemplate(const std::wstring& webspace, const std::wstring& systemUser,
                               const std::wstring& webUser, const std::wstring& templateFile);
    void expandFileSharingTemplate(const std::wstring& area, const std::wstring& templateFile);
    void expandUserFileSharingTemplate(const std::wstring& area, const std::wstring& basePath,
                                       const std::wstring& userAccount, const std::wstring& tag2,
                                       const std::wstring& templateName);

    // The run's journal when it journals, else null.
    RunJournal* journal() const;

private:
    // First, so that it is entered before and left after everything the manager holds.
    ComApartment apartment_;
    RunJournal* journal_;  // not owned
    MetadataSet metadata_;
    MetadataLocator locator_;
    SecurityWalk walk_;
};

// Load the metadata of webspace W, of a directory, or of web user U of W (with the default
// base) into `manager`. A missing file is logged as a warning and gives an empty set bound to
// that file, so that a later save creates it. A damaged web user's file is moved aside under a
// name of its own (kept first in the run's journal), and the web user's metadata is built anew.
void loadDomainMetadata(const std::wstring& webspace, SecurityManager& manager);
void loadPathMetadata(const VPath& directory, SecurityManager& manager);
void loadWebUserMetadata(const std::wstring& webspace, const std::wstring& webUser,
                         SecurityManager& manager);

}  // namespace Tavrel
