// The hosting security manager: one set of security metadata (an EntryTemplateSet), the file
// it lives in and the root of all webspaces from which its relative paths count. Commands fill
// a manager by loading a metadata file, by building a default template or by expanding a panel
// template for one webspace or web user, and save it. Where metadata lives is the business of
// metadata_paths.h; the manager's path operations answer it for the manager's root and
// HTTPD_VHOSTS_D.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/user_information.h"
#include "disksecurity/entry_template.h"
#include "disksecurity/security_checker.h"
#include "manager/metadata_paths.h"
#include "runtime/com_apartment.h"
#include "runtime/exceptions.h"
#include "runtime/held_directory.h"

namespace Tavrel {

// The first character of `value` that no metadata file can carry (XML 1.0 takes no control
// character but tab, line feed and carriage return, not even as a reference), or 0 for none.
wchar_t firstCharacterXmlCannotCarry(const std::wstring& value);

// What a run shows of a walk while it goes: the manager hands the active checker's counts to
// it now and then, and once more when an apply step ends.
class IProgress {
public:
    virtual ~IProgress() = default;
    // `done`: the apply step over `path` has ended (the counts are final).
    virtual void onProgress(const std::wstring& path, const DiskSecurity::CheckerCounts& counts,
                            bool done) = 0;
};

// A manager is also the callback of the checkers it runs: it loads the metadata of a web user
// when the walk enters that user's directory and forwards the other questions to the caller's
// callback.
class SecurityManager : public DiskSecurity::Callback {
public:
    // Tag to account name, for template expansion. Tags compare case-sensitively.
    using TagMap = std::map<std::wstring, std::wstring>;

    // An empty set, no metadata file, the root taken from HTTPD_VHOSTS_D on first use. The
    // manager holds a COM apartment for the calling thread for its lifetime (the XML reader is
    // a COM object on Windows); a failure to enter one raises the COM error.
    explicit SecurityManager(std::shared_ptr<IUserInformation> accountResolver);
    SecurityManager(const SecurityManager&) = delete;
    SecurityManager& operator=(const SecurityManager&) = delete;
    virtual ~SecurityManager();

    // --- state ---
    const std::shared_ptr<DiskSecurity::EntryTemplateSet>& entries() const { return entries_; }
    const std::wstring& metadataPath() const { return metadataPath_; }
    const std::shared_ptr<IUserInformation>& accountResolver() const { return accountResolver_; }

    // The directory from which the entries' sub paths count: while useConfiguredRoot is on and
    // no root was set, the first call fixes it to HTTPD_VHOSTS_D.
    const std::wstring& root();
    void setRoot(std::wstring path) { rootPath_ = std::move(path); }
    void setUseConfiguredRoot(bool use) { useConfiguredRoot_ = use; }

    // Entries whose account no longer resolves are logged and skipped when loading and saving
    // (on by default); off, they fail the load or the save.
    bool skipUnmappedAccounts() const { return skipUnmappedAccounts_; }
    void setSkipUnmappedAccounts(bool skip) { skipUnmappedAccounts_ = skip; }

    // The report of the complete checker (not owned; null: none), which serves every apply step
    // until it is set again, and the callback that the manager forwards the checker's
    // questions to, which belongs to the apply step.
    DiskSecurity::ReportFile* reportFile() const { return reportFile_; }
    void setReportFile(DiskSecurity::ReportFile* report) { reportFile_ = report; }
    DiskSecurity::Callback* chainedCallback() const { return chainedCallback_; }

    // --- paths ---
    // The part of `fullPath` below root(), components joined by '\' ("" for the root itself);
    // with `firstComponentOnly` only its first component. Raises RootCorrelationException for a
    // path that is not the root or below it.
    std::wstring getRootRelativePath(const std::wstring& fullPath, bool firstComponentOnly);
    // The metadata file that governs `path`: the root's own ".Security", a web user's file for
    // a path in W\web_users\U (letter case of "web_users" ignored), else the webspace's file.
    std::wstring metadataFileFor(const std::wstring& path);
    // The directory the entries cover: the confinement when one is set; else, from the first
    // entry with a sub path, root()\W or root()\W\web_users\U; root() when no entry has one.
    std::wstring scopePath();

    // base\W\.tarno\.Security (base\.Security for an empty W) and base\W\.tarno\.Web.U.Security;
    // an empty base is HTTPD_VHOSTS_D.
    static std::wstring domainMetadataFile(const std::wstring& webspace, const std::wstring& base);
    static std::wstring webUserMetadataFile(const std::wstring& webspace,
                                            const std::wstring& webUser, const std::wstring& base);

    // --- confinement ---
    // The directory that the walks of this manager may change, whatever its entries say (they
    // may come from a file that the webspace's user wrote): a walk starts only at it or below
    // it, it is the scope, entries that bear on nothing in it are logged and skipped, and the
    // folders of entries are created only below it. Empty: no confinement.
    void confineTo(std::wstring directory) { confinement_ = std::move(directory); }
    const std::wstring& confinement() const { return confinement_; }
    // The metadata files that a walk found damaged and whose directories it left as they were.
    const std::vector<std::wstring>& damagedMetadata() const { return damagedMetadata_; }
    // Raises a vexception naming every damaged metadata file that is still left as it was, and
    // every one that was built anew with its kept copy.
    void requireNoDamagedMetadata() const;
    // `file` was rebuilt: it no longer counts as left damaged.
    void forgetDamaged(const std::wstring& file);
    // `file` was damaged, kept as `kept` and built anew: the run still fails, naming both (the
    // entries the file held are gone from the new one).
    void noteRebuilt(const std::wstring& file, const std::wstring& kept) {
        rebuiltMetadata_.emplace_back(file, kept);
    }
    // requireNoDamagedMetadata, then raises a vexception when a walk of this manager could not
    // check or write an object (a link, a second name, a refusal, a path too long: each was
    // logged at Warning with its path): a run must not end well with part of its tree unseen.
    void requireEverythingChecked() const;

    // --- loading and saving ---
    // Replaces the entries by those of `file` (a template file or a directory of them; missing:
    // an empty set) and binds the manager to it. `tolerant`: bad entries are logged and dropped.
    void load(const std::wstring& file, bool tolerant);

    // Writes the entries to `fileName`, or to the bound metadata file when it is empty; a
    // given name becomes the bound one. Missing directories are created and a ".tarno"
    // directory is hidden. The file is replaced whole (AtomicFile), keeping the security of the
    // file it replaces: a reader (and a crash) sees either the old file or the new one, and the
    // run's journal keeps the old one first. Then what killed runs left is removed from the
    // tool's own folders only: the target's directory when it is a ".tarno", and the private
    // temporary folder (removeStaleFiles).
    void saveToFile(const std::wstring& fileName);

    // --- applying ---
    // Runs the security checker (SecurityChecker, or CompleteChecker for the complete forms,
    // with the report file) over `path` with this manager's entries: `mode` is the checker's,
    // `fullScan` its walkAllChildren; links are refused. `callback` (null:
    // the default answers) hears the checker's questions for the run. An abort of the walk
    // ends the step quietly; every other failure passes.
    void applySecurity(const std::wstring& path, DiskSecurity::Callback* callback,
                       DiskSecurity::CheckMode mode, bool fullScan);
    void applyCompleteSecurity(const std::wstring& path, DiskSecurity::Callback* callback,
                               DiskSecurity::CheckMode mode, bool fullScan);
    // The same over scopePath().
    void applyToScope(DiskSecurity::Callback* callback, DiskSecurity::CheckMode mode,
                      bool fullScan);
    void applyCompleteToScope(DiskSecurity::Callback* callback, DiskSecurity::CheckMode mode,
                              bool fullScan);
    // The checker a walk runs: for walks that judge objects in their own way (the audit).
    using CheckerFactory = std::function<std::unique_ptr<DiskSecurity::SecurityChecker>(
        DiskSecurity::Callback& callback, const DiskSecurity::CheckerOptions& options,
        DiskSecurity::TarnoComponentResolver* context)>;
    // The complete walk over scopePath() with the checker `makeChecker` builds.
    void applyCheckerToScope(const CheckerFactory& makeChecker, DiskSecurity::CheckMode mode,
                             bool fullScan);
    // Applies (the fast algorithm) over `path`, then saves to the bound metadata file.
    void commit(const std::wstring& path, bool complete, DiskSecurity::Callback* callback,
                DiskSecurity::CheckMode mode);
    // Where the walks of this manager report their progress (not owned; null: nowhere).
    void setProgress(IProgress* progress) { progress_ = progress; }

    // --- the checker's callback ---
    DiskSecurity::CallbackResult onError(DiskSecurity::ErrorCategory category,
                                         const std::wstring& text, const std::wstring& path,
                                         bool allEntriesFlag8) override;
    DiskSecurity::CallbackResult beforeApply(const std::wstring& path, bool isDirectory) override;
    DiskSecurity::CallbackResult beforeCheck(const std::wstring& path, bool isDirectory) override;
    // The information for `path` and below: a new root information over the metadata file
    // that governs the path when that file exists and is not the one the parent information
    // came from; else the chained callback's answer, or the parent information.
    DiskSecurity::SecurityInformationPtr securityInformationFor(
        const DiskSecurity::SecurityInformationPtr& parent, const std::wstring& path,
        DiskSecurity::TarnoComponentResolver* context) override;

    // --- default templates ---
    // Each appends its rows, for the Null account with a role in Tag, below "[HTTPD_VHOSTS_D]".
    void createDomainTemplate();           // 39 entries for a whole webspace
    void createFrameForwardingTemplate();  // 1 entry
    void createWebUserTemplate();          // 5 entries for a web user's directory

    // --- template expansion ---
    // Each loads the template into a temporary manager, binds every role to its account,
    // places every sub path below the webspace (or web user) and adds the results that the set
    // does not hold yet; then binds this manager to the webspace's (web user's, area's)
    // metadata file. The names must be plain path components (requirePlainName).
    void expandWebspaceTemplate(const std::wstring& webspace, const std::wstring& systemUser,
                                const std::wstring& templateFile);
    void expandWebUserTemplate(const std::wstring& webspace, const std::wstring& systemUser,
                               const std::wstring& webUser, const std::wstring& templateFile);
    void expandFileSharingTemplate(const std::wstring& area, const std::wstring& templateFile);
    // `templateName` is joined to PRODUCT_ROOT_D\etc (a full path stays as it is); `basePath` is
    // the user's directory relative to the root; `tag2` (the user id) marks the user's entries.
    void expandUserFileSharingTemplate(const std::wstring& area, const std::wstring& basePath,
                                       const std::wstring& userAccount, const std::wstring& tag2,
                                       const std::wstring& templateName);

    // Drops every entry whose Tag and Tag2 (letter case ignored) are those of an entry of
    // `other`, and returns the entries dropped.
    std::vector<DiskSecurity::EntryTemplate> removeEntriesOf(const SecurityManager& other);

private:
    // The directory of a save to `directory`, held (and made when missing, with a warning).
    HeldDirectory _holdSaveDirectory(const std::wstring& directory);

    // The common core of the expansions: every entry of `source` with its tag bound through
    // `tags`, `tag2` set when not empty and `basePath` put in front of its sub path; an entry
    // that the set already holds (equal in the set order) is not added again, so that
    // expanding a template over metadata that came from it changes nothing.
    void _expandTemplate(const std::wstring& basePath, const TagMap& tags,
                         const SecurityManager& source, const std::wstring& metadataFile,
                         const std::wstring& tag2);
    // Loads `file` as the source of an expansion: the entries of unmapped accounts are kept,
    // as their tags are bound only when the template is expanded.
    void _loadTemplate(const std::wstring& file);
    // The whole document: declaration, "Entries" and one "Entry" per entry in set order.
    std::string _serializeEntries() const;
    void _apply(const std::wstring& path, DiskSecurity::Callback* callback,
                DiskSecurity::CheckMode mode, bool fullScan, bool complete,
                const CheckerFactory* makeChecker = nullptr);
    // The folder below which the folders of entries may be created.
    std::wstring _folderAnchor();
    // Loads the metadata file that the walk switches to; a damaged file is logged and noted,
    // and gives null.
    DiskSecurity::EntryTemplateSetPtr _loadSwitchedMetadata(const std::wstring& file);

    // First, so that it is entered before and left after everything the manager holds.
    ComApartment apartment_;
    std::shared_ptr<DiskSecurity::EntryTemplateSet> entries_;
    std::wstring metadataPath_;
    std::wstring rootPath_;
    // HTTPD_VHOSTS_D, read once: a walk asks for it on every directory.
    std::wstring vhosts_;
    // The last metadata file looked up, with what it depended on: a walk asks on every
    // directory, and the answer changes only from one webspace or web user to another.
    struct MetadataLookup {
        std::wstring owner;
        std::wstring root;
        std::wstring base;
        std::wstring file;
    };
    std::optional<MetadataLookup> lastMetadata_;
    DiskSecurity::ReportFile* reportFile_ = nullptr;  // not owned
    std::wstring confinement_;
    std::vector<std::wstring> damagedMetadata_;
    std::vector<std::pair<std::wstring, std::wstring>> rebuiltMetadata_;
    std::uint64_t uncheckedObjects_ = 0;  // the errors the walks handed to onError
    bool takeOverPrivileges_ = false;     // enabled for the run
    bool useConfiguredRoot_ = true;
    bool skipUnmappedAccounts_ = true;
    DiskSecurity::Callback* chainedCallback_ = nullptr;  // not owned
    IProgress* progress_ = nullptr;                      // not owned
    DiskSecurity::SecurityChecker* activeChecker_ = nullptr;
    std::shared_ptr<IUserInformation> accountResolver_;
};

// Load the metadata of webspace W, of a directory, or of web user U of W (with the default
// base) into `manager`. A missing file is logged as a warning and gives an empty set bound to
// that file, so that a later save creates it.
void loadDomainMetadata(const std::wstring& webspace, SecurityManager& manager);
// Raises a vexception when the metadata file `file`, or the ".tarno" directory it lies in (any
// letter case), is a link or another reparse point: nothing is read or written through one.
// Returns that directory opened in place (VDirectory::openInPlace), or no handle when `file`
// lies in no ".tarno" or it does not exist yet.
Platform::UniqueHandle holdMetadataInPlace(const std::wstring& file);
// Makes the token's default owner (Administrators, or SYSTEM, as Windows makes it for what
// SYSTEM creates) the owner of the entry `name` of `parent`: the panel's metadata folder and
// files belong to the panel. An owner may always rewrite a DACL, so a webspace's user who made
// ".tarno" or a file in it before the first repair would otherwise keep a way in.
void givePanelOwnership(const HeldDirectory& parent, const std::wstring& name);
void loadPathMetadata(const std::wstring& directory, SecurityManager& manager);
void loadWebUserMetadata(const std::wstring& webspace, const std::wstring& webUser,
                         SecurityManager& manager);

}  // namespace Tavrel
