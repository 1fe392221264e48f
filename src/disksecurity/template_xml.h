// Security templates and security metadata as XML files: a root element ("Entries") holding
// one "Entry" element per entry, every field an attribute. Loading goes through the SAX reader
// of the platform seam; writing through its SAX writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "accounts/user_information.h"
#include "disksecurity/entry_template.h"
#include "platform/xml.h"
#include "runtime/exceptions.h"
#include "runtime/scoped_value.h"

namespace DiskSecurity {

// A template or metadata file that is no well-formed XML document: cut short, overwritten or
// never XML. Raised by the parse, so that a caller can tell damage from a failure to read.
class TemplateFormatException : public vexception {
public:
    using vexception::vexception;
};

// Loads a template file, or every "*.xml" file of a directory, into a new set whose source
// path is `path`. A missing path gives an empty set. Each file is parsed from a private
// temporary copy, removed before returning. The calling thread is in a COM apartment for the
// load (ComApartment). Named accounts resolve through `resolver`.
// `tolerateBadEntries`: a bad entry is logged and dropped. `skipUnmappedAccounts`: an entry
// whose account does not exist is logged and dropped. Any other entry failure, and a document
// that is not well formed, fail the load.
// The largest template or metadata file a load reads: the panel's own are kilobytes, and a
// file-sharing area of ten thousand users some megabytes.
constexpr std::uint64_t MaxTemplateBytes = std::uint64_t{64} << 20;

std::shared_ptr<EntryTemplateSet> loadTemplate(const std::wstring& path,
                                               std::shared_ptr<IUserInformation> resolver,
                                               bool tolerateBadEntries, bool skipUnmappedAccounts);

// While one lives on this thread, loadTemplate parses each file where it lies, with no private
// copy: for a run that promises to write nothing at all (the audit). Scopes nest.
class InPlaceTemplateReads {
public:
    InPlaceTemplateReads();
    static bool active();

private:
    ScopedValue<bool> inPlace_;
};

// The number syntax of the attributes: wcstoul in base 0 (decimal, 0x hexadecimal, 0 octal,
// leading blanks and a sign as wcstoul takes them) over the whole text; empty is 0. Raises
// "Unable to convert from '<text>' to integer type." otherwise.
std::uint32_t convertStringToInt(const std::wstring& text);
// The same without raising: false when the text is not a complete number.
bool tryConvertStringToInt(const std::wstring& text, std::uint32_t& value);

// Writes one "Entry" element for `entry`: AccounType, Domain (only for a domain other than the
// local account domain), Account, SidStr, Path, SubPath (only when not empty), AceFlags and
// AccessMask (their names when they have one, else "0x" + lowercase hex), EntryFlags, Tag,
// Tag2. A well-known account is written by its table name. An account whose SID no longer
// resolves is written with the names kept in the entry, and raises RunTime::NoneMappedException
// when there are none; a caller that wants to skip such entries catches that.
void saveEntry(const EntryTemplate& entry, Platform::SaxXmlWriter& writer);

// The local account domain name (NetUserModalsGet level 2), read once per process. Raises
// "Unable to get domain name".
const std::wstring& localAccountDomainName();

// The adapter between the SAX reader and the program's own handlers. The reader's calls arrive
// at the raw_ members, each of which runs the virtual handler of the same name under the
// structured-exception translator; the first failure is rendered and recorded, and the call
// returns E_FAIL, which stops the parse.
class ContentHandlerWrapper {
public:
    virtual ~ContentHandlerWrapper();

    // Parses `file` with this object as the content handler. Fails with the recorded handler
    // failure, or with "XML parsing error: 0x<HRESULT>" followed by the parser's description
    // of the fault (what, line, column).
    void parseURL(const std::wstring& file);

    // The rendered text of the first handler failure of the current parse; empty when none.
    const std::wstring& failureText() const { return failureText_; }

    // The handlers; each default does nothing.
    virtual void putDocumentLocator();
    virtual void startDocument();
    virtual void endDocument();
    virtual void startPrefixMapping(const std::wstring& prefix, const std::wstring& uri);
    virtual void endPrefixMapping(const std::wstring& prefix);
    virtual void startElement(const std::wstring& uri, const std::wstring& localName,
                              const std::wstring& qName,
                              const Platform::ISaxAttributes& attributes);
    virtual void endElement(const std::wstring& uri, const std::wstring& localName,
                            const std::wstring& qName);
    virtual void characters(const std::wstring& text);
    virtual void ignorableWhitespace(const std::wstring& text);
    virtual void processingInstruction(const std::wstring& target, const std::wstring& data);
    virtual void skippedEntity(const std::wstring& name);

    // The content-handler calls of the reader (ISAXContentHandler): S_OK, or E_FAIL once a
    // failure is recorded.
    std::int32_t raw_putDocumentLocator();
    std::int32_t raw_startDocument();
    std::int32_t raw_endDocument();
    std::int32_t raw_startPrefixMapping(const std::wstring& prefix, const std::wstring& uri);
    std::int32_t raw_endPrefixMapping(const std::wstring& prefix);
    std::int32_t raw_startElement(const std::wstring& uri, const std::wstring& localName,
                                  const std::wstring& qName,
                                  const Platform::ISaxAttributes& attributes);
    std::int32_t raw_endElement(const std::wstring& uri, const std::wstring& localName,
                                const std::wstring& qName);
    std::int32_t raw_characters(const std::wstring& text);
    std::int32_t raw_ignorableWhitespace(const std::wstring& text);
    std::int32_t raw_processingInstruction(const std::wstring& target, const std::wstring& data);
    std::int32_t raw_skippedEntity(const std::wstring& name);

private:
    template <typename Body>
    std::int32_t _forward(const wchar_t* name, const char* context, std::int32_t line, Body&& body);

    std::wstring failureText_;
    bool failed_ = false;  // a handler failed, even if its text could not be rendered
};

// Turns each "Entry" element, at any depth under any root, into an entry of the set.
class ConfigImporter : public ContentHandlerWrapper {
public:
    // `set` is filled in document order and must outlive the importer.
    ConfigImporter(EntryTemplateSet& set, bool skipUnmappedAccounts, bool tolerateBadEntries,
                   std::shared_ptr<IUserInformation> resolver);

    void startElement(const std::wstring& uri, const std::wstring& localName,
                      const std::wstring& qName,
                      const Platform::ISaxAttributes& attributes) override;

    // Reads one element's attributes (by local name, empty namespace) into an entry.
    class EntryImporter {
    public:
        EntryImporter(const Platform::ISaxAttributes& attributes, IUserInformation& resolver,
                      bool skipUnmappedAccounts);

        // The whole entry: account, Path, SubPath, AceFlags, AccessMask, EntryFlags, Tag,
        // Tag2, in that order.
        EntryTemplate load();
        // AccounType 0: the well-known account named by "Account". Otherwise the named account
        // through the resolver, falling back to "SidStr" (keeping "Domain" and "Account") when
        // the account does not exist and unmapped accounts are not skipped.
        VSID loadAccount();
        // A number, or a name of the apply-onto (access mask) table; raises "Unknown ace
        // flags: " ("Unknown access mask: ") with every known name otherwise.
        std::uint32_t loadAceFlags();
        std::uint32_t loadAccessMask();
        // The attribute's value, empty when absent.
        std::wstring attribute(const std::wstring& name) const;

        const std::wstring& keptDomainName() const { return domainName_; }
        const std::wstring& keptAccountName() const { return accountName_; }

    private:
        const Platform::ISaxAttributes& attributes_;
        IUserInformation& resolver_;
        bool skipUnmappedAccounts_;
        std::wstring domainName_;
        std::wstring accountName_;
    };

private:
    EntryTemplateSet& set_;
    bool skipUnmappedAccounts_;
    bool tolerateBadEntries_;
    std::shared_ptr<IUserInformation> resolver_;
};

}  // namespace DiskSecurity
