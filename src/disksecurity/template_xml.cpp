#include "disksecurity/template_xml.h"

#include <cwctype>
#include <map>
#include <mutex>

#include "accounts/sid_cache.h"
#include "disksecurity/vocabularies.h"
#include "platform/filesystem.h"
#include "platform/security.h"
#include "platform/seh.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/com_apartment.h"
#include "runtime/failures.h"
#include "runtime/filename.h"
#include "runtime/log.h"

namespace DiskSecurity {
namespace {

std::wstring knownNames(const auto& table) {
    std::wstring names;
    for (const auto& row : table) {
        names += row.first;
        names += L'\n';
    }
    return names;
}

// The value `table` gives `name`; else an error that names what was sought and every known name.
template <typename Table>
typename Table::mapped_type namedValue(const Table& table, const std::wstring& name,
                                       const wchar_t* what, CallSite site) {
    auto found = table.find(name);
    if (found == table.end()) {
        throw vexception(std::wstring(L"Unknown ") + what + L": " + name + L", known names are:\n" +
                             knownNames(table),
                         std::move(site));
    }
    return found->second;
}

// A number as it is written, else the value of a name in `table`.
std::uint32_t numberOrName(const std::wstring& text,
                           const std::map<std::wstring, std::uint32_t>& table, const wchar_t* what,
                           CallSite site) {
    std::uint32_t value = 0;
    if (tryConvertStringToInt(text, value)) {
        return value;
    }
    return namedValue(table, text, what, std::move(site));
}

// The hexadecimal form the writer uses for numbers: "0x" and lowercase digits, 0 as "0x0".
std::wstring hexNumber(std::uint32_t value) {
    return formatString(L"0x%x", value);
}

// The name of `value` in `table` (the first in table order), else its number.
std::wstring nameOrNumber(const std::map<std::wstring, std::uint32_t>& table, std::uint32_t value) {
    for (const auto& [name, tableValue] : table) {
        if (tableValue == value) {
            return name;
        }
    }
    return hexNumber(value);
}

// CopyFileW over an existing file. A read-only copy could neither be replaced by the next
// file nor deleted, so the attributes of the target are reset first.
void copyFileOver(const std::wstring& source, const std::wstring& target) {
    Platform::setFileAttributes(toLongPath(target), Platform::FileAttribute::Normal);
    if (!Platform::copyFile(toLongPath(source), toLongPath(target), false)) {
        std::uint32_t error = Platform::getLastError();
        throwOsError(formatString(L"Copy file '%s' to '%s'. Processes: %s", stripLongPrefix(source),
                                  stripLongPrefix(target), processesHolding(target)),
                     error, VSITE("DiskSecurity::copyFileOver"));
    }
}

// The private temporary file of one load: named on first use, removed with the owner.
class TemporaryCopy {
public:
    TemporaryCopy() = default;
    TemporaryCopy(const TemporaryCopy&) = delete;
    TemporaryCopy& operator=(const TemporaryCopy&) = delete;
    ~TemporaryCopy() {
        if (!name_.empty()) {
            Platform::setFileAttributes(toLongPath(name_), Platform::FileAttribute::Normal);
            Platform::deleteFile(toLongPath(name_));
        }
    }

    // Copies `source` over the temporary file and returns the file's name; `source` itself
    // while reads are in place.
    const std::wstring& copyOf(const std::wstring& source) {
        if (InPlaceTemplateReads::active()) {
            source_ = source;
            return source_;
        }
        if (name_.empty()) {
            name_ = privateTempFileName();
        }
        copyFileOver(source, name_);
        stampNow();
        return name_;
    }

private:
    // CopyFile gives the copy the template's last write time, which would make it look like
    // the leftover of a killed run to any run started since, whose save removes those; it
    // gets the time it was made instead. (A read-only template's copy is read-only too.)
    void stampNow() {
        Platform::setFileAttributes(toLongPath(name_), Platform::FileAttribute::Normal);
        Platform::UniqueHandle copy(Platform::createFile(
            toLongPath(name_), Platform::File::GenericWrite, 0, Platform::File::OpenExisting, 0));
        std::uint64_t now = currentFileTime();
        if (!copy || !Platform::setFileTime(copy.get(), nullptr, nullptr, &now)) {
            throwOsError(formatString(L"SetFileTime(%s)", stripLongPrefix(name_)),
                         Platform::getLastError(), VSITE("DiskSecurity::TemporaryCopy"));
        }
    }

    std::wstring name_;
    std::wstring source_;
};

// A template or metadata file larger than any the panel writes is refused before it is
// copied or parsed.
void requireBoundedSize(const std::wstring& file) {
    Platform::FindData data;
    Platform::UniqueFindHandle found(Platform::findFirstFile(toLongPath(file), data));
    if (found && data.size > MaxTemplateBytes) {
        throw vexception(
            formatString(L"The file %s is larger than the %d MiB a template may hold",
                         stripLongPrefix(file), static_cast<std::int32_t>(MaxTemplateBytes >> 20)),
            VSITE("DiskSecurity::loadTemplate"));
    }
}

void parseTemplateFile(const std::wstring& file, TemporaryCopy& copy, EntryTemplateSet& set,
                       const std::shared_ptr<IUserInformation>& resolver, bool tolerateBadEntries,
                       bool skipUnmappedAccounts) {
    requireBoundedSize(file);
    try {
        ConfigImporter importer(set, skipUnmappedAccounts, tolerateBadEntries, resolver);
        importer.parseURL(copy.copyOf(file));
    } catch (vexception& e) {
        // The parser only saw the copy; the user needs the template's own name.
        e.add(VSITE_TEXT(L"load template " + stripLongPrefix(file), "DiskSecurity::loadTemplate"));
        throw;
    }
}

// The reader's view of a wrapper: each content-handler call goes to the raw_ member of the
// same name.
class RawHandler : public Platform::ISaxContentHandler {
public:
    explicit RawHandler(ContentHandlerWrapper& wrapper) : wrapper_(wrapper) {}

    std::int32_t putDocumentLocator() override { return wrapper_.raw_putDocumentLocator(); }
    std::int32_t startDocument() override { return wrapper_.raw_startDocument(); }
    std::int32_t endDocument() override { return wrapper_.raw_endDocument(); }
    std::int32_t startPrefixMapping(const std::wstring& prefix, const std::wstring& uri) override {
        return wrapper_.raw_startPrefixMapping(prefix, uri);
    }
    std::int32_t endPrefixMapping(const std::wstring& prefix) override {
        return wrapper_.raw_endPrefixMapping(prefix);
    }
    std::int32_t startElement(const std::wstring& uri, const std::wstring& localName,
                              const std::wstring& qName,
                              const Platform::ISaxAttributes& attributes) override {
        return wrapper_.raw_startElement(uri, localName, qName, attributes);
    }
    std::int32_t endElement(const std::wstring& uri, const std::wstring& localName,
                            const std::wstring& qName) override {
        return wrapper_.raw_endElement(uri, localName, qName);
    }
    std::int32_t characters(const std::wstring& text) override {
        return wrapper_.raw_characters(text);
    }
    std::int32_t ignorableWhitespace(const std::wstring& text) override {
        return wrapper_.raw_ignorableWhitespace(text);
    }
    std::int32_t processingInstruction(const std::wstring& target,
                                       const std::wstring& data) override {
        return wrapper_.raw_processingInstruction(target, data);
    }
    std::int32_t skippedEntity(const std::wstring& name) override {
        return wrapper_.raw_skippedEntity(name);
    }

private:
    ContentHandlerWrapper& wrapper_;
};

}  // namespace

// ---- Numbers ----

bool tryConvertStringToInt(const std::wstring& text, std::uint32_t& value) {
    // wcstoul in base 0 with a 32-bit unsigned long, as on Windows: an overflow gives
    // ULONG_MAX, a minus sign negates modulo 2^32, and the whole text must be taken.
    if (text.empty()) {
        value = 0;
        return true;
    }
    std::size_t i = 0;
    while (i < text.size() && iswspace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    unsigned base = 10;
    if (i < text.size() && text[i] == L'0') {
        bool hexPrefix = i + 2 < text.size() && (text[i + 1] == L'x' || text[i + 1] == L'X') &&
                         Platform::hexDigitValue(text[i + 2]) >= 0;
        base = hexPrefix ? 16 : 8;
        i += hexPrefix ? 2 : 0;
    }
    std::size_t firstDigit = i;
    std::uint64_t result = 0;
    bool overflow = false;
    for (; i < text.size(); ++i) {
        int digit = Platform::digitValue(text[i]);
        if (digit < 0 || digit >= static_cast<int>(base)) {
            break;
        }
        result = result * base + static_cast<unsigned>(digit);
        if (result > 0xFFFFFFFFull) {
            overflow = true;
            result = 0xFFFFFFFFull;
        }
    }
    if (i == firstDigit || i != text.size()) {
        return false;
    }
    std::uint32_t converted = static_cast<std::uint32_t>(result);
    value = overflow ? 0xFFFFFFFFu : (negative ? 0u - converted : converted);
    return true;
}

std::uint32_t convertStringToInt(const std::wstring& text) {
    std::uint32_t value = 0;
    if (!tryConvertStringToInt(text, value)) {
        throw vexception(L"Unable to convert from '" + text + L"' to integer type.",
                         VSITE("DiskSecurity::convertStringToInt"));
    }
    return value;
}

// ---- Loading ----

namespace {
thread_local bool readsInPlace = false;
}  // namespace

InPlaceTemplateReads::InPlaceTemplateReads() : inPlace_(readsInPlace, true) {}

bool InPlaceTemplateReads::active() {
    return readsInPlace;
}

std::shared_ptr<EntryTemplateSet> loadTemplate(const std::wstring& path,
                                               std::shared_ptr<IUserInformation> resolver,
                                               bool tolerateBadEntries, bool skipUnmappedAccounts) {
    // The reader is a COM object on Windows: a load works on any thread, whatever its caller
    // entered.
    ComApartment apartment;
    auto set = std::make_shared<EntryTemplateSet>(path);
    std::uint32_t attributes = 0;
    if (!fileExist(path, attributes)) {
        return set;
    }
    TemporaryCopy copy;
    if (!(attributes & Platform::FileAttribute::Directory)) {
        parseTemplateFile(path, copy, *set, resolver, tolerateBadEntries, skipUnmappedAccounts);
        return set;
    }
    VFileFinder finder;
    VFileFinder::Result found;
    for (bool more = finder.first(VFileName::combine(path, L"*.xml"), found); more;
         more = finder.next(found)) {
        // The wildcard alone is not trusted: on Windows "*.xml" also meets "a.xmlx" through
        // its short name.
        if (found.name == L"." || found.name == L".." ||
            (found.attributes &
             (Platform::FileAttribute::ReparsePoint | Platform::FileAttribute::Directory)) ||
            !Platform::equalsNoCase(fileExtension(found.name), L".xml")) {
            continue;
        }
        parseTemplateFile(VFileName::combine(path, found.name), copy, *set, resolver,
                          tolerateBadEntries, skipUnmappedAccounts);
    }
    return set;
}

// ---- ContentHandlerWrapper ----

ContentHandlerWrapper::~ContentHandlerWrapper() = default;

void ContentHandlerWrapper::parseURL(const std::wstring& file) {
    failureText_.clear();
    failed_ = false;
    RawHandler handler(*this);
    std::wstring parserText;
    std::int32_t result = Platform::saxParseUrl(file, handler, parserText);
    if (result >= 0 && !failed_) {
        return;
    }
    if (!failureText_.empty()) {
        throw vexception(failureText_, VSITE("ContentHandlerWrapper::parseURL"));
    }
    std::wstring message = formatString(L"XML parsing error: 0x%lX", result);
    if (!parserText.empty()) {
        message += L": " + parserText;
    }
    // 0xC00C is the facility of the reader's well-formedness errors (XML_E_*).
    if ((static_cast<std::uint32_t>(result) >> 16) == 0xC00Cu) {
        throw TemplateFormatException(message, VSITE("ContentHandlerWrapper::parseURL"));
    }
    throw vexception(message, VSITE("ContentHandlerWrapper::parseURL"));
}

template <typename Body>
std::int32_t ContentHandlerWrapper::_forward(const wchar_t* name, const char* context,
                                             std::int32_t line, Body&& body) {
    // Nothing may unwind into the parser: every failure becomes the recorded text.
    try {
        runTranslated(body);
    } catch (...) {
        failed_ = true;
        try {
            vexception failure = currentFailure(CallSite{name, context, line});
            if (failureText_.empty()) {
                failureText_ = renderException(failure);
            }
        } catch (...) {
        }
    }
    return failed_ ? Platform::EFail : Platform::SOk;
}

#define TAVREL_FORWARD(name, ...) \
    _forward(L## #name, "ContentHandlerWrapper::raw_" #name, __LINE__, [&] { name(__VA_ARGS__); })

std::int32_t ContentHandlerWrapper::raw_putDocumentLocator() {
    return TAVREL_FORWARD(putDocumentLocator);
}
std::int32_t ContentHandlerWrapper::raw_startDocument() {
    return TAVREL_FORWARD(startDocument);
}
std::int32_t ContentHandlerWrapper::raw_endDocument() {
    return TAVREL_FORWARD(endDocument);
}
std::int32_t ContentHandlerWrapper::raw_startPrefixMapping(const std::wstring& prefix,
                                                           const std::wstring& uri) {
    return TAVREL_FORWARD(startPrefixMapping, prefix, uri);
}
std::int32_t ContentHandlerWrapper::raw_endPrefixMapping(const std::wstring& prefix) {
    return TAVREL_FORWARD(endPrefixMapping, prefix);
}
std::int32_t ContentHandlerWrapper::raw_startElement(const std::wstring& uri,
                                                     const std::wstring& localName,
                                                     const std::wstring& qName,
                                                     const Platform::ISaxAttributes& attributes) {
    return TAVREL_FORWARD(startElement, uri, localName, qName, attributes);
}
std::int32_t ContentHandlerWrapper::raw_endElement(const std::wstring& uri,
                                                   const std::wstring& localName,
                                                   const std::wstring& qName) {
    return TAVREL_FORWARD(endElement, uri, localName, qName);
}
std::int32_t ContentHandlerWrapper::raw_characters(const std::wstring& text) {
    return TAVREL_FORWARD(characters, text);
}
std::int32_t ContentHandlerWrapper::raw_ignorableWhitespace(const std::wstring& text) {
    return TAVREL_FORWARD(ignorableWhitespace, text);
}
std::int32_t ContentHandlerWrapper::raw_processingInstruction(const std::wstring& target,
                                                              const std::wstring& data) {
    return TAVREL_FORWARD(processingInstruction, target, data);
}
std::int32_t ContentHandlerWrapper::raw_skippedEntity(const std::wstring& name) {
    return TAVREL_FORWARD(skippedEntity, name);
}

#undef TAVREL_FORWARD

void ContentHandlerWrapper::putDocumentLocator() {}
void ContentHandlerWrapper::startDocument() {}
void ContentHandlerWrapper::endDocument() {}
void ContentHandlerWrapper::startPrefixMapping(const std::wstring&, const std::wstring&) {}
void ContentHandlerWrapper::endPrefixMapping(const std::wstring&) {}
void ContentHandlerWrapper::startElement(const std::wstring&, const std::wstring&,
                                         const std::wstring&, const Platform::ISaxAttributes&) {}
void ContentHandlerWrapper::endElement(const std::wstring&, const std::wstring&,
                                       const std::wstring&) {}
void ContentHandlerWrapper::characters(const std::wstring&) {}
void ContentHandlerWrapper::ignorableWhitespace(const std::wstring&) {}
void ContentHandlerWrapper::processingInstruction(const std::wstring&, const std::wstring&) {}
void ContentHandlerWrapper::skippedEntity(const std::wstring&) {}

// ---- ConfigImporter ----

ConfigImporter::ConfigImporter(EntryTemplateSet& set, bool skipUnmappedAccounts,
                               bool tolerateBadEntries, std::shared_ptr<IUserInformation> resolver)
    : set_(set),
      skipUnmappedAccounts_(skipUnmappedAccounts),
      tolerateBadEntries_(tolerateBadEntries),
      resolver_(std::move(resolver)) {}

void ConfigImporter::startElement(const std::wstring&, const std::wstring& localName,
                                  const std::wstring&, const Platform::ISaxAttributes& attributes) {
    if (localName != L"Entry") {
        return;
    }
    try {
        runTranslated([&] {
            if (!resolver_) {
                throw vexception(L"No account resolver",
                                 VSITE("DiskSecurity::ConfigImporter::startElement"));
            }
            EntryImporter importer(attributes, *resolver_, skipUnmappedAccounts_);
            set_.insert(importer.load());
        });
    } catch (...) {
        if (tolerateBadEntries_) {
            LogManager::instance().log(
                LogWarning,
                currentFailure(VSITE_TEXT(L"Unable to load XML node",
                                          "DiskSecurity::ConfigImporter::startElement")));
            return;
        }
        try {
            throw;
        } catch (const RunTime::NoneMappedException& e) {
            if (skipUnmappedAccounts_) {
                LogManager::instance().log(LogWarning, L"%s", standardExceptionText(e));
                return;
            }
        } catch (...) {
        }
        throw currentFailure(VSITE_TEXT(L"Unable to load entry from XML",
                                        "DiskSecurity::ConfigImporter::startElement"));
    }
}

// ---- EntryImporter ----

ConfigImporter::EntryImporter::EntryImporter(const Platform::ISaxAttributes& attributes,
                                             IUserInformation& resolver, bool skipUnmappedAccounts)
    : attributes_(attributes), resolver_(resolver), skipUnmappedAccounts_(skipUnmappedAccounts) {}

std::wstring ConfigImporter::EntryImporter::attribute(const std::wstring& name) const {
    std::wstring value;
    if (!attributes_.getValueFromName(std::wstring(), name, value)) {
        value.clear();
    }
    return value;
}

EntryTemplate ConfigImporter::EntryImporter::load() {
    VSID account = loadAccount();
    std::wstring path = attribute(L"Path");
    std::wstring subPath = attribute(L"SubPath");
    std::uint32_t aceFlags = loadAceFlags();
    std::uint32_t accessMask = loadAccessMask();
    auto entryFlags = static_cast<std::int32_t>(convertStringToInt(attribute(L"EntryFlags")));
    std::wstring tag = attribute(L"Tag");
    std::wstring tag2 = attribute(L"Tag2");
    return EntryTemplate(std::move(account), std::move(path), std::move(subPath), aceFlags,
                         accessMask, entryFlags, std::move(tag), std::move(tag2), domainName_,
                         accountName_);
}

VSID ConfigImporter::EntryImporter::loadAccount() {
    std::uint32_t type = convertStringToInt(attribute(L"AccounType"));
    std::wstring name = attribute(L"Account");
    if (type == 0) {
        return namedValue(wellKnownAccounts(), name, L"account name",
                          VSITE("DiskSecurity::ConfigImporter::EntryImporter::loadAccount"));
    }
    std::wstring domain = attribute(L"Domain");
    try {
        return resolver_.resolveAccount(name, domain);
    } catch (const RunTime::NoneMappedException&) {
        if (skipUnmappedAccounts_) {
            throw;
        }
        std::wstring sidText = attribute(L"SidStr");
        if (sidText.empty()) {
            throw;
        }
        // The account is gone (or not yet there) but its SID is known: keep the entry, and
        // the names it was written with, so that it is written back unchanged.
        VSID account = VSID::fromString(sidText);
        domainName_ = domain;
        accountName_ = name;
        return account;
    }
}

std::uint32_t ConfigImporter::EntryImporter::loadAceFlags() {
    return numberOrName(attribute(L"AceFlags"), applyOntoNames(), L"ace flags",
                        VSITE("DiskSecurity::ConfigImporter::EntryImporter::loadAceFlags"));
}

std::uint32_t ConfigImporter::EntryImporter::loadAccessMask() {
    return numberOrName(attribute(L"AccessMask"), accessMaskNames(), L"access mask",
                        VSITE("DiskSecurity::ConfigImporter::EntryImporter::loadAccessMask"));
}

// ---- Writing ----

const std::wstring& localAccountDomainName() {
    static std::once_flag once;
    static std::wstring name;
    std::call_once(once, [] {
        Platform::UserModalsInfo2 info;
        std::uint32_t status = Platform::netUserModalsGet2(std::wstring(), info);
        if (status != 0) {
            throwOsError(L"Unable to get domain name", status,
                         VSITE("DiskSecurity::localAccountDomainName"));
        }
        name = info.domainName;
    });
    return name;
}

void saveEntry(const EntryTemplate& entry, Platform::SaxXmlWriter& writer) {
    Platform::SaxXmlWriter::Attributes attributes;
    bool wellKnown = false;
    for (const auto& [name, account] : wellKnownAccounts()) {
        if (account == entry.account) {
            attributes.emplace_back(L"AccounType", L"0");
            attributes.emplace_back(L"Account", name);
            wellKnown = true;
            break;
        }
    }
    if (!wellKnown) {
        attributes.emplace_back(L"AccounType", L"1");
        std::wstring domain;
        std::wstring name;
        try {
            SidCache::lookupAccountSid(std::wstring(), entry.account, domain, name);
        } catch (const RunTime::NoneMappedException&) {
            if (entry.accountName.empty()) {
                throw;
            }
            domain = entry.domainName;
            name = entry.accountName;
        }
        // Local accounts are written without their domain, so that a template moves between
        // machines.
        if (Platform::toLower(domain) != Platform::toLower(localAccountDomainName())) {
            attributes.emplace_back(L"Domain", domain);
        }
        attributes.emplace_back(L"Account", name);
        attributes.emplace_back(L"SidStr", entry.account.toString());
    }
    attributes.emplace_back(L"Path", entry.path);
    if (!entry.subPath.empty()) {
        attributes.emplace_back(L"SubPath", entry.subPath);
    }
    attributes.emplace_back(L"AceFlags", nameOrNumber(applyOntoNames(), entry.aceFlags));
    attributes.emplace_back(L"AccessMask", nameOrNumber(accessMaskNames(), entry.accessMask));
    attributes.emplace_back(L"EntryFlags", hexNumber(static_cast<std::uint32_t>(entry.entryFlags)));
    attributes.emplace_back(L"Tag", entry.tag);
    attributes.emplace_back(L"Tag2", entry.tag2);
    writer.startElement(L"Entry", attributes);
    writer.endElement(L"Entry");
}

}  // namespace DiskSecurity
