#include "manager/security_manager.h"

#include <cstdint>

#include "disksecurity/template_xml.h"
#include "manager/default_templates.h"
#include "manager/journal.h"
#include "manager/template_expander.h"
#include "platform/filesystem.h"
#include "runtime/filename.h"
#include "runtime/held_directory.h"
#include "runtime/log.h"

namespace Tavrel {

SecurityManager::SecurityManager(std::shared_ptr<IUserInformation> accountResolver,
                                 RunJournal* journal)
    : journal_(journal), metadata_(std::move(accountResolver)), walk_(locator_, journal) {}

SecurityManager::~SecurityManager() = default;

RunJournal* SecurityManager::journal() const {
    return journal_ && journal_->records() ? journal_ : nullptr;
}

void SecurityManager::saveToFile(const std::wstring& fileName) {
    metadata_.save(fileName, walk_.confinement(), journal());
}

VPath SecurityManager::scopePath() {
    if (!walk_.confinement().empty()) {
        return walk_.confinement();
    }
    return VPath(locator_.scopeOf(*metadata_.entries()));
}

void SecurityManager::applySecurity(const VPath& path, DiskSecurity::Callback* callback,
                                    DiskSecurity::CheckMode mode, bool fullScan) {
    walk_.run(path, metadata_, callback, mode, fullScan, false);
}

void SecurityManager::applyCompleteSecurity(const VPath& path, DiskSecurity::Callback* callback,
                                            DiskSecurity::CheckMode mode, bool fullScan) {
    walk_.run(path, metadata_, callback, mode, fullScan, true);
}

void SecurityManager::applyToScope(DiskSecurity::Callback* callback, DiskSecurity::CheckMode mode,
                                   bool fullScan) {
    applySecurity(scopePath(), callback, mode, fullScan);
}

void SecurityManager::applyCompleteToScope(DiskSecurity::Callback* callback,
                                           DiskSecurity::CheckMode mode, bool fullScan) {
    applyCompleteSecurity(scopePath(), callback, mode, fullScan);
}

void SecurityManager::applyCheckerToScope(const SecurityWalk::CheckerFactory& makeChecker,
                                          DiskSecurity::CheckMode mode, bool fullScan) {
    walk_.run(scopePath(), metadata_, nullptr, mode, fullScan, true, &makeChecker);
}

void SecurityManager::commit(const VPath& path, bool complete, DiskSecurity::Callback* callback,
                             DiskSecurity::CheckMode mode) {
    LogManager& log = LogManager::instance();
    log.log(LogInfo, L"Commiting file system security changes for path %s, root path: %s",
            path.shown(), locator_.root());
    walk_.run(path, metadata_, callback, mode, false, complete);
    saveToFile(std::wstring());
    log.logText(LogInfo, L"File system security changes applied successfully");
}

void SecurityManager::createDomainTemplate() {
    DefaultTemplates::addDomainTemplate(*metadata_.entries());
}

void SecurityManager::createFrameForwardingTemplate() {
    DefaultTemplates::addFrameForwardingTemplate(*metadata_.entries());
}

void SecurityManager::createWebUserTemplate() {
    DefaultTemplates::addWebUserTemplate(*metadata_.entries());
}

void SecurityManager::expandWebspaceTemplate(const std::wstring& webspace,
                                             const std::wstring& systemUser,
                                             const std::wstring& templateFile) {
    TemplateExpander::expandWebspaceTemplate(metadata_, locator_, webspace, systemUser,
                                             templateFile);
}

void SecurityManager::expandWebUserTemplate(const std::wstring& webspace,
                                            const std::wstring& systemUser,
                                            const std::wstring& webUser,
                                            const std::wstring& templateFile) {
    TemplateExpander::expandWebUserTemplate(metadata_, locator_, webspace, systemUser, webUser,
                                            templateFile);
}

void SecurityManager::expandFileSharingTemplate(const std::wstring& area,
                                                const std::wstring& templateFile) {
    TemplateExpander::expandFileSharingTemplate(metadata_, area, templateFile);
}

void SecurityManager::expandUserFileSharingTemplate(const std::wstring& area,
                                                    const std::wstring& basePath,
                                                    const std::wstring& userAccount,
                                                    const std::wstring& tag2,
                                                    const std::wstring& templateName) {
    TemplateExpander::expandUserFileSharingTemplate(metadata_, area, basePath, userAccount, tag2,
                                                    templateName);
}

namespace {

// Loads `file` into `manager`, saying first when it is not there.
void loadMetadata(SecurityManager& manager, const std::wstring& file, const wchar_t* missingText) {
    holdMetadataInPlace(file);
    if (!fileExist(file)) {
        LogManager::instance().log(LogWarning, missingText, file);
    }
    manager.load(file, false);
}

// Moves a damaged metadata file aside under a name of its own, never over another file, and
// returns that name; the run's journal keeps it first, so that a restore puts it back.
std::wstring keepDamaged(const std::wstring& file, RunJournal* journal) {
    HeldDirectory folder = HeldDirectory::open(VFileName::removeFileSpec(file));
    std::wstring name = lastComponent(normalizePath(file));
    if (journal) {
        journal->keepMetadata(folder, name);
    }
    std::wstring base = name + L".damaged-" + utcTimeStamp();
    for (std::int32_t attempt = 1;; ++attempt) {
        std::wstring kept = attempt == 1 ? base : formatString(L"%s-%d", base, attempt);
        if (Platform::moveFileAt(folder.handle(), name, folder.handle(), kept,
                                 Platform::File::MoveFileWriteThrough)) {
            return folder.pathOf(kept);
        }
        std::uint32_t error = Platform::getLastError();
        if (error != Platform::WinError::AlreadyExists || attempt >= 100) {
            throwOsError(formatString(L"Move file '%s' to '%s'", file, folder.pathOf(kept)), error,
                         VSITE("Tavrel::loadWebUserMetadata"));
        }
    }
}

}  // namespace

void loadDomainMetadata(const std::wstring& webspace, SecurityManager& manager) {
    loadMetadata(manager, SecurityManager::domainMetadataFile(webspace, std::wstring()),
                 L"Unable to find domain security metadata file: %s");
}

void loadPathMetadata(const VPath& directory, SecurityManager& manager) {
    loadMetadata(manager, MetadataPaths::pathMetadataFile(directory.shownText()),
                 L"Unable to find path's security metadata file: %s");
}

void loadWebUserMetadata(const std::wstring& webspace, const std::wstring& webUser,
                         SecurityManager& manager) {
    std::wstring file = SecurityManager::webUserMetadataFile(webspace, webUser, std::wstring());
    std::wstring kept;
    try {
        loadMetadata(manager, file, L"Unable to find webuser security metadata file: %s");
        return;
    } catch (const DiskSecurity::TemplateFormatException& e) {
        // A damaged file is kept for a look, never deleted; the web user's metadata is then
        // rebuilt from the template by the caller, as for a web user without any.
        kept = keepDamaged(file, manager.journal());
        LogManager::instance().log(LogWarning,
                                   L"The web user security metadata file %s is damaged and was "
                                   L"kept as %s; it is built anew: %s",
                                   file, kept, renderException(e));
    }
    manager.walk().forgetDamaged(file);
    manager.walk().noteRebuilt(file, kept);
    manager.load(file, false);
}

}  // namespace Tavrel
