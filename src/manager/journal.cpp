// The writing side of a run's journal: the file, its lines, the kept metadata and retention.
#include "manager/journal.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/dtyp/access_mask.h"
#include "platform/dtyp/ace.h"
#include "platform/filesystem.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/log.h"
#include "winsecurity/object_descriptor.h"
#include "winsecurity/object_security.h"

namespace Tavrel {
namespace {

constexpr const char* journalFunction = "Tavrel::RunJournal";
constexpr const wchar_t* journalSuffix = L".journal";
constexpr std::size_t stampLength = 20;  // "YYYYMMDDThhmmss.mmmZ"
constexpr std::size_t maxTagLength = 100;

// The directory of the journals, created SYSTEM and Administrators only: a journal names
// every object of a webspace with its descriptor, and a restore writes what it says.
void createJournalDirectory(const std::wstring& directory) {
    std::uint32_t attributes = 0;
    if (fileExist(directory, attributes)) {
        return;
    }
    VDirectory::createDirectory(VFileName::removeFileSpec(directory));
    if (!Platform::createDirectory(toLongPath(directory))) {
        std::uint32_t error = Platform::getLastError();
        if (error == Platform::WinError::AlreadyExists) {
            return;  // another run made it first, with the same DACL
        }
        throwOsError(formatString(L"CreateDirectory(%s)", directory), error,
                     VSITE(journalFunction));
    }
    namespace Dtyp = Platform::Dtyp;
    constexpr std::uint8_t inherit = Dtyp::AceFlag::ObjectInherit | Dtyp::AceFlag::ContainerInherit;
    VAcl acl = VAcl::ofTwoAces(VAce::create(Dtyp::AceType::AccessAllowed, inherit,
                                            Dtyp::Access::FileAllAccess, VSID::system().data()),
                               VAce::create(Dtyp::AceType::AccessAllowed, inherit,
                                            Dtyp::Access::FileAllAccess, VSID::admins().data()));
    WinSecurity::setNamedObjectDacl(toLongPath(directory), Platform::SeFileObject, acl);
}

// A bench build's run without its journal, to time what the journal costs.
bool journalSwitchedOff() {
#ifdef TAVREL_BENCH_SWITCHES
    std::wstring value;
    return Platform::getEnvironmentVariable(L"TAVREL_BENCH_NO_JOURNAL", value);
#else
    return false;
#endif
}

// A path as a journal line names it; one that a line cannot hold is refused.
std::wstring_view journaled(std::wstring_view shown) {
    if (shown.find_first_of(L"\t\r\n") != std::wstring_view::npos) {
        throw vexception(formatString(L"The path %s cannot be journaled", shown),
                         VSITE(journalFunction));
    }
    return shown;
}

}  // namespace

std::wstring JournalScope::text() const {
    switch (kind) {
        case Kind::Webspace:
            return L"webspace\t" + name;
        case Kind::FileSharing:
            return L"fs";
        case Kind::Path:
            return L"path\t" + name;
        case Kind::None:
            break;
    }
    return std::wstring();
}

JournalScope JournalScope::fromText(const std::wstring& text) {
    std::size_t tab = text.find(L'\t');
    std::wstring kind = text.substr(0, tab);
    std::wstring rest = tab == std::wstring::npos ? std::wstring() : text.substr(tab + 1);
    if (kind == L"fs" && tab == std::wstring::npos) {
        return JournalScope{Kind::FileSharing, {}};
    }
    if (kind == L"webspace" && !rest.empty()) {
        return JournalScope{Kind::Webspace, rest};
    }
    if (kind == L"path" && !rest.empty()) {
        return JournalScope{Kind::Path, rest};
    }
    throw vexception(formatString(L"Unknown journal scope '%s'", text),
                     VSITE("Tavrel::JournalScope::fromText"));
}

std::wstring JournalScope::fileTag() const {
    std::wstring tag;
    switch (kind) {
        case Kind::Webspace:
            tag = L"ws." + name;
            break;
        case Kind::FileSharing:
            tag = L"fs";
            break;
        case Kind::Path:
            tag = L"path." + name;
            break;
        case Kind::None:
            break;
    }
    for (wchar_t& c : tag) {
        bool plain = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                     (c >= L'0' && c <= L'9') || c == L'.' || c == L'-' || c == L'_';
        if (!plain) {
            c = L'_';
        }
    }
    std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
    for (unsigned char byte : Platform::toUtf8(Platform::toLower(text()))) {
        hash = (hash ^ byte) * 0x100000001b3ULL;
    }
    return Platform::toLower(tag.substr(0, maxTagLength)) +
           formatString(L".%08x%08x", static_cast<std::uint32_t>(hash >> 32),
                        static_cast<std::uint32_t>(hash)) +
           (checkOnly ? L".check" : L"");
}

RunJournal::RunJournal(JournalScope scope)
    : scope_(journalSwitchedOff() ? JournalScope{} : std::move(scope)) {}

RunJournal::~RunJournal() = default;

void RunJournal::setScope(JournalScope scope) {
    if (!file_.empty()) {
        throw vexception(L"The scope of a journal is set before its first line",
                         VSITE("Tavrel::RunJournal::setScope"));
    }
    scope_ = journalSwitchedOff() ? JournalScope{} : std::move(scope);
}

std::wstring RunJournal::directory() {
    return VFileName::combine(panelParameter(L"PRODUCT_ROOT_D"), L"var\\journal");
}

void RunJournal::_open() {
    if (!file_.empty()) {
        return;
    }
    std::wstring folder = directory();
    createJournalDirectory(folder);
    std::wstring name = formatString(L"%s-%u-%s%s", utcTimeStamp(), Platform::getCurrentProcessId(),
                                     scope_.fileTag(), journalSuffix);
    std::wstring path = VFileName::combine(folder, name);
    handle_.reset(Platform::createFile(toLongPath(path), Platform::File::GenericWrite,
                                       Platform::File::ShareRead, Platform::File::CreateNew,
                                       Platform::FileAttribute::Normal));
    if (!handle_) {
        throwOsError(formatString(L"Unable to create the journal %s", path),
                     Platform::getLastError(), VSITE(journalFunction));
    }
    file_ = path;
    LogManager::instance().log(LogInfo, L"Journaling the descriptors this run replaces in %s",
                               file_);
    std::wstring command = Platform::getCommandLine();
    std::replace_if(
        command.begin(), command.end(),
        [](wchar_t c) { return c == L'\t' || c == L'\r' || c == L'\n'; }, L' ');
    _append(formatString(L"#tavrel-journal\t%d\r\n#time\t%s\r\n#command\t%s\r\n#scope\t%s",
                         JournalFormatVersion, name.substr(0, stampLength), command,
                         scope_.text()));
}

void RunJournal::_append(const std::wstring& text) {
    std::string line = Platform::toUtf8(text) + "\r\n";
    std::uint32_t written = 0;
    bool whole = Platform::writeFile(handle_.get(), line.data(),
                                     static_cast<std::uint32_t>(line.size()), &written) &&
                 written == line.size();
    if (whole) {
        size_ += static_cast<std::int64_t>(line.size());
        return;
    }
    std::uint32_t error = Platform::getLastError();
    if (written != 0) {
        // Cut back to the last whole line, so that what is there still restores.
        if (!Platform::setFilePointerEx(handle_.get(), size_, nullptr, Platform::File::Begin) ||
            !Platform::setEndOfFile(handle_.get())) {
            LogManager::instance().log(LogError, L"The journal %s ends in a cut line", file_);
        }
    }
    throwOsError(formatString(L"Unable to write the journal %s", file_),
                 error ? error : Platform::WinError::HandleDiskFull, VSITE(journalFunction));
}

void RunJournal::record(std::span<const DiskSecurity::JournalRecord> records) {
    std::wstring lines;
    for (const DiskSecurity::JournalRecord& record : records) {
        if (!lines.empty()) {
            lines += L"\r\n";
        }
        if (!std::ranges::equal(record.descriptor, lastDescriptor_)) {
            lastSddl_ = WinSecurity::sddlOfDescriptor(record.descriptor);
            lastDescriptor_.assign(record.descriptor.begin(), record.descriptor.end());
        }
        lines.append(journaled(record.path)).append(L"\t").append(lastSddl_);
    }
    if (lines.empty()) {
        return;
    }
    _open();
    _append(lines);
}

void RunJournal::record(const VPath& path, Platform::Handle handle) {
    recordSddl(path, WinSecurity::getObjectSddl(handle));
}

void RunJournal::recordSddl(const VPath& path, const std::wstring& sddl) {
    std::wstring line(journaled(path.shown()));
    line.append(L"\t").append(sddl);
    _open();
    _append(line);
}

void RunJournal::keepMetadata(const HeldDirectory& directory, const std::wstring& name) {
    std::wstring shown = directory.pathOf(name);
    if (std::any_of(keptFiles_.begin(), keptFiles_.end(), [&](const std::wstring& kept) {
            return comparePaths(kept, shown) == PathEqual;
        })) {
        return;  // the first copy is what the run found
    }
    journaled(shown);
    // Read where the run found it, through the held directory: what a name of the path leads
    // to elsewhere is not this scope's file.
    Platform::UniqueHandle source =
        directory.openFile(name, Platform::File::GenericRead, Platform::File::OpenExisting, false);
    std::uint32_t error = Platform::getLastError();
    if (!source && error != Platform::WinError::FileNotFound) {
        throwOsError(formatString(L"Unable to keep the metadata file %s", shown), error,
                     VSITE(journalFunction));
    }
    _open();
    std::wstring keptName;
    if (source) {
        std::string bytes =
            readToEnd(source.get(), formatString(L"Unable to keep the metadata file %s", shown),
                      journalFunction);
        std::wstring base = lastComponent(file_);
        base.resize(base.size() - std::wcslen(journalSuffix));
        keptName = formatString(L"%s.%d.Security", base, ++keptCount_);
        std::wstring target = VFileName::combine(RunJournal::directory(), keptName);
        Platform::UniqueHandle copy(Platform::createFile(
            toLongPath(target), Platform::File::GenericWrite, Platform::File::ShareRead,
            Platform::File::CreateNew, Platform::FileAttribute::Normal));
        std::uint32_t written = 0;
        if (!copy ||
            !Platform::writeFile(copy.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                 &written) ||
            written != bytes.size() || !Platform::flushFileBuffers(copy.get())) {
            throwOsError(formatString(L"Unable to keep the metadata file %s as %s", shown, target),
                         Platform::getLastError(), VSITE(journalFunction));
        }
    }
    _append(L"#metadata\t" + shown + L"\t" + keptName);
    keptFiles_.push_back(shown);
}

void RunJournal::finish() {
    if (file_.empty() || !handle_) {
        return;
    }
    bool flushed = Platform::flushFileBuffers(handle_.get());
    std::uint32_t error = Platform::getLastError();
    handle_.reset();
    if (!flushed) {
        throwOsError(formatString(L"Unable to flush the journal %s", file_), error,
                     VSITE(journalFunction));
    }
    try {
        _prune();
    } catch (const vexception& e) {
        LogManager::instance().log(LogWarning, e);
    }
}

void RunJournal::_prune() {
    std::wstring folder = directory();
    std::wstring tag = L"-" + scope_.fileTag() + journalSuffix;
    std::vector<std::wstring> journals;
    VFileFinder finder;
    for (bool found = finder.first(VFileName::combine(folder, L"*.journal")); found;
         found = finder.next()) {
        const std::wstring& name = finder.name();
        // "<stamp>-<pid>-<tag>.journal": the tag follows the process id's digits.
        std::size_t dash = name.find(L'-', stampLength + 1);
        if (!finder.isDirectory() && name.size() > stampLength && dash != std::wstring::npos &&
            Platform::toLower(name.substr(dash)) == tag) {
            journals.push_back(name);
        }
    }
    if (journals.size() <= JournalsKept) {
        return;
    }
    std::sort(journals.begin(), journals.end(), std::greater<>());
    for (std::size_t i = JournalsKept; i < journals.size(); ++i) {
        std::wstring base = journals[i].substr(0, journals[i].size() - std::wcslen(journalSuffix));
        std::vector<std::wstring> doomed{journals[i]};
        VFileFinder kept;
        for (bool found = kept.first(VFileName::combine(folder, base + L".*.Security")); found;
             found = kept.next()) {
            doomed.push_back(kept.name());
        }
        for (const std::wstring& name : doomed) {
            std::wstring path = VFileName::combine(folder, name);
            if (!Platform::deleteFile(toLongPath(path))) {
                LogManager::instance().log(LogWarning, L"Unable to remove the old journal file %s",
                                           path);
            }
        }
    }
}

}  // namespace Tavrel
