#include "frontend/command_context.h"

#include <algorithm>
#include <cstdint>

#include "accounts/sid_cache.h"
#include "frontend/list_file.h"
#include "platform/registry.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/registry.h"

CommandContext::SidCacheScope::SidCacheScope() {
    SidCache::install(std::make_unique<SidCache::OfflineSidCacheImpl>());
}

CommandContext::SidCacheScope::~SidCacheScope() {
    SidCache::restore();
}

CommandContext::CommandContext(Tavrel::RunJournal* journal)
    : accounts_(configuredAccountProvider()),
      manager_(std::make_unique<Tavrel::SecurityManager>(accounts_, journal)) {}

std::shared_ptr<IUserInformation> CommandContext::configuredAccountProvider() {
    // A missing value means local accounts.
    std::uint32_t activeDirectoryMode = 0;
    registry::lookup(Platform::hkeyLocalMachine(), configKey, L"active_directory_mode",
                     activeDirectoryMode, configKeyView);
    if (activeDirectoryMode != 0) {
        return std::make_shared<ADUserInformation>();
    }
    return std::make_shared<LocalUserInformation>();
}

FileSharingContext::FileSharingContext(const Params& params, std::wstring vhost,
                                       Tavrel::RunJournal& journal)
    : CommandContext(&journal),
      vhostName(std::move(vhost)),
      userName(params.get(L"--user")),
      userId(params.get(L"--user-id")),
      privateTemplates(params.get(L"--private-template")),
      templates(params.get(L"--template")) {
    manager().load(Tavrel::SecurityManager::domainMetadataFile(vhostName, std::wstring()), false);
}

void FileSharingContext::requireValues(const Params& params) {
    for (const wchar_t* name : {L"--vhost-name", L"--user", L"--user-id"}) {
        if (wchar_t c = Tavrel::firstCharacterXmlCannotCarry(params.get(name))) {
            throw ArgumentException(
                formatString(L"Invalid value of parameter %s: it holds the character 0x%02X, "
                             L"which a metadata file cannot carry",
                             name, static_cast<std::uint32_t>(c)),
                VSITE("FileSharingContext::requireValues"));
        }
    }
    // The vhost names the directory below HTTPD_VHOSTS_D that holds the area's metadata, also
    // when no template is given: anything but one plain name ("..\..\Windows\x", "C:",
    // "\\?\C:\x") would put that file anywhere on the disk. The user id names the user's
    // private folder and marks the user's entries: empty, it would match every entry that
    // carries no second tag. The user is one account.
    for (const wchar_t* name : {L"--vhost-name", L"--user", L"--user-id"}) {
        Tavrel::requirePlainName(std::wstring(L"value of parameter ") + name, params.get(name));
    }
    // Templates come from the panel's etc directory and nowhere else.
    for (const wchar_t* list : {L"--template", L"--private-template"}) {
        for (const std::wstring& name : splitTemplateList(params.get(list))) {
            Tavrel::requirePlainName(std::wstring(L"value of parameter ") + list, name);
        }
    }
}

std::wstring FileSharingContext::userSubPath(bool isPrivate) const {
    return isPrivate ? vhostName + L"\\private\\" + userId : vhostName;
}

std::vector<DiskSecurity::EntryTemplate> FileSharingContext::removeUserEntries() {
    std::vector<DiskSecurity::EntryTemplate> removed = removeUserTemplates(privateTemplates, true);
    for (DiskSecurity::EntryTemplate& entry : removeUserTemplates(templates, false)) {
        removed.push_back(std::move(entry));
    }
    return removed;
}

void FileSharingContext::revokeAccessOf(const std::vector<DiskSecurity::EntryTemplate>& removed) {
    namespace Flag = DiskSecurity::EntryFlag;
    DiskSecurity::EntryTemplateSet& entries = *manager().entries();
    std::vector<DiskSecurity::EntryTemplate> revokes;
    for (const DiskSecurity::EntryTemplate& entry : removed) {
        bool stillNamed = std::any_of(entries.begin(), entries.end(), [&](const auto& kept) {
            return kept.account == entry.account;
        });
        if (stillNamed) {
            continue;
        }
        // Only the revoke itself: no folder is made for a user who is gone, and the path's
        // inheritance and exactness are what the remaining entries say.
        DiskSecurity::EntryTemplate revoke = entry;
        revoke.entryFlags = Flag::Revoke | (entry.entryFlags & Flag::LastMayNotExist);
        revokes.push_back(std::move(revoke));
    }
    for (const DiskSecurity::EntryTemplate& revoke : revokes) {
        entries.insert(revoke);
    }
}

void FileSharingContext::addUserEntries() {
    addUserTemplates(privateTemplates, true);
    addUserTemplates(templates, false);
}

void FileSharingContext::addUserTemplates(const std::wstring& list, bool isPrivate) {
    for (const std::wstring& name : splitTemplateList(list)) {
        manager().expandUserFileSharingTemplate(vhostName, userSubPath(isPrivate), userName, userId,
                                                name);
    }
}

std::vector<DiskSecurity::EntryTemplate> FileSharingContext::removeUserTemplates(
    const std::wstring& list, bool isPrivate) {
    Tavrel::SecurityManager earlier(accounts());
    for (const std::wstring& name : splitTemplateList(list)) {
        earlier.expandUserFileSharingTemplate(vhostName, userSubPath(isPrivate), userName, userId,
                                              name);
    }
    return manager().removeEntriesOf(earlier);
}
