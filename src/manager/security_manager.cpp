#include "manager/security_manager.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <vector>

#include "disksecurity/template_xml.h"
#include "manager/journal.h"
#include "manager/metadata_paths.h"
#include "platform/filesystem.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "platform/xml.h"
#include "runtime/atomic_file.h"
#include "runtime/config.h"
#include "runtime/failures.h"
#include "runtime/filename.h"
#include "runtime/held_directory.h"
#include "runtime/log.h"
#include "winsecurity/object_security.h"

namespace Tavrel {
namespace {

constexpr const char* saveFunction = "Tavrel::SecurityManager::saveToFile";

// `base`, or HTTPD_VHOSTS_D when it is empty.
std::wstring orVhosts(const std::wstring& base) {
    return base.empty() ? panelParameter(L"HTTPD_VHOSTS_D") : base;
}

// A file holding such a character could never be read back.
void requireXmlText(const wchar_t* field, const std::wstring& value) {
    if (wchar_t c = firstCharacterXmlCannotCarry(value)) {
        throw vexception(formatString(L"The %s '%s' of an entry holds the character 0x%02X, "
                                      L"which a metadata file cannot carry",
                                      field, value, static_cast<std::uint32_t>(c)),
                         VSITE(saveFunction));
    }
}

// Runs `body`; whatever it throws leaves as a vexception carrying one more record of the save,
// caught in the order of the frame's handlers. A vexception keeps its class and gains the
// record.
template <typename Body>
void withSaveRecord(const std::wstring& text, std::int32_t line, Body&& body) {
    auto site = [&] { return CallSite{text, saveFunction, line}; };
    try {
        body();
    } catch (vexception& e) {
        e.add(site());
        throw;
    } catch (...) {
        throw currentFailure(site());
    }
}

}  // namespace

void givePanelOwnership(const HeldDirectory& parent, const std::wstring& name) {
    WinSecurity::enableOwnershipPrivileges();
    Platform::UniqueHandle entry =
        parent.openEntry(name, Platform::File::WriteOwner | Platform::File::ReadControl);
    if (!entry) {
        throwOsError(formatString(L"CreateFile(%s)", parent.pathOf(name)), Platform::getLastError(),
                     VSITE("Tavrel::givePanelOwnership"));
    }
    WinSecurity::takeOwnership(entry.get(), parent.pathOf(name));
}

wchar_t firstCharacterXmlCannotCarry(const std::wstring& value) {
    for (wchar_t c : value) {
        if ((c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || c == 0xFFFE || c == 0xFFFF) {
            return c;
        }
    }
    return 0;
}

SecurityManager::SecurityManager(std::shared_ptr<IUserInformation> accountResolver)
    : entries_(std::make_shared<DiskSecurity::EntryTemplateSet>()),
      accountResolver_(std::move(accountResolver)) {}

SecurityManager::~SecurityManager() = default;

const std::wstring& SecurityManager::root() {
    if (useConfiguredRoot_ && rootPath_.empty()) {
        rootPath_ = panelParameter(L"HTTPD_VHOSTS_D");
    }
    return rootPath_;
}

std::wstring SecurityManager::getRootRelativePath(const std::wstring& fullPath,
                                                  bool firstComponentOnly) {
    return MetadataPaths::getRootRelativePath(fullPath, root(), firstComponentOnly);
}

std::wstring SecurityManager::metadataFileFor(const std::wstring& path) {
    std::wstring relative = getRootRelativePath(path, false);
    // The root's own file lies in the root; only the files of webspaces and web users count
    // from HTTPD_VHOSTS_D, which is asked for them alone.
    if (!relative.empty() && vhosts_.empty()) {
        vhosts_ = panelParameter(L"HTTPD_VHOSTS_D");
    }
    std::wstring owner = MetadataPaths::metadataOwner(relative);
    std::wstring top = root();
    const std::wstring& base = relative.empty() ? std::wstring() : vhosts_;
    if (!lastMetadata_ || lastMetadata_->owner != owner || lastMetadata_->root != top ||
        lastMetadata_->base != base) {
        std::wstring file = MetadataPaths::metadataFileFor(owner, top, base);
        lastMetadata_ = MetadataLookup{std::move(owner), std::move(top), base, std::move(file)};
    }
    return lastMetadata_->file;
}

std::wstring SecurityManager::scopePath() {
    if (!confinement_.empty()) {
        return confinement_;
    }
    for (const auto& entry : *entries_) {
        std::wstring scope = MetadataPaths::scopeOfSubPath(entry.subPath, root());
        if (!scope.empty()) {
            return scope;
        }
    }
    return root();
}

std::wstring SecurityManager::domainMetadataFile(const std::wstring& webspace,
                                                 const std::wstring& base) {
    return MetadataPaths::domainMetadataFile(webspace, orVhosts(base));
}

std::wstring SecurityManager::webUserMetadataFile(const std::wstring& webspace,
                                                  const std::wstring& webUser,
                                                  const std::wstring& base) {
    return MetadataPaths::webUserMetadataFile(webspace, webUser, orVhosts(base));
}

void SecurityManager::load(const std::wstring& file, bool tolerant) {
    entries_ = DiskSecurity::loadTemplate(file, accountResolver_, tolerant, skipUnmappedAccounts_);
    metadataPath_ = file;
}

void SecurityManager::saveToFile(const std::wstring& fileName) {
    if (metadataPath_.empty() && fileName.empty()) {
        throw vexception(L"Unable to save data to unknown path", VSITE(saveFunction));
    }
    if (!fileName.empty()) {
        metadataPath_ = fileName;
    }
    withSaveRecord(formatString(L"Save entries to '%s'", metadataPath_), __LINE__, [&] {
        std::wstring directory = VFileName::removeFileSpec(metadataPath_);
        std::wstring name = lastComponent(normalizePath(metadataPath_));
        bool panelFolder = MetadataPaths::namesMetadataDirectory(directory);
        if (panelFolder) {
            WinSecurity::enableOwnershipPrivileges();
        }
        HeldDirectory held = _holdSaveDirectory(directory);
        // The panel's metadata directory is hidden from the webspace's users.
        if (MetadataPaths::isMetadataDirectory(directory)) {
            std::uint32_t attributes = Platform::getFileAttributes(toLongPath(held.path()));
            if (attributes == Platform::InvalidFileAttributes ||
                !Platform::setFileAttributes(
                    toLongPath(held.path()), (attributes & ~Platform::FileAttribute::Directory) |
                                                 Platform::FileAttribute::Hidden)) {
                throwOsError(formatString(L"SetFileAttributes(%s)", directory),
                             Platform::getLastError(), VSITE(saveFunction));
            }
        }
        // The new file is whole and on the disk before anything replaces the old one.
        std::unique_ptr<AtomicFile> replacement;
        withSaveRecord(L"Write entries to temporary file", __LINE__, [&] {
            replacement = std::make_unique<AtomicFile>(held, name, saveFunction);
            replacement->write(_serializeEntries());
        });
        // The file the run found is kept with the run's journal before it goes.
        if (RunJournal* journal = RunJournal::current()) {
            journal->keepMetadata(held, name);
        }
        replacement->replaceTarget();
        if (panelFolder) {
            givePanelOwnership(held, name);
        }
        entries_->setSourcePath(metadataPath_);
        // What killed runs left is removed where only the tool keeps files: a save into a
        // user's directory (--update-path-security) leaves the user's files alone, whatever
        // their names.
        if (MetadataPaths::isMetadataDirectory(directory)) {
            AtomicFile::removeStaleTemporaries(held);
        }
        removeStalePrivateTemporaries();
    });
}

HeldDirectory SecurityManager::_holdSaveDirectory(const std::wstring& directory) {
    if (directory.empty()) {
        std::wstring current;
        if (!Platform::getCurrentDirectory(current)) {
            throwOsError(L"GetCurrentDirectory", Platform::getLastError(), VSITE(saveFunction));
        }
        return HeldDirectory::openNamed(current);
    }
    bool missing = !fileExist(directory);
    if (missing) {
        LogManager::instance().log(LogWarning,
                                   L"Creating directory for security metadata file '%s'",
                                   metadataPath_);
    }
    // Metadata in the panel's folder of a webspace, or in the folder a run is confined to, lies
    // in folders the webspace's users control: it is reached from the drive root one checked
    // component at a time, and so is every folder made for it. `.tarno` itself belongs to the
    // panel. A template the operator names is written where the operator's path leads.
    if (MetadataPaths::namesMetadataDirectory(directory)) {
        HeldDirectory scope = HeldDirectory::open(VFileName::removeFileSpec(directory), true);
        HeldDirectory held = scope.child(lastComponent(directory), true);
        givePanelOwnership(scope, lastComponent(directory));
        return held;
    }
    PathRelation relation =
        confinement_.empty() ? PathLess : comparePaths(directory, confinement_);
    if (relation == PathEqual || relation == PathBelow) {
        return HeldDirectory::open(directory, true);
    }
    if (missing) {
        VDirectory::createDirectory(directory);
    }
    return HeldDirectory::openNamed(directory);
}

std::string SecurityManager::_serializeEntries() const {
    Platform::SaxXmlWriter writer(L"UTF-8");
    writer.startDocument();
    writer.startElement(L"Entries", {});
    for (const auto& entry : *entries_) {
        requireXmlText(L"path", entry.path);
        requireXmlText(L"sub path", entry.subPath);
        requireXmlText(L"tag", entry.tag);
        requireXmlText(L"second tag", entry.tag2);
        requireXmlText(L"domain name", entry.domainName);
        requireXmlText(L"account name", entry.accountName);
        try {
            DiskSecurity::saveEntry(entry, writer);
        } catch (const RunTime::NoneMappedException& e) {
            if (!skipUnmappedAccounts_) {
                throw;
            }
            LogManager::instance().log(LogWarning, L"%s", Platform::fromAnsi(e.what()));
        }
    }
    writer.endElement(L"Entries");
    writer.endDocument();
    return writer.output();
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
std::wstring keepDamaged(const std::wstring& file) {
    HeldDirectory folder = HeldDirectory::open(VFileName::removeFileSpec(file));
    std::wstring name = lastComponent(normalizePath(file));
    if (RunJournal* journal = RunJournal::current()) {
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

Platform::UniqueHandle holdMetadataInPlace(const std::wstring& file) {
    auto refuse = [](const wchar_t* what, const std::wstring& path) {
        throw vexception(formatString(L"The security metadata %s %s is a link or another reparse "
                                      L"point; nothing is read or written through it",
                                      what, stripLongPrefix(path)),
                         VSITE("Tavrel::holdMetadataInPlace"));
    };
    std::wstring directory = VFileName::removeFileSpec(file);
    Platform::UniqueHandle held;
    if (MetadataPaths::namesMetadataDirectory(directory) && fileExist(directory)) {
        held = VDirectory::openInPlace(directory);
        if (!held) {
            refuse(L"directory", directory);
        }
    }
    std::uint32_t attributes = 0;
    if (fileExist(file, attributes) && (attributes & Platform::FileAttribute::ReparsePoint)) {
        refuse(L"file", file);
    }
    return held;
}

void loadDomainMetadata(const std::wstring& webspace, SecurityManager& manager) {
    loadMetadata(manager, SecurityManager::domainMetadataFile(webspace, std::wstring()),
                 L"Unable to find domain security metadata file: %s");
}

void loadPathMetadata(const std::wstring& directory, SecurityManager& manager) {
    loadMetadata(manager, MetadataPaths::pathMetadataFile(directory),
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
        kept = keepDamaged(file);
        LogManager::instance().log(LogWarning,
                                   L"The web user security metadata file %s is damaged and was "
                                   L"kept as %s; it is built anew: %s",
                                   file, kept, renderException(e));
    }
    manager.forgetDamaged(file);
    manager.noteRebuilt(file, kept);
    manager.load(file, false);
}

}  // namespace Tavrel
